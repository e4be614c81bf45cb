"""The PTZ camera from Python: batch against single calls, inverse against forward, the head."""

from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pytest
from numpy.testing import assert_allclose, assert_array_equal

import camera_parameters as cp
from conftest import EXAMPLE_SETTING

SETTINGS = [EXAMPLE_SETTING, (3000, 900, 0), (4200, 1500, 16000), (3600, 1200, 7321)]


def random_pixels(count, seed=7):
    return np.random.default_rng(seed).uniform((0, 0), (1919, 1079), size=(count, 2))


def test_aiming_gives_the_steps_camcal_prints(camcal, config):
    # One look through the other front end: both ask the library.
    expected = camcal.ptz(EXAMPLE_SETTING, "aim-region", 700, 300, 1300, 800)
    assert config.get_pan_tilt_zoom((700, 300), (1300, 800)) == tuple(int(v) for v in expected[:3])


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
    # The pose is held in float: its rotation and its inverse's differ by float rounding.
    assert_allclose(config.project(rays + config.camera_center), pixels, atol=1e-3)
    in_camera = rays @ config.transform[:3, :3].T
    assert_allclose(in_camera[:, :2] / in_camera[:, 2:], config.rectify_pixels(pixels), atol=1e-6)


def test_the_head_gives_the_configuration_pose_and_its_joint_angles(ptz_model, config):
    head = ptz_model.pan_tilt_model
    assert_array_equal(head.full_transform(3600, 1200), config.transform)
    pan, tilt = head.compute_pan_tilt([3, 0.2, 1.0], [0, 0])
    c = cp.PTZCameraModelConfiguration(ptz_model, round(pan), round(tilt), 4000)
    assert_allclose(c.project([3, 0.2, 1.0]), c.intrinsics[:2, 2], atol=3.0)
    assert_array_equal(head.joint_positions(head.pan_offset, head.tilt_offset), [0, 0])
    for pan, tilt in [(3600, 1200), (100.5, -2500), (7000, 3000)]:
        assert_allclose(head.motor_steps(*head.joint_positions(pan, tilt)), (pan, tilt), rtol=1e-6)
    assert head.motor_steps(float("nan"), 0.0) is None


def test_zoom_steps_and_factors_round_trip_on_the_grid(ptz_model):
    assert ptz_model.zoom_x_factor_to_steps(3) == 7615
    for steps in [0, 1000, 2000, 4000, 10000, 16000]:
        factor = ptz_model.steps_to_zoom_x_factor(steps)
        assert ptz_model.zoom_x_factor_to_steps(factor) == pytest.approx(steps, abs=1)


# Rows that are not interleaved float64 are converted; a view must never be read as if it were.
ARRANGEMENTS = {
    "float32": lambda p: p.astype(np.float32),
    "Fortran order": np.asfortranarray,
    "strided": lambda p: np.repeat(p, 2, axis=1)[:, ::2],
    "every other row": lambda p: np.repeat(p, 2, axis=0)[::2],
    "nested lists": lambda p: p.tolist(),
}


@pytest.mark.parametrize("arrange", ARRANGEMENTS.values(), ids=ARRANGEMENTS.keys())
def test_any_real_dtype_and_memory_layout_gives_the_answer_of_its_values(config, arrange):
    pixels = arrange(random_pixels(64))
    assert_array_equal(config.rectify_pixels(pixels), config.rectify_pixels(np.array(pixels, dtype=np.float64)))


def test_batch_calls_run_on_several_threads_at_once(config):
    pixels = random_pixels(20000)
    expected = config.pixel_rays(pixels)
    with ThreadPoolExecutor(4) as pool:
        for result in pool.map(lambda _: config.pixel_rays(pixels), range(4)):
            assert_array_equal(result, expected)
