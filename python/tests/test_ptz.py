"""The PTZ camera from Python: batch against single calls, inverse against forward, the head."""

import os
import re
import subprocess
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pytest
from numpy.testing import assert_allclose, assert_array_equal

import camera_parameters as cp
from conftest import EXAMPLE_SETTING, PTZ_EXAMPLE

SETTINGS = [EXAMPLE_SETTING, (4200, 1500, 16000)]


def random_pixels(count, seed=7):
    return np.random.default_rng(seed).uniform((0, 0), (1919, 1079), size=(count, 2))


def test_aiming_gives_the_steps_camcal_prints(config):
    # One look through the other front end: both ask the library.
    camcal = os.environ.get("CAMERA_PARAMETERS_CAMCAL", "")
    if not os.path.exists(camcal):
        pytest.skip("camcal is not built")
    command = [camcal, "ptz", PTZ_EXAMPLE, "--at", "3600,1200,4000", "aim-region", "700", "300", "1300", "800"]
    printed = subprocess.run(command, capture_output=True, text=True, check=True).stdout
    assert config.get_pan_tilt_zoom((700, 300), (1300, 800)) == tuple(map(int, re.findall(r"\d+", printed)[:3]))


@pytest.mark.parametrize("setting", SETTINGS)
def test_batch_calls_agree_with_single_calls(ptz_model, setting):
    c = cp.PTZCameraModelConfiguration(ptz_model, *setting)
    pixels = random_pixels(257, seed=setting[2])
    for call in (c.rectify_pixels, c.pixel_rays):
        assert_array_equal(call(pixels), np.array([call(p) for p in pixels]))
    points = c.pixel_rays(pixels) * 3.0 + c.camera_center
    assert_array_equal(c.project(points), np.array([c.project(p) for p in points]))


def test_rays_are_unit_directions_in_the_world_that_project_back_to_their_pixels(config):
    pixels = random_pixels(1000)
    rays = config.pixel_rays(pixels)
    # The pose is held in float: its rotation and its inverse's differ by float rounding.
    assert_allclose(config.project(rays + config.camera_center), pixels, atol=1e-3)
    assert_allclose(np.linalg.norm(rays, axis=1), 1.0, atol=1e-15)


def test_the_head_gives_the_configuration_pose_and_its_joint_angles(ptz_model, config):
    head = ptz_model.pan_tilt_model
    assert_array_equal(head.full_transform(3600, 1200), config.transform)
    assert_allclose(head.motor_steps(*head.joint_positions(100.5, -2500)), (100.5, -2500), rtol=1e-6)
    assert head.motor_steps(float("nan"), 0.0) is None


# Rows that are not interleaved float64 are converted; a view must never be read as if it were.
ARRANGEMENTS = {
    "Fortran order": np.asfortranarray,
    "strided": lambda p: np.repeat(p, 2, axis=1)[:, ::2],
    "every other row": lambda p: np.repeat(p, 2, axis=0)[::2],
}


@pytest.mark.parametrize("arrange", ARRANGEMENTS.values(), ids=ARRANGEMENTS.keys())
def test_any_memory_layout_gives_the_answer_of_its_values(config, arrange):
    pixels = arrange(random_pixels(64))
    assert_array_equal(config.rectify_pixels(pixels), config.rectify_pixels(np.array(pixels, dtype=np.float64)))


def test_batch_calls_run_on_several_threads_at_once(config):
    pixels = random_pixels(20000)
    expected = config.pixel_rays(pixels)
    with ThreadPoolExecutor(4) as pool:
        for result in pool.map(lambda _: config.pixel_rays(pixels), range(4)):
            assert_array_equal(result, expected)
