"""Against OpenCV, where python3-opencv is present."""

import numpy as np
import pytest
from numpy.testing import assert_allclose

import camera_parameters as cp
from conftest import configuration_with_lens, textured_image

cv2 = pytest.importorskip("cv2")


def distort_to_pixels(c, normalized):
    """Normalized points through the lens to pixels, in OpenCV's double precision."""
    points = np.column_stack([normalized, np.ones(len(normalized))])
    pixels, _ = cv2.projectPoints(points, np.zeros(3), np.zeros(3), c.intrinsics, c.distortion)
    return pixels[:, 0, :]


def border_pixels(width, height, per_side=50):
    t, w, h = np.linspace(0, 1, per_side), width - 1, height - 1
    zero, one = np.zeros_like(t), np.ones_like(t)
    sides = [(t * w, zero), (t * w, one * h), (zero, t * h), (one * w, t * h)]
    return np.concatenate([np.column_stack(side) for side in sides])


@pytest.mark.parametrize(
    "f, k1, k4",
    [(1300, -0.15, 0.03), (1100, -0.12, 0.0), (700, 0.25, 0.1)],
    ids=["example widest", "strong barrel", "pincushion"],
)
def test_rectify_pixels_is_exact_where_opencv_undistort_points_is_not(f, k1, k4):
    c = configuration_with_lens(f, k1, k4)
    pixels = border_pixels(1920, 1080)
    ours = distort_to_pixels(c, c.rectify_pixels(pixels))
    undistorted = cv2.undistortPoints(pixels[:, None, :], c.intrinsics, c.distortion)[:, 0, :]
    our_error = np.abs(ours - pixels).max()
    their_error = np.abs(distort_to_pixels(c, undistorted) - pixels).max()
    # Double precision throughout: the Newton iteration's floor (about 1e-11 px here).
    assert our_error < 1e-9, our_error
    assert their_error > 10 * our_error and their_error > 1e-2, (our_error, their_error)


@pytest.mark.parametrize("channels", [1, 3])
def test_our_map_feeds_cv2_remap_and_both_resample_alike(navigation_lens, channels):
    view, _ = cp.choose_pinhole_view(navigation_lens, 0.0, 1280, 960)
    map_x, map_y, valid = cp.undistortion_map(navigation_lens, view)
    image = textured_image(960, 1280, channels)
    theirs = cv2.remap(image, map_x, map_y, cv2.INTER_LINEAR, borderValue=0)
    ours = cp.remap_image(image, map_x, map_y, valid)
    assert theirs.shape == ours.shape
    assert np.abs(ours.astype(int) - theirs.astype(int))[valid == 1].max() <= 1


def test_the_fixed_point_map_is_opencvs_conversion_where_valid(navigation_lens):
    view, _ = cp.choose_pinhole_view(navigation_lens, 1.0, 1280, 960)
    map_x, map_y, valid = cp.undistortion_map(navigation_lens, view)
    xy, fraction = cp.convert_to_fixed_point(cp.undistortion_map(navigation_lens, view))
    cv_xy, cv_fraction = cv2.convertMaps(map_x, map_y, cv2.CV_16SC2)
    ok = valid == 1
    assert 0.5 < ok.mean() < 1 and (xy[~ok] == -32768).all()
    assert (xy[ok] == cv_xy[ok]).all() and (fraction[ok] == cv_fraction[ok]).all()
