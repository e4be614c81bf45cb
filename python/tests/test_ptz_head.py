"""The pan/tilt head fitted to views of a still board: the example PTZ camera with its tilt offset
moved, seen at a grid of motor positions, and the refusal of positions all at one tilt."""

import re

import numpy as np
import pytest

import camera_parameters as cp

from conftest import PTZ_EXAMPLE

# A 9 x 6 board of 10 cm squares, upright 2.5 m ahead of the robot, facing it.
BOARD = np.array([[0.1 * c, 0.1 * r, 0.0] for r in range(6) for c in range(9)])
WORLD_FROM_BOARD = np.array([[0, 0, 1, 2.5], [-1, 0, 0, 0.5], [0, -1, 0, 1.3], [0, 0, 0, 1.0]])
WORLD = BOARD @ WORLD_FROM_BOARD[:3, :3].T + WORLD_FROM_BOARD[:3, 3]


def views(text, tilts, noise=0.2):
    model = cp.PTZCameraModel(text)
    pan, tilt = model.pan_tilt_model.compute_pan_tilt(WORLD.mean(axis=0), [0.0, 0.0])
    random = np.random.default_rng(3)
    out = []
    for dt in tilts:
        for dp in range(-300, 301, 120):
            at = (round(pan) + dp, round(tilt) + dt, 0)
            pixels = cp.PTZCameraModelConfiguration(model, *at).project(WORLD)
            out.append((*at, pixels + random.normal(0.0, noise, pixels.shape), BOARD))
    return out


@pytest.fixture(scope="module")
def example():
    text = PTZ_EXAMPLE.read_text()
    return text, text.replace("tilt_offset: 1200", "tilt_offset: 1240")


def test_the_fit_finds_the_moved_tilt_offset_and_aims_within_the_noise(example):
    text, truth = example
    fit = cp.calibrate_pan_tilt_head(text, views(truth, range(-160, 161, 80)))
    assert fit.head.tilt_offset == pytest.approx(1240.0, abs=1.0)
    assert fit.rms_px < 0.3 and max(fit.aiming_error_px) < 0.5
    assert min(fit.aiming_error_before_px) > 20.0
    n = len(fit.names)
    assert fit.covariance.shape == (n, n) and len(fit.sigmas) == len(fit.units) == n
    assert np.allclose(np.sqrt(np.diag(fit.covariance))[fit.names.index("tilt offset")],
                       fit.sigmas[fit.names.index("tilt offset")])
    written = re.search(r"tilt_offset: ([0-9.]+)", fit.head_text)
    assert written and float(written.group(1)) == pytest.approx(fit.head.tilt_offset)


def test_positions_at_one_tilt_are_refused_naming_what_they_leave_undetermined(example):
    text, truth = example
    with pytest.raises(ValueError, match="undetermined"):
        cp.calibrate_pan_tilt_head(text, views(truth, [0]))
    with pytest.raises(ValueError, match="not a PTZ calibration"):
        cp.calibrate_pan_tilt_head("nonsense {", views(truth, [0]))
    with pytest.raises(TypeError, match="whole steps"):
        cp.calibrate_pan_tilt_head(text, [(1.5, 0, 0, np.zeros((6, 2)), np.zeros((6, 3)))])
