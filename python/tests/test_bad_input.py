"""Bad input raises a Python error or gets a False/None answer, never a crash."""

import logging

import numpy as np
import pytest

import camera_parameters as cp
from conftest import BASE_CALIBRATION, ROBOT_CALIBRATION

MAPS = np.zeros((4, 4), np.float32), np.zeros((4, 4), np.float32), np.ones((4, 4), np.uint8)
IMAGE = np.zeros((8, 8), np.uint8)


# The module's own checks (pybind11 refuses arguments of the wrong type or shape itself).
@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda: cp.remap_image(np.zeros((10, 10), dtype=np.float32), *MAPS), TypeError, "uint8"),
        (lambda: cp.remap_image(np.zeros((10, 10, 2), dtype=np.uint8), *MAPS), ValueError, r"C 1, 3 or 4"),
        (lambda: cp.remap_image(IMAGE, *MAPS, border=256), ValueError, "grey level"),
        (lambda: cp.remap_image(IMAGE, MAPS[0].astype(object), *MAPS[1:]), TypeError, "map_x .* not object"),
        (lambda: cp.remap_image(IMAGE, MAPS[0], MAPS[1].astype(complex), MAPS[2]), TypeError, "map_y"),
        (lambda: cp.remap_image(IMAGE, np.zeros((4, 4)), np.zeros((4, 5)), np.ones((4, 4))), ValueError,
         "one shape"),
        # A path is never cut at a NUL character (which would load another file).
        (lambda: cp.CameraParametersSet().load_file("a\0b"), (TypeError, ValueError), ""),
        (lambda: cp.CameraParametersSet().load_file(None), TypeError, "path .* or an open file"),
    ],
)
def test_bad_arguments_raise_naming_what_is_wrong(call, error, message):
    with pytest.raises(error, match=message):
        call()


def front_camera(camera_set):
    return camera_set.camera("front").intrinsics(1280, 960).tolist()


# Each kind of calibration: how to make one, data it loads, its log tag and values of it to compare.
KINDS = {
    "set": (cp.CameraParametersSet, ROBOT_CALIBRATION, "camera_parameters", front_camera),
    "base": (cp.BaseCalibrationData, BASE_CALIBRATION, "base_calibration_data",
             lambda b: (b.base_length, b.world_rotation.tolist(), b.world_translation.tolist())),
}


@pytest.mark.parametrize(
    "kind, load, data, level",
    [("set", "load_file", "/no/such/calibration.txt", logging.ERROR), ("set", "load_file", "/", logging.ERROR)]
    + [("set", "load_string", data, logging.WARNING) for data in (b"camera { name: ", bytes(range(256)))]
    + [("base", "load_string", data, logging.WARNING) for data in
       (b"\x00\x01\x02\xff", "wheel_base: [", b"\x08\x96\x01 not a base calibration")]
    + [("base", "load_string", b"\x0a\x05hello", logging.ERROR)],
)
def test_what_is_not_a_calibration_returns_false_with_a_record_and_puts_the_default_back(
    caplog, kind, load, data, level
):
    make, calibration, tag, values = KINDS[kind]
    loaded = make()
    default = values(loaded)
    assert loaded.load_string(calibration.read_bytes()) and values(loaded) != default
    with caplog.at_level(logging.WARNING, logger="camera_parameters"):
        assert not getattr(loaded, load)(data)
    assert any(r.levelno == level and r.tag == tag for r in caplog.records)
    assert values(loaded) == default


def test_data_without_cameras_or_a_closed_file_keeps_the_loaded_calibration():
    camera_set = cp.CameraParametersSet()
    assert camera_set.load_file(ROBOT_CALIBRATION)
    loaded = front_camera(camera_set)
    # An empty wire message is a calibration without cameras: nothing to add.
    assert camera_set.load_string(b"") and front_camera(camera_set) == loaded
    with open(ROBOT_CALIBRATION) as closed:
        pass
    with pytest.raises(ValueError, match="closed file"):
        camera_set.load_file(closed)
    assert front_camera(camera_set) == loaded
