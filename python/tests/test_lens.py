"""The lens: projection and its exact inverse, rays, the sound region, the checked lens."""

import logging

import numpy as np
import pytest
from numpy.testing import assert_allclose, assert_array_equal

import camera_parameters as cp

# Normalized coordinates: the Newton inverse's double-precision floor, with margin.
INVERSE_TOLERANCE = 1e-12
FOLDING = cp.Lens(1280, 960, np.diag([500.0, 500.0, 1.0]) + [[0, 0, 640], [0, 0, 480], [0, 0, 0]],
                  [-0.3, 0, 0, 0, 0, 0, 0, 0])


def image_grid(lens, step=37):
    v, u = np.mgrid[0 : lens.height : step, 0 : lens.width : step]
    return np.column_stack([u.ravel(), v.ravel()]).astype(np.float64)


def test_normalize_pixels_inverts_project_over_the_whole_image(navigation_lens):
    pixels = image_grid(navigation_lens)
    normalized, converged = navigation_lens.normalize_pixels(pixels)
    assert converged.dtype == bool and converged.all()
    points = np.column_stack([normalized, np.ones(len(pixels))])
    assert_allclose(navigation_lens.project(points), pixels, atol=1e-9)
    rays = navigation_lens.pixel_rays(pixels)
    assert_allclose(np.linalg.norm(rays, axis=1), 1.0, atol=1e-15)
    assert_allclose(rays[:, :2] / rays[:, 2:], normalized, atol=INVERSE_TOLERANCE)


def test_a_camera_answers_as_its_lens_at_the_size():
    head = cp.CameraParametersSet().camera("head")
    lens = head.lens(640, 480)  # The head camera's size with a distortion of its own.
    pixels = image_grid(lens)
    points = lens.pixel_rays(pixels)
    assert_array_equal(head.pixel_rays(pixels, 640, 480), points)
    assert_array_equal(head.normalize_pixels(pixels, 640, 480)[0], lens.normalize_pixels(pixels)[0])
    assert_array_equal(head.project(points, 640, 480), lens.project(points))
    assert not np.array_equal(head.project(points, 1280, 960), lens.project(points))


def test_the_sound_region_ends_at_a_fold_inside_the_image_of_a_folding_lens(navigation_lens):
    assert navigation_lens.is_sound_over_image() and not FOLDING.is_sound_over_image()
    region = FOLDING.sound_region()
    # r (1 + k1 r^2) turns back where 1 + 3 k1 r^2 = 0 (k1 the float nearest -0.3).
    assert region.edge == cp.SoundRegion.Edge.FOLD and region.radius == pytest.approx((-1 / (3 * np.float32(-0.3))) ** 0.5)
    assert cp.find_sound_region([0, 0, 0, 0, 0, -1, 0, 0]).edge == cp.SoundRegion.Edge.POLE
    normalized, converged = FOLDING.normalize_pixels(np.array([[0.0, 0.0], [1279.0, 959.0], [640.0, 480.0]]))
    assert converged.tolist() == [False, False, True] and np.isfinite(normalized).all()


def test_a_checked_lens_is_refused_with_a_reason(caplog):
    K = np.diag([500.0, 500.0, 1.0])
    lens = cp.Lens.from_intrinsics(K, np.zeros(8), 640, 480)
    assert (lens.width, lens.height) == (640, 480) and lens.is_sound_over_image()
    with caplog.at_level(logging.ERROR, logger="camera_parameters"):
        assert cp.Lens.from_intrinsics(K, np.zeros(5), 640, 480) is None
        assert cp.Lens.from_intrinsics(np.diag([np.nan, 500.0, 1.0]), np.zeros(8), 640, 480) is None
    assert len([r for r in caplog.records if r.tag == "calibration_utils"]) == 2
    # An unchecked lens without eight coefficients has no model.
    assert np.isnan(cp.Lens(640, 480, K, np.zeros(5)).project([0.1, 0.2, 1.0])).all()
