"""The PTZ camera from Python: the C++ library's floats, batch against single calls."""

from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pytest
from numpy.testing import assert_allclose, assert_array_equal

import camera_parameters as cp
from conftest import EXAMPLE_SETTING, as_float32

# World points in front of the camera at the example setting (metres), and pixels.
WORLD_POINTS = [(3.0, 0.2, 1.0), (2.5, -0.4, 1.3)]
PIXELS = [(788.6, 567.2), (0.0, 0.0), (1919.0, 1079.0)]
SETTINGS = [EXAMPLE_SETTING, (3000, 900, 0), (4200, 1500, 16000), (3600, 1200, 7321)]


def random_pixels(count, seed=7):
    return np.random.default_rng(seed).uniform((0, 0), (1919, 1079), size=(count, 2))


@pytest.mark.parametrize("setting", SETTINGS)
def test_project_and_rays_agree_with_camcal_at_several_settings(camcal, ptz_model, setting):
    c = cp.PTZCameraModelConfiguration(ptz_model, *setting)
    for point in WORLD_POINTS:
        expected = camcal.ptz(setting, "project", *point)
        assert_array_equal(c.project(point), as_float32(expected[:2]))
    for pixel in PIXELS:
        expected = camcal.ptz(setting, "ray", *pixel)
        assert_array_equal(c.camera_center, as_float32(expected[:3]))
        assert_array_equal(c.pixel_rays(pixel), as_float32(expected[3:6]))


# (camcal action, method, arguments, type of the answer)
AIMING = [
    ("aim-pixel", "get_pan_tilt", [(1400, 300)], int),
    ("aim-point", "get_pan_tilt_for_point", [(3, 0.2, 1.0), (960, 540)], np.float32),
    ("aim-region", "get_pan_tilt_zoom", [(700, 300), (1300, 800)], int),
    ("aim-pixel", "get_pan_tilt", [(100, 900)], int),
    ("aim-point", "get_pan_tilt_for_point", [(4, -1, 1.5), (200, 700)], np.float32),
    ("aim-region", "get_pan_tilt_zoom", [(10, 20), (300, 200)], int),
]


@pytest.mark.parametrize("setting", [EXAMPLE_SETTING, (4200, 1500, 16000)])
@pytest.mark.parametrize("action, call, args, kind", AIMING)
def test_aiming_gives_the_steps_camcal_prints(camcal, ptz_model, setting, action, call, args, kind):
    c = cp.PTZCameraModelConfiguration(ptz_model, *setting)
    answer = getattr(c, call)(*args)
    expected = camcal.ptz(setting, action, *[v for a in args for v in a])[: len(answer)]
    assert answer == tuple(kind(v) for v in expected)


def test_zoom_factors_are_those_camcal_prints(ptz_model):
    assert ptz_model.valid
    assert ptz_model.steps_to_zoom_x_factor(5000) == as_float32([2.0576923])[0]
    assert ptz_model.zoom_x_factor_to_steps(3) == 7615
    assert ptz_model.max_zoom_x_factor == as_float32([13400 / 1300])[0]


def test_zoom_steps_round_trip_on_the_grid(ptz_model):
    for steps in [0, 1000, 2000, 4000, 10000, 16000]:
        factor = ptz_model.steps_to_zoom_x_factor(steps)
        assert ptz_model.zoom_x_factor_to_steps(factor) == pytest.approx(steps, abs=1)


@pytest.mark.parametrize("setting", SETTINGS)
def test_batch_calls_agree_with_single_calls(ptz_model, setting):
    c = cp.PTZCameraModelConfiguration(ptz_model, *setting)
    pixels = random_pixels(257, seed=setting[2])
    for call in (c.rectify_pixels, c.pixel_rays):
        assert_array_equal(call(pixels), np.array([call(p) for p in pixels]))
    points = c.pixel_rays(pixels) * 3.0 + c.camera_center
    assert_array_equal(c.project(points), np.array([c.project(p) for p in points]))


def test_rectify_then_project_gives_back_the_pixel(config):
    pixels = random_pixels(1000)
    rays = config.pixel_rays(pixels)
    assert_allclose(config.project(rays + config.camera_center), pixels, atol=2e-3)
    # The normalized coordinates are those of the same rays in the camera frame.
    in_camera = rays @ config.transform[:3, :3].T
    normalized = config.rectify_pixels(pixels)
    assert_allclose(in_camera[:, :2] / in_camera[:, 2:], normalized, atol=1e-6)


def test_intrinsics_and_distortion_at_a_sample_are_the_sample(ptz_model):
    c = cp.PTZCameraModelConfiguration(ptz_model, 3600, 1200, 2000)
    assert_array_equal(c.intrinsics, as_float32([[1720, 0, 962.3], [0, 1720, 538.9], [0, 0, 1]]))
    # On sample A (zoom 2000) with all the weight, below B (zoom 4000): the
    # radial mapping of A over the common denominator (1 + A.k4 r^2)(1 + B.k4 r^2).
    a_k1, a_k4, b_k4 = -0.105, 0.022, 0.015
    expected = [a_k1 + b_k4, a_k1 * b_k4, 0.00035, -0.00027, 0, a_k4 + b_k4, a_k4 * b_k4, 0]
    assert_allclose(c.distortion, expected, rtol=1e-6, atol=1e-12)
    assert (c.cal_width, c.cal_height, c.pan, c.tilt, c.zoom) == (1920, 1080, 3600, 1200, 2000)


def test_the_head_gives_the_configuration_pose(ptz_model, config):
    head = ptz_model.pan_tilt_model
    assert_array_equal(head.full_transform(3600, 1200), config.transform)
    assert (head.pan_offset, head.tilt_offset) == (3600, 1200)
    pan, tilt = head.compute_pan_tilt([3, 0.2, 1.0], [0, 0])
    c = cp.PTZCameraModelConfiguration(ptz_model, round(pan), round(tilt), 4000)
    assert_allclose(c.project([3, 0.2, 1.0]), c.intrinsics[:2, 2], atol=3.0)


ARRANGEMENTS = {
    **{np.dtype(t).name: (lambda p, t=t: p.astype(t))
       for t in (np.float64, np.float32, np.float16, np.int32, np.uint16, np.longdouble)},
    "Fortran order": np.asfortranarray,
    "strided": lambda p: np.repeat(p, 2, axis=1)[:, ::2],
    "negative strides": lambda p: p[::-1].copy()[::-1],
    "nested lists": lambda p: p.tolist(),
}


@pytest.mark.parametrize("arrange", ARRANGEMENTS.values(), ids=ARRANGEMENTS.keys())
def test_any_real_dtype_and_memory_layout_gives_the_float32_answer(config, arrange):
    pixels = arrange(random_pixels(64))
    expected = config.rectify_pixels(np.array(pixels, dtype=np.float32))
    assert_array_equal(config.rectify_pixels(pixels), expected)


def test_outputs_are_float64_with_the_input_shape(config):
    assert config.project(np.zeros((0, 3))).shape == (0, 2)
    assert config.rectify_pixels(np.zeros((0, 2))).shape == (0, 2)
    assert config.pixel_rays(np.ones((5, 2))).shape == (5, 3)
    out = config.project([[3, 0.2, 1.0]])
    assert out.shape == (1, 2) and out.dtype == np.float64 and out.flags.c_contiguous
    assert config.project([3, 0.2, 1.0]).shape == (2,)


def test_batch_calls_run_on_several_threads_at_once(config):
    pixels = random_pixels(20000)
    expected = config.rectify_pixels(pixels)
    with ThreadPoolExecutor(4) as pool:
        for result in pool.map(lambda _: config.rectify_pixels(pixels), range(4)):
            assert_array_equal(result, expected)
