"""Shared fixtures. ctest runs the tests on the built module that CAMERA_PARAMETERS_MODULE_DIR names,
never an installed copy; a run of the whole folder that collects fewer than MINIMUM_TESTS fails."""

import os
import pathlib

import numpy as np
import pytest

import camera_parameters as cp

MINIMUM_TESTS = 300

SOURCE_DIR = pathlib.Path(
    os.environ.get("CAMERA_PARAMETERS_SOURCE_DIR", pathlib.Path(__file__).parents[2])
)
PTZ_EXAMPLE = SOURCE_DIR / "data" / "ptz_camera_example.txt"
ROBOT_CALIBRATION = SOURCE_DIR / "tests" / "camcal" / "data" / "robot_calibration.txt"
BASE_CALIBRATION = ROBOT_CALIBRATION.with_name("base_calibration.txt")
# The setting the README's camcal examples use.
EXAMPLE_SETTING = (3600, 1200, 4000)


def pytest_configure(config):
    module_dir = os.environ.get("CAMERA_PARAMETERS_MODULE_DIR")
    loaded = pathlib.Path(cp.__file__).resolve().parent
    assert not module_dir or loaded == pathlib.Path(module_dir).resolve(), (
        f"camera_parameters was loaded from {loaded}, not from the build tree {module_dir}"
    )


def pytest_collection_finish(session):
    config, tests_dir = session.config, pathlib.Path(__file__).resolve().parent
    whole_suite = any(pathlib.Path(arg).resolve() == tests_dir for arg in config.args)
    if whole_suite and not config.option.keyword and not config.option.markexpr:
        if len(session.items) < MINIMUM_TESTS:
            raise pytest.UsageError(
                f"collected {len(session.items)} tests, fewer than the {MINIMUM_TESTS} of the suite"
            )


@pytest.fixture(scope="session")
def ptz_model():
    return cp.PTZCameraModel(PTZ_EXAMPLE.read_text())


@pytest.fixture(scope="session")
def config(ptz_model):
    return cp.PTZCameraModelConfiguration(ptz_model, *EXAMPLE_SETTING)


@pytest.fixture(scope="session")
def navigation_lens():
    return cp.CameraParametersSet().camera("navigation").lens(1280, 960)


def textured_image(height, width, channels):
    shape = (height, width) if channels == 1 else (height, width, channels)
    return np.random.default_rng(channels).integers(0, 256, shape, dtype=np.uint8)
