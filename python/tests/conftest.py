"""Shared fixtures of the Python module's tests.

ctest runs these on the built module, which CAMERA_PARAMETERS_MODULE_DIR names so that an
installed copy is never tested by mistake. A run of the whole folder that collects fewer than
MINIMUM_TESTS tests fails: a file that silently stops being collected must not pass for green.
"""

import os
import pathlib
import re
import subprocess

import numpy as np
import pytest

import camera_parameters as cp

MINIMUM_TESTS = 200

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


def configuration_with_lens(f, k1, k4):
    """The example camera at zoom 0 with a single zoom sample: a lens to choose."""
    text = PTZ_EXAMPLE.read_text()
    start, end = text.index("  samples {"), text.index("pan_tilt {")
    sample = (
        f"  samples {{\n    zoom: 0\n    f: {f}\n    cx: 961.8\n    cy: 538.7\n"
        f"    k1: {k1}\n    k4: {k4}\n    p1: 0.0004\n    p2: -0.0003\n  }}\n}}\n"
    )
    return cp.PTZCameraModelConfiguration(
        cp.PTZCameraModel(text[:start] + sample + text[end:]), 3600, 1200, 0
    )


@pytest.fixture(scope="session")
def navigation_lens():
    return cp.CameraParametersSet().camera("navigation").lens(1280, 960)


def textured_image(height, width, channels):
    rng = np.random.default_rng(channels)
    y, x = np.mgrid[0:height, 0:width]
    base = 127 + 60 * np.sin(x / 9.0) * np.cos(y / 13.0)
    planes = [base + rng.normal(0, 20, base.shape) for _ in range(channels)]
    image = np.clip(np.stack(planes, axis=-1), 0, 255).astype(np.uint8)
    return image[:, :, 0] if channels == 1 else image


class Camcal:
    """The built camcal: the numbers `camcal ptz PTZ_EXAMPLE --at SETTING ACTION ...` prints."""

    def __init__(self, path):
        self.path = path

    def ptz(self, setting, *args):
        command = [self.path, "ptz", PTZ_EXAMPLE, "--at", ",".join(map(str, setting)), *map(str, args)]
        text = subprocess.run(command, capture_output=True, text=True, check=True).stdout
        return [float(x) for x in re.findall(r"-?\d+(?:\.\d+)?(?:e-?\d+)?", text)]


@pytest.fixture(scope="session")
def camcal():
    path = os.environ.get("CAMERA_PARAMETERS_CAMCAL")
    if not path or not os.path.exists(path):
        pytest.skip("camcal is not built")
    return Camcal(path)
