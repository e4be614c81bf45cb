"""Whole images: lenses, views, maps and resampling."""

import logging

import numpy as np
import pytest
from numpy.testing import assert_allclose, assert_array_equal

import camera_parameters as cp
from conftest import MAP_TOLERANCE_PX, textured_image


def test_a_lens_carries_the_size_intrinsics_and_distortion_it_was_made_of(config):
    navigation = cp.CameraParametersSet().camera("navigation")
    for lens, size, K, distortion in [
        (navigation.lens(1280, 960), (1280, 960), navigation.intrinsics(1280, 960),
         navigation.distortion(1280, 960)),
        (config.lens(), (config.cal_width, config.cal_height), config.intrinsics, config.distortion),
    ]:
        assert (lens.width, lens.height) == size
        assert_array_equal(lens.K, K)
        assert_array_equal(lens.distortion, distortion)


def test_a_lens_takes_its_distortion_as_floats():
    lens = cp.Lens(640, 480, np.eye(3), np.zeros(8))
    lens.distortion = [0.1, 0, 0, 0, 0, 0, 0, 0]
    assert lens.distortion[0] == np.float32(0.1)


@pytest.mark.parametrize("alpha", [0.0, 0.5, 1.0])
def test_a_view_at_alpha_zero_is_all_valid_and_its_rectangle_too(navigation_lens, alpha):
    view, (x, y, w, h) = cp.choose_pinhole_view(navigation_lens, alpha, 1280, 960)
    assert (view.width, view.height) == (1280, 960)
    map_x, map_y, valid = cp.undistortion_map(navigation_lens, view)
    assert map_x.shape == map_y.shape == valid.shape == (960, 1280)
    assert map_x.dtype == np.float32 and valid.dtype == np.uint8
    assert valid[y : y + h, x : x + w].all()
    assert alpha != 0.0 or (x, y, w, h) == (0, 0, 1280, 960)


def bilinear(image, x, y):
    x0, y0 = np.floor(x).astype(int), np.floor(y).astype(int)
    fx, fy = x - x0, y - y0
    at = lambda dy, dx: image[y0 + dy, x0 + dx]
    return (at(0, 0) * (1 - fx) + at(0, 1) * fx) * (1 - fy) + (at(1, 0) * (1 - fx) + at(1, 1) * fx) * fy


def test_inverse_after_forward_gives_back_the_view_pixel(navigation_lens):
    view, _ = cp.choose_pinhole_view(navigation_lens, 0.0, 1280, 960)
    map_x, map_y, valid = cp.undistortion_map(navigation_lens, view)
    inv_x, inv_y, inv_valid = cp.inverse_undistortion_map(navigation_lens, view)
    assert inv_x.shape == (960, 1280) and inv_valid.mean() > 0.9
    v, u = np.mgrid[0:960:5, 0:1280:5]
    sx, sy = map_x[v, u].astype(np.float64), map_y[v, u].astype(np.float64)
    ok = (valid[v, u] == 1) & (sx < 1279) & (sy < 959)
    # The inverse map between source pixels, bilinearly: exact up to its curvature.
    assert_allclose(bilinear(inv_x, sx[ok], sy[ok]), u[ok], atol=1e-2)
    assert_allclose(bilinear(inv_y, sx[ok], sy[ok]), v[ok], atol=1e-2)


def test_the_inverse_map_is_the_exact_undistortion_of_rectify_pixels(config):
    lens = config.lens()
    view = cp.PinholeView(lens.width, lens.height, lens.K)
    inv_x, inv_y, inv_valid = cp.inverse_undistortion_map(lens, view)
    assert inv_valid.all()
    y, x = np.mgrid[0 : lens.height : 9, 0 : lens.width : 9]
    normalized = config.rectify_pixels(np.column_stack([x.ravel(), y.ravel()]))
    (fx, _, cx), (_, fy, cy), _ = lens.K
    assert_allclose(inv_x[y, x].ravel(), fx * normalized[:, 0] + cx, atol=MAP_TOLERANCE_PX)
    assert_allclose(inv_y[y, x].ravel(), fy * normalized[:, 1] + cy, atol=MAP_TOLERANCE_PX)


@pytest.mark.parametrize("channels", [1, 3, 4])
def test_remap_image_keeps_the_shape_and_fills_invalid_pixels(navigation_lens, channels):
    view, _ = cp.choose_pinhole_view(navigation_lens, 1.0, 640, 480)
    map_x, map_y, valid = cp.undistortion_map(navigation_lens, view)
    del view  # The maps own their storage.
    assert map_x.base is not None and np.isfinite(map_x).any()
    out = cp.remap_image(textured_image(960, 1280, channels), map_x, map_y, valid, border=7)
    assert out.shape == (480, 640) + (() if channels == 1 else (channels,))
    assert (out[valid == 0] == 7).all()


@pytest.mark.parametrize(
    "lens",
    [cp.Lens(0, 480, np.eye(3), np.zeros(8)),
     cp.Lens(640, 480, np.diag([np.nan, 500, 1]), np.zeros(8)),
     cp.Lens(640, 480, np.diag([-500, 500, 1]), np.zeros(8)),
     cp.Lens(640, 480, np.diag([500, 500, 1]), [np.inf, 0, 0, 0, 0, 0, 0, 0])],
    ids=["no width", "NaN focal length", "negative focal length", "infinite k1"],
)
def test_lenses_the_library_refuses_give_none(caplog, lens):
    assert cp.choose_pinhole_view(lens, 0.0, 640, 480) is None
    view = cp.PinholeView(640, 480, np.diag([500, 500, 1.0]))
    assert cp.undistortion_map(lens, view) is None and cp.inverse_undistortion_map(lens, view) is None
    # The records were written while the GIL was released: the sink took it.
    refusals = [r for r in caplog.records if r.tag == "calibration_utils"]
    assert len(refusals) == 3 and all(r.levelno == logging.ERROR for r in refusals)


def test_huge_views_are_refused_without_allocating():
    lens = cp.Lens(640, 480, np.diag([500, 500, 1.0]), np.zeros(8))
    assert cp.undistortion_map(lens, cp.PinholeView(1 << 20, 1 << 20, np.eye(3))) is None
