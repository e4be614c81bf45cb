"""Against OpenCV, where python3-opencv is present."""

import numpy as np
import pytest
from numpy.testing import assert_allclose

import camera_parameters as cp
from conftest import MAP_TOLERANCE_PX, configuration_with_lens, textured_image

cv2 = pytest.importorskip("cv2")

# OpenCV takes the rotation as a vector and rebuilds an orthonormal matrix of
# it: the float rotation differs from that by float rounding, about 1e-7 rad,
# which moves a pixel by that times the focal length.
PROJECTION_TOLERANCE_PER_FOCAL_LENGTH = 5e-7


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


@pytest.mark.parametrize("zoom", [0, 4000, 9000, 16000])
def test_project_matches_opencv_project_points(ptz_model, zoom):
    c = cp.PTZCameraModelConfiguration(ptz_model, 3500, 1100, zoom)
    rng = np.random.default_rng(zoom)
    pixels = rng.uniform((0, 0), (1919, 1079), size=(500, 2))
    points = c.pixel_rays(pixels) * rng.uniform(0.5, 20, size=(500, 1)) + c.camera_center
    rvec, _ = cv2.Rodrigues(c.transform[:3, :3])
    expected, _ = cv2.projectPoints(points, rvec, c.transform[:3, 3].copy(), c.intrinsics, c.distortion)
    tolerance = PROJECTION_TOLERANCE_PER_FOCAL_LENGTH * c.intrinsics[0, 0]
    assert_allclose(c.project(points), expected[:, 0, :], atol=tolerance)


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
    # Float rounding of the normalized point (about 1e-7 of f) bounds ours.
    assert our_error < 1e-3, our_error
    assert their_error > 10 * our_error and their_error > 1e-2, (our_error, their_error)


def test_the_forward_map_matches_opencv_where_valid(navigation_lens):
    view = cp.PinholeView(1280, 960, navigation_lens.K)
    map_x, map_y, valid = cp.undistortion_map(navigation_lens, view)
    cv_x, cv_y = cv2.initUndistortRectifyMap(
        navigation_lens.K, navigation_lens.distortion, None, view.K, (1280, 960), cv2.CV_32FC1
    )
    ok = valid == 1
    assert ok.mean() > 0.5
    assert_allclose(map_x[ok], cv_x[ok], atol=MAP_TOLERANCE_PX)
    assert_allclose(map_y[ok], cv_y[ok], atol=MAP_TOLERANCE_PX)


@pytest.mark.parametrize("channels", [1, 3])
def test_our_map_feeds_cv2_remap_and_both_resample_alike(navigation_lens, channels):
    view, _ = cp.choose_pinhole_view(navigation_lens, 0.0, 1280, 960)
    map_x, map_y, valid = cp.undistortion_map(navigation_lens, view)
    image = textured_image(960, 1280, channels)
    theirs = cv2.remap(image, map_x, map_y, cv2.INTER_LINEAR, borderValue=0)
    ours = cp.remap_image(image, map_x, map_y, valid)
    assert theirs.shape == ours.shape
    assert np.abs(ours.astype(int) - theirs.astype(int))[valid == 1].max() <= 1
