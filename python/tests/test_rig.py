"""Calibration of a rig of cameras: synthetic views of a board held still at several moments by
the navigation and front cameras of the test calibration, the fixture, and the refusals."""

import numpy as np
import pytest
from numpy.testing import assert_allclose

import camera_parameters as cp

from conftest import ROBOT_CALIBRATION

# The corners of a 9 x 6 board, 6 cm apart (z = 0).
BOARD = np.array([[0.06 * c, 0.06 * r, 0.0] for r in range(6) for c in range(9)])
SIZE = (640, 480)


def rotation(axis, angle):
    c, s = np.cos(angle), np.sin(angle)
    i, j = [k for k in range(3) if k != axis]
    R = np.eye(3)
    R[i, i], R[i, j], R[j, i], R[j, j] = c, -s, s, c
    return R


def pose(R, t):
    return np.vstack([np.column_stack([R, t]), [0, 0, 0, 1]])


@pytest.fixture(scope="module")
def rig():
    """The lenses, the true camera_from_robot poses, the board's robot_from_board poses and the
    moments: the board 1.6 to 2.6 m ahead of the robot, facing it, tilted up to 30 degrees."""
    cameras = cp.CameraParametersSet()
    assert cameras.load_file(str(ROBOT_CALIBRATION))
    names = ["navigation", "front"]
    lenses = [cameras.camera(n).lens(*SIZE) for n in names]
    truth = [np.asarray(cameras.camera(n).transform, dtype=float) for n in names]
    rng = np.random.default_rng(5)
    facing = np.array([[0, 0, 1], [-1, 0, 0], [0, -1, 0]], dtype=float)
    boards, moments = [], []
    while len(moments) < 12:
        R = facing @ rotation(1, rng.uniform(-0.5, 0.5)) @ rotation(0, rng.uniform(-0.5, 0.5))
        at = np.array([rng.uniform(1.6, 2.6), rng.uniform(-0.3, 0.3), rng.uniform(0.8, 1.3)])
        robot_from_board = pose(R, at - R @ BOARD.mean(axis=0))
        moment = {}
        for c, (lens, camera_from_robot) in enumerate(zip(lenses, truth)):
            M = camera_from_robot @ robot_from_board
            pixels = lens.project(BOARD @ M[:3, :3].T + M[:3, 3])
            if ((pixels >= 0) & (pixels <= np.array(SIZE) - 1)).all():
                moment[c] = (pixels + rng.normal(0, 0.2, pixels.shape), BOARD)
        if len(moment) == 2:
            boards.append(robot_from_board)
            moments.append(moment)
    return lenses, truth, boards, moments


def pose_error(fitted, true):
    """The orientation's rotation vector in the frame's axes and the centre's difference."""
    a, b = np.linalg.inv(fitted), np.linalg.inv(true)
    D = a[:3, :3] @ b[:3, :3].T
    angle = np.arccos(np.clip((np.trace(D) - 1) / 2, -1, 1))
    axis = np.array([D[2, 1] - D[1, 2], D[0, 2] - D[2, 0], D[1, 0] - D[0, 1]])
    norm = np.linalg.norm(axis)
    return np.concatenate([axis / norm * angle if norm > 0 else np.zeros(3), a[:3, 3] - b[:3, 3]])


def test_the_relative_pose_is_recovered_within_its_standard_deviations(rig):
    lenses, truth, _, moments = rig
    fit = cp.calibrate_rig(lenses, moments, reference_from_robot=truth[0])
    assert fit.camera_from_reference.shape == (2, 4, 4) and fit.covariance.shape == (2, 6, 6)
    assert_allclose(fit.camera_from_reference[0], np.eye(4), atol=1e-15)
    assert 0.2 < fit.rms_px < 0.32 and fit.camera_moments == [12, 12]
    assert len(fit.view_rms_px) == 12 and all(len(v) == 2 for v in fit.view_rms_px)
    assert all(all(np.all(np.asarray(k) == 1) for k in moment) for moment in fit.kept)
    error = pose_error(fit.camera_from_reference[1], truth[1] @ np.linalg.inv(truth[0]))
    assert (np.abs(error) < 3 * np.sqrt(np.diag(fit.covariance[1]))).all()
    assert_allclose(fit.centre_sigma_mm[1], 1e3 * np.sqrt(np.diag(fit.covariance[1])[3:]))
    assert_allclose(fit.rotation_sigma_deg[1], np.degrees(np.sqrt(np.diag(fit.covariance[1])[:3])))
    # The reference keeps its pose; the other follows it.
    assert_allclose(fit.camera_from_robot[0], truth[0], atol=1e-6)
    assert_allclose(fit.camera_from_robot[1], truth[1], atol=2e-3)
    assert fit.reference_from_target.shape == (12, 4, 4)
    assert [lens.width for lens in fit.lenses] == [640, 640]


def test_a_fixture_gives_the_references_pose_in_the_robot_frame(rig):
    lenses, truth, boards, moments = rig
    fit = cp.calibrate_rig(lenses, moments, fixture=[(3, boards[3]), (7, boards[7])])
    for c in range(2):
        error = pose_error(fit.camera_from_robot[c], truth[c])
        assert (np.abs(error) < 3 * np.sqrt(np.diag(fit.robot_covariance[c]))).all()
    assert (fit.robot_centre_sigma_mm[0] > 0).all()


# The library's reason (its own tests hold the others).
def test_a_refusal_raises_value_error_with_the_librarys_reason(rig):
    lenses, _, _, moments = rig
    with pytest.raises(ValueError, match="Camera 1 sees the target at 1 moments"):
        cp.calibrate_rig(lenses, [{0: v[0]} if i else v for i, v in enumerate(moments)])


def test_malformed_moments_raise_value_error(rig):
    lenses, _, _, moments = rig
    with pytest.raises(ValueError, match=r"moments\[0\]\[0\] image_points must be \(N, 2\)"):
        cp.calibrate_rig(lenses, [{0: (np.zeros((54, 3)), BOARD)}] + moments[1:])
    with pytest.raises(ValueError, match="must be a dict"):
        cp.calibrate_rig(lenses, [[1, 2]])
