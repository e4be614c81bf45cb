"""Calibration from views: synthetic views of a board through a known lens, and the refusals
(OpenCV's fit of the same points: the C++ CalibrationCovariance tests)."""

import numpy as np
import pytest
from numpy.testing import assert_allclose, assert_array_equal

import camera_parameters as cp

# The corners of a 9 x 6 board, 4 cm apart (z = 0).
BOARD = np.array([[0.04 * c, 0.04 * r, 0.0] for r in range(6) for c in range(9)])
SIZE = (1280, 960)


def board_views(lens, count, noise=0.2, seed=1):
    """`count` views of the board at random poses, every corner inside the image; the true poses."""
    rng = np.random.default_rng(seed)
    views, poses = [], []
    while len(views) < count:
        # R = Rz Ry Rx, turned up to 0.6 rad about x and y and 0.4 about z.
        angles = [*rng.uniform(-0.6, 0.6, 2), rng.uniform(-0.4, 0.4)]
        (cx, cy, cz), (sx, sy, sz) = np.cos(angles), np.sin(angles)
        R = (np.array([[cz, -sz, 0], [sz, cz, 0], [0, 0, 1]]) @ np.array([[cy, 0, sy], [0, 1, 0], [-sy, 0, cy]])
             @ np.array([[1, 0, 0], [0, cx, -sx], [0, sx, cx]]))
        centre = lens.pixel_rays(rng.uniform((150, 120), (1130, 840))) * rng.uniform(0.45, 0.75)
        t = centre - R @ BOARD.mean(axis=0)
        pixels = lens.project(BOARD @ R.T + t)
        if ((pixels < 0) | (pixels > np.array(SIZE) - 1)).any():
            continue
        views.append((pixels + rng.normal(0, noise, pixels.shape), BOARD))
        poses.append(np.vstack([np.column_stack([R, t]), [0, 0, 0, 1]]))
    return views, np.array(poses)


@pytest.fixture(scope="module")
def views(navigation_lens):
    return board_views(navigation_lens, 12, seed=3)


@pytest.fixture(scope="module")
def fitted(views):
    return cp.calibrate_camera(views[0], SIZE)


def test_the_lens_and_poses_of_the_views_are_recovered_within_the_noise(views, fitted):
    assert (fitted.lens.width, fitted.lens.height) == SIZE and fitted.lens.is_sound_over_image()
    # Noise of 0.2 px on each coordinate: an rms of 0.2 sqrt(2) px over the points.
    assert 0.25 < fitted.rms_px < 0.31 and fitted.iterations > 0
    assert fitted.view_rms_px.shape == (12,) and (fitted.view_rms_px < 0.4).all()
    assert [k.dtype for k in fitted.kept] == [bool] * 12 and all(k.all() for k in fitted.kept)
    assert_allclose(fitted.camera_from_target, views[1], atol=5e-3)
    assert_array_equal(fitted.standard_deviations, np.sqrt(np.diag(fitted.covariance)))
    sigma = cp.projection_uncertainty(fitted, 64)
    assert sigma.shape == (960 // 64, 1280 // 64) and (sigma[5:10, 5:15] < 1.0).all()
    for step in (0, 961):
        with pytest.raises(ValueError, match=f"step of {step}|a step {step} not positive"):
            cp.projection_uncertainty(fitted, step)


def test_options_hold_terms_drop_outliers_and_a_board_may_leave_out_z(views, fitted):
    again = cp.calibrate_camera([(image, target[:, :2]) for image, target in views[0]], SIZE)
    assert (again.lens.K == fitted.lens.K).all() and again.rms_px == fitted.rms_px
    held = cp.calibrate_camera(views[0], SIZE, lens_terms="plumb-bob", fix_principal_point=True,
                               same_focal_length=True)
    K = held.lens.K
    assert K[0, 0] == K[1, 1] and (K[0, 2], K[1, 2]) == (639.5, 479.5) and (held.lens.distortion[5:] == 0).all()
    spoiled = [(image.copy(), target) for image, target in views[0]]
    spoiled[4][0][10] += (25.0, -18.0)
    result = cp.calibrate_camera(spoiled, SIZE, outlier_sigma=4.0)
    assert not result.kept[4][10] and sum(int((~k).sum()) for k in result.kept) < 5 and result.rms_px < 0.3


GOOD = board_views(cp.Lens(*SIZE, np.array([[600.0, 0, 640], [0, 600, 480], [0, 0, 1]]), np.zeros(8)), 3)[0]


@pytest.mark.parametrize(
    "views, kwargs, message",
    [
        # The library's reason (its own tests hold the others), then the module's checks.
        ([GOOD[0], (GOOD[1][0], BOARD[:50]), GOOD[2]], {}, "View 1: image and target points differ in number"),
        (GOOD, {"lens_terms": "fisheye"}, "lens_terms must be one of 'rational', 'plumb-bob', 'none'"),
        ([GOOD[0], (GOOD[1][0], BOARD[:, :1]), GOOD[2]], {}, r"views\[1\]: target_points must be \(N, 3\) or"),
        ([GOOD[0], GOOD[1], GOOD[2][0]], {}, r"views\[2\] must be a pair"),
    ],
    ids=["unequal lengths", "unknown terms", "target of one column", "not a pair"],
)
def test_what_the_fit_refuses_raises_value_error_with_the_reason(views, kwargs, message):
    kwargs.setdefault("image_size", SIZE)
    with pytest.raises(ValueError, match=message):
        cp.calibrate_camera(views, **kwargs)


def test_the_fit_gives_its_reason_even_when_the_library_writes_no_record():
    cp.set_log_level(1)
    try:
        with pytest.raises(ValueError, match=r"^Too few views to calibrate: 2, at least 3$"):
            cp.calibrate_camera(GOOD[:2], SIZE)
    finally:
        cp.set_log_level(3)


def test_square_on_views_give_infinite_deviations_and_unbounded_uncertainty(navigation_lens):
    # Held square to the optical axis, the board cannot tell the focal length
    # from its distance: those deviations and the uncertainty off the
    # principal point are infinite, passed through as inf.
    views = []
    for v in range(8):
        t = np.array([-0.35 + 0.1 * (v % 4), -0.25 + 0.15 * (v // 4), 0.7 + 0.06 * v])
        views.append((navigation_lens.project(BOARD + t), BOARD))
    fitted = cp.calibrate_camera(views, SIZE, lens_terms="plumb-bob")
    assert np.isinf(fitted.standard_deviations[:2]).all()
    sigma = cp.projection_uncertainty(fitted, 32)
    assert np.isinf(sigma).mean() > 0.99 and not np.isnan(sigma).any()
