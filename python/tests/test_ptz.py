"""The PTZ camera from Python (and a lens): batch against single calls, inverse against forward, the head."""

from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pytest
from numpy.testing import assert_allclose, assert_array_equal

import camera_parameters as cp
from conftest import EXAMPLE_SETTING

SETTINGS = [EXAMPLE_SETTING, (4200, 1500, 16000)]


def random_pixels(count, seed=7, size=(1920, 1080)):
    return np.random.default_rng(seed).uniform((0, 0), np.subtract(size, 1), size=(count, 2))


@pytest.mark.parametrize("setting", [None] + SETTINGS, ids=["lens"] + [f"PTZ at {s}" for s in SETTINGS])
def test_single_points_give_the_bits_of_a_batch(ptz_model, navigation_lens, setting):
    if setting is None:
        camera, pixels = navigation_lens, random_pixels(257, size=(1280, 960))
    else:
        camera, pixels = cp.PTZCameraModelConfiguration(ptz_model, *setting), random_pixels(257, seed=setting[2])
    points = camera.pixel_rays(pixels) * 3.0 + getattr(camera, "camera_center", 0.0)
    for name, values in [("project", points), ("pixel_rays", pixels), ("rectify_pixels", pixels),
                         ("normalize_pixels", pixels)]:
        if hasattr(camera, name):
            batch, singles = getattr(camera, name)(values), [getattr(camera, name)(value) for value in values]
            for part, single_parts in zip(batch, zip(*singles)) if isinstance(batch, tuple) else [(batch, singles)]:
                assert_array_equal(part, np.array(single_parts), err_msg=name)


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
