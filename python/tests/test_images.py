"""Whole images: lenses, views, maps and resampling, against OpenCV where present."""

import logging

import numpy as np
import pytest

import camera_parameters as cp

# Float rounding of a map position, pixels.
MAP_TOLERANCE_PX = 1e-3


@pytest.fixture(scope="module")
def navigation_lens():
    return cp.CameraParametersSet().camera("navigation").lens(1280, 960)


def textured_image(height, width, channels):
    rng = np.random.default_rng(channels)
    y, x = np.mgrid[0:height, 0:width]
    base = 127 + 60 * np.sin(x / 9.0) * np.cos(y / 13.0)
    planes = [base + rng.normal(0, 20, base.shape) for _ in range(channels)]
    image = np.clip(np.stack(planes, axis=-1), 0, 255).astype(np.uint8)
    return image[:, :, 0] if channels == 1 else image


def test_a_camera_lens_carries_its_intrinsics_and_distortion(navigation_lens):
    camera = cp.CameraParametersSet().camera("navigation")
    assert (navigation_lens.width, navigation_lens.height) == (1280, 960)
    np.testing.assert_array_equal(navigation_lens.K, camera.intrinsics(1280, 960))
    np.testing.assert_array_equal(navigation_lens.distortion, camera.distortion(1280, 960))


def test_a_ptz_lens_is_the_configuration_at_its_zoom(config):
    lens = config.lens()
    assert (lens.width, lens.height) == (config.cal_width, config.cal_height)
    np.testing.assert_array_equal(lens.K, config.intrinsics)
    np.testing.assert_array_equal(lens.distortion, config.distortion)


def test_lens_and_view_check_their_arrays():
    lens = cp.Lens(640, 480, np.eye(3), np.zeros(8))
    with pytest.raises(ValueError, match=r"K must have shape \(3, 3\), not \(9,\)"):
        lens.K = np.arange(9)
    with pytest.raises(ValueError, match=r"distortion must have shape \(8,\), not \(5,\)"):
        cp.Lens(640, 480, np.eye(3), np.zeros(5))
    with pytest.raises(TypeError):
        cp.PinholeView(640, 480, None)
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
    if alpha == 0.0:
        assert (x, y, w, h) == (0, 0, 1280, 960)


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
    np.testing.assert_allclose(bilinear(inv_x, sx[ok], sy[ok]), u[ok], atol=1e-2)
    np.testing.assert_allclose(bilinear(inv_y, sx[ok], sy[ok]), v[ok], atol=1e-2)


def test_the_inverse_map_is_the_exact_undistortion_of_rectify_pixels(config):
    lens = config.lens()
    view = cp.PinholeView(lens.width, lens.height, lens.K)
    inv_x, inv_y, inv_valid = cp.inverse_undistortion_map(lens, view)
    assert inv_valid.all()
    y, x = np.mgrid[0 : lens.height : 9, 0 : lens.width : 9]
    normalized = config.rectify_pixels(np.column_stack([x.ravel(), y.ravel()]))
    K = lens.K
    expected_x = K[0, 0] * normalized[:, 0] + K[0, 2]
    expected_y = K[1, 1] * normalized[:, 1] + K[1, 2]
    np.testing.assert_allclose(inv_x[y, x].ravel(), expected_x, atol=MAP_TOLERANCE_PX)
    np.testing.assert_allclose(inv_y[y, x].ravel(), expected_y, atol=MAP_TOLERANCE_PX)


def test_the_maps_own_their_storage(navigation_lens):
    view, _ = cp.choose_pinhole_view(navigation_lens, 0.0, 320, 240)
    map_x, _, _ = cp.undistortion_map(navigation_lens, view)
    del view
    assert np.isfinite(map_x).any() and map_x.base is not None


@pytest.mark.parametrize("channels", [1, 3, 4])
def test_remap_image_keeps_the_shape_and_fills_invalid_pixels(navigation_lens, channels):
    view, _ = cp.choose_pinhole_view(navigation_lens, 1.0, 640, 480)
    map_x, map_y, valid = cp.undistortion_map(navigation_lens, view)
    image = textured_image(960, 1280, channels)
    out = cp.remap_image(image, map_x, map_y, valid, border=7)
    assert out.shape == (480, 640) + (() if channels == 1 else (channels,))
    invalid = valid == 0
    if invalid.any():
        assert (out[invalid] == 7).all()


@pytest.mark.parametrize(
    "image, error",
    [
        (np.zeros((10, 10), dtype=np.float32), TypeError),
        (np.zeros((10, 10, 2), dtype=np.uint8), ValueError),
        (np.zeros(10, dtype=np.uint8), ValueError),
        (None, TypeError),
    ],
)
def test_remap_image_rejects_what_is_not_an_image(image, error):
    maps = np.zeros((4, 4), np.float32), np.zeros((4, 4), np.float32), np.ones((4, 4), np.uint8)
    with pytest.raises(error):
        cp.remap_image(image, *maps)


def test_remap_image_rejects_maps_of_different_shapes():
    with pytest.raises(ValueError, match="one shape"):
        cp.remap_image(
            np.zeros((8, 8), np.uint8), np.zeros((4, 4)), np.zeros((4, 5)), np.ones((4, 4))
        )


@pytest.mark.parametrize(
    "lens",
    [
        cp.Lens(0, 480, np.eye(3), np.zeros(8)),
        cp.Lens(640, 480, np.diag([np.nan, 500, 1]), np.zeros(8)),
        cp.Lens(640, 480, np.diag([-500, 500, 1]), np.zeros(8)),
        cp.Lens(640, 480, np.diag([500, 500, 1]), [np.inf, 0, 0, 0, 0, 0, 0, 0]),
    ],
    ids=["no width", "NaN focal length", "negative focal length", "infinite k1"],
)
def test_lenses_the_library_refuses_give_none(caplog, lens):
    assert cp.choose_pinhole_view(lens, 0.0, 640, 480) is None
    view = cp.PinholeView(640, 480, np.diag([500, 500, 1.0]))
    assert cp.undistortion_map(lens, view) is None
    assert cp.inverse_undistortion_map(lens, view) is None
    # The records were written while the GIL was released: the sink took it.
    refusals = [r for r in caplog.records if r.tag == "calibration_utils"]
    assert len(refusals) == 3 and all(r.levelno == logging.ERROR for r in refusals)


def test_huge_views_are_refused_without_allocating():
    lens = cp.Lens(640, 480, np.diag([500, 500, 1.0]), np.zeros(8))
    assert cp.undistortion_map(lens, cp.PinholeView(1 << 20, 1 << 20, np.eye(3))) is None


class TestAgainstOpenCV:
    cv2 = pytest.importorskip("cv2")

    def test_the_forward_map_matches_opencv_where_valid(self, navigation_lens):
        cv2 = self.cv2
        view = cp.PinholeView(1280, 960, navigation_lens.K)
        map_x, map_y, valid = cp.undistortion_map(navigation_lens, view)
        cv_x, cv_y = cv2.initUndistortRectifyMap(
            navigation_lens.K, navigation_lens.distortion, None, view.K, (1280, 960), cv2.CV_32FC1
        )
        ok = valid == 1
        assert ok.mean() > 0.5
        np.testing.assert_allclose(map_x[ok], cv_x[ok], atol=MAP_TOLERANCE_PX)
        np.testing.assert_allclose(map_y[ok], cv_y[ok], atol=MAP_TOLERANCE_PX)

    @pytest.mark.parametrize("channels", [1, 3])
    def test_the_map_feeds_cv2_remap_and_both_resample_alike(self, navigation_lens, channels):
        cv2 = self.cv2
        view, _ = cp.choose_pinhole_view(navigation_lens, 0.0, 1280, 960)
        map_x, map_y, valid = cp.undistortion_map(navigation_lens, view)
        image = textured_image(960, 1280, channels)
        theirs = cv2.remap(image, map_x, map_y, cv2.INTER_LINEAR, borderValue=0)
        ours = cp.remap_image(image, map_x, map_y, valid)
        assert theirs.shape == ours.shape
        ok = valid == 1
        diff = np.abs(ours.astype(int) - theirs.astype(int))[ok]
        assert diff.max() <= 1
