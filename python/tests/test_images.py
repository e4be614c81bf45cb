"""Lenses (projection and its exact inverse, rays, the sound region, the checked lens) and
whole images: views, maps and resampling."""

import logging

import numpy as np
import pytest
from numpy.testing import assert_allclose, assert_array_equal

import camera_parameters as cp
from conftest import textured_image


# Normalized coordinates: the Newton inverse's double-precision floor, with margin.
INVERSE_TOLERANCE = 1e-12
FOLDING = cp.Lens(1280, 960, np.diag([500.0, 500.0, 1.0]) + [[0, 0, 640], [0, 0, 480], [0, 0, 0]],
                  [-0.3, 0, 0, 0, 0, 0, 0, 0])


# The inverse itself: Lens.NormalizeInvertsProjectAndTheBatchFormsAgreeWithTheSinglePointCalls
# (C++); here the flags' dtype and the rays, which the module makes of the normalized points.
def test_pixel_rays_are_the_unit_directions_of_the_normalized_pixels(navigation_lens):
    v, u = np.mgrid[0:960:37, 0:1280:37]  # a grid over the whole image
    pixels = np.column_stack([u.ravel(), v.ravel()]).astype(np.float64)
    normalized, converged = navigation_lens.normalize_pixels(pixels)
    assert converged.dtype == bool and converged.all()
    rays = navigation_lens.pixel_rays(pixels)
    assert_allclose(np.linalg.norm(rays, axis=1), 1.0, atol=1e-15)
    assert_allclose(rays[:, :2] / rays[:, 2:], normalized, atol=INVERSE_TOLERANCE)


# Where the edges lie, and the flags beyond a fold: LensSoundness and Lens (C++); here the enumeration.
def test_the_sound_region_ends_at_a_fold_inside_the_image_of_a_folding_lens(navigation_lens):
    assert navigation_lens.is_sound_over_image() and not FOLDING.is_sound_over_image()
    assert FOLDING.sound_region().edge == cp.SoundRegion.Edge.FOLD
    assert cp.find_sound_region([0, 0, 0, 0, 0, -1, 0, 0]).edge == cp.SoundRegion.Edge.POLE


# The reasons and their one record: Lens.FromIntrinsicsRefusesWhatIsNoLensWithOneRecord (C++).
def test_a_checked_lens_is_refused_as_none():
    K = np.diag([500.0, 500.0, 1.0])
    assert cp.Lens.from_intrinsics(K, np.zeros(8), 640, 480).is_sound_over_image()
    assert cp.Lens.from_intrinsics(K, np.zeros(5), 640, 480) is None
    # A lens holds eight coefficients, however it is made.
    with pytest.raises(ValueError, match=r"not eight finite coefficients \(5 given\)"):
        cp.Lens(640, 480, K, np.zeros(5))
    with pytest.raises(ValueError, match=r"not eight finite coefficients \(5 given\)"):
        setattr(cp.Lens(640, 480, K, np.zeros(8)), "distortion", np.zeros(5))


@pytest.mark.parametrize("alpha, square", [(0.0, False), (1.0, False), (0.0, True)])
def test_a_view_at_alpha_zero_is_all_valid_and_its_rectangle_too(navigation_lens, alpha, square):
    view, (x, y, w, h) = cp.choose_pinhole_view(navigation_lens, alpha, 1280, 960, same_focal_length=square)
    assert (view.width, view.height) == (1280, 960) and (view.K[0, 0] == view.K[1, 1]) == square
    map_x, map_y, valid = cp.undistortion_map(navigation_lens, view)
    assert map_x.shape == map_y.shape == valid.shape == (960, 1280)
    assert map_x.dtype == np.float32 and valid.dtype == np.uint8
    assert valid[y : y + h, x : x + w].all()
    assert alpha != 0.0 or (x, y, w, h) == (0, 0, 1280, 960)


@pytest.fixture(scope="module")
def half_size_map(navigation_lens):
    view, _ = cp.choose_pinhole_view(navigation_lens, 1.0, 640, 480)
    return cp.undistortion_map(navigation_lens, view)


def test_a_map_unpacks_into_planes_that_share_its_storage(navigation_lens):
    view, _ = cp.choose_pinhole_view(navigation_lens, 1.0, 640, 480)
    map_x, map_y, valid = cp.undistortion_map(navigation_lens, view)  # The planes keep the map alive.
    assert (map_x.base.width, map_x.base.height) == (640, 480) and map_x.base is map_y.base is valid.base
    inverse = cp.inverse_undistortion_map(navigation_lens, view)
    assert (inverse.width, inverse.height) == (1280, 960) and inverse.valid.mean() > 0.9


@pytest.mark.parametrize("channels", [1, 3, 4])
def test_remap_image_keeps_the_shape_and_fills_invalid_pixels(half_size_map, channels):
    image = textured_image(1000, 1400, channels)[20:980, 60:1340]  # A crop is read in place.
    out = cp.remap_image(image, half_size_map, border=7)
    assert out.shape == (480, 640) + (() if channels == 1 else (channels,))
    assert (out[half_size_map.valid == 0] == 7).all()
    # The planes, copies of them in other dtypes, and the crop's copy resample alike.
    map_x, map_y, valid = half_size_map
    assert_array_equal(cp.remap_image(image, map_x, map_y, valid, border=7), out)
    copies = map_x.astype(np.float64), map_y.copy(), valid.astype(bool)
    assert_array_equal(cp.remap_image(image.copy(), *copies, border=7), out)
    # So does the map prepared for the crop's layout.
    prepared = cp.prepare_remap(half_size_map, image)
    assert (prepared.width, prepared.source_width, prepared.channels) == (640, 1280, channels)
    assert_array_equal(cp.remap_image(image, prepared, border=7, threads=2), out)


def test_the_rectangle_around_a_valid_pixel_is_all_valid(half_size_map):
    x, y, w, h = cp.valid_rect_around(half_size_map, 320, 240)
    assert w > 300 and h > 200 and half_size_map.valid[y : y + h, x : x + w].all()
    assert cp.valid_rect_around(half_size_map, -1, 5) == (0, 0, 0, 0)


def test_cv2_remap_takes_the_maps_and_resamples_as_remap_image(half_size_map):
    cv2 = pytest.importorskip("cv2")
    image, valid = textured_image(960, 1280, 3), half_size_map.valid == 1
    ours = cp.remap_image(image, half_size_map).astype(int)
    # cv2.remap rounds positions to 1/32 pixel, remap_image samples them exactly: on
    # this noise of the full range that moves samples by about a level (a wrong one by 85).
    for planes in (half_size_map.x, half_size_map.y), cp.convert_to_fixed_point(half_size_map):
        difference = np.abs(cv2.remap(image, *planes, cv2.INTER_LINEAR)[valid] - ours[valid])
        assert difference.max() <= 8 and difference.mean() < 1.5
    assert (cp.convert_to_fixed_point(half_size_map)[0][~valid] == -32768).all()


# The samples themselves against the exact bilinear ones: RemapImage (C++); here the 16-bit
# frames' way through the module, which must give the 8-bit frame's samples scaled.
@pytest.mark.parametrize("channels", [1, 3])
def test_a_16_bit_frame_resamples_as_its_8_bit_frame_on_any_number_of_threads(half_size_map, channels):
    image = textured_image(960, 1280, channels)
    out = cp.remap_image(image.astype(np.uint16) * 257, half_size_map, border=7)
    valid = half_size_map.valid == 1
    assert out.dtype == np.uint16 and (out[~valid] == 7).all()
    assert np.abs(out[valid] / 257.0 - cp.remap_image(image, half_size_map)[valid]).max() <= 1
    for threads in 1, 2, 5:
        assert_array_equal(cp.remap_image(image.astype(np.uint16) * 257, half_size_map, border=7, threads=threads), out)


def test_a_lens_the_library_refuses_gives_none(caplog):
    with pytest.raises(ValueError, match="fx nan or fy 500 is not positive"):
        cp.Lens(640, 480, np.diag([np.nan, 500, 1]), np.zeros(8))
    lens = cp.Lens(1 << 14, 1 << 14, np.diag([500, 500, 1.0]), np.zeros(8))  # too large for a map
    assert cp.choose_pinhole_view(lens, 0.0, 640, 480) is None
    view = cp.PinholeView(640, 480, np.diag([500, 500, 1.0]))
    assert cp.undistortion_map(lens, view) is None and cp.inverse_undistortion_map(lens, view) is None
    # The records were written while the GIL was released: the sink took it.
    refusals = [r for r in caplog.records if r.tag == "calibration_utils"]
    assert len(refusals) == 3 and all(r.levelno == logging.ERROR for r in refusals)


def test_a_frame_of_another_size_than_the_map_was_built_for_is_refused(half_size_map):
    with pytest.raises(ValueError, match="The source image is 640 x 480, the map was built for 1280 x 960"):
        cp.remap_image(textured_image(480, 640, 1), half_size_map)
    prepared = cp.prepare_remap(half_size_map, textured_image(960, 1280, 3))
    with pytest.raises(ValueError, match="the map was prepared for 1280 x 960 x 3"):
        cp.remap_image(textured_image(960, 1300, 3)[:, :1280], prepared)  # a crop: another stride
    with pytest.raises(TypeError):
        cp.remap_image(textured_image(960, 1280, 3).astype(np.uint16), prepared)
