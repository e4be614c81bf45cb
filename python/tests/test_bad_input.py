"""Bad input raises a Python error or gets a False/None answer, never a crash. An object made by
cls.__new__(cls), whose __init__ never ran, raises TypeError from every method and property, and as
an argument of any call, instead of handing C++ raw memory."""

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
    [("set", "load_file", "/", logging.ERROR), ("set", "load_string", bytes(range(256)), logging.WARNING),
     ("base", "load_string", "wheel_base: [", logging.WARNING),
     ("base", "load_string", b"\x0a\x05hello", logging.ERROR)],
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


LENS = (640, 480, np.diag([500.0, 500.0, 1.0]), np.zeros(8))
# Every method and property of every class's objects (a static method and a nested
# enumeration are called on the class, with no object).
MEMBERS = [(cls, name) for cls in vars(cp).values() if isinstance(cls, type) for name, member in vars(cls).items()
           if name != "__init__" and (isinstance(member, property)
                                      or callable(member) and not isinstance(member, (type, staticmethod)))]


@pytest.mark.parametrize("cls, name", MEMBERS, ids=[f"{c.__name__}.{n}" for c, n in MEMBERS])
def test_a_member_of_an_object_never_initialized_raises_type_error(cls, name):
    blank, member = cls.__new__(cls), vars(cls)[name]
    if isinstance(member, property):
        calls = [lambda: getattr(blank, name)] + [lambda: setattr(blank, name, None)] * (member.fset is not None)
    else:
        # The object is read before any argument: the call of the method's own arity refuses it,
        # whatever the arguments; the other arities are refused by their number.
        calls = [lambda count=count: getattr(blank, name)(*[None] * count) for count in range(5)]
    reasons = []
    for call in calls:
        with pytest.raises(TypeError) as raised:
            call()
        reasons.append("never initialized" in str(raised.value))
    assert any(reasons) if len(calls) == 5 else all(reasons)


@pytest.mark.parametrize(
    "call",
    [lambda: cp.CameraParametersSet().adjust_using_base_calibration(cp.BaseCalibrationData.__new__(cp.BaseCalibrationData)),
     lambda: cp.PTZCameraModelConfiguration(cp.PTZCameraModel.__new__(cp.PTZCameraModel), 0, 0, 0),
     lambda: cp.choose_pinhole_view(cp.Lens.__new__(cp.Lens), 0.0, 640, 480),
     lambda: cp.undistortion_map(cp.Lens(*LENS), cp.PinholeView.__new__(cp.PinholeView)),
     lambda: cp.projection_uncertainty(cp.CameraCalibration.__new__(cp.CameraCalibration), 8)],
    ids=["base calibration", "PTZ model", "lens", "view", "calibration"],
)
def test_an_object_never_initialized_is_refused_as_an_argument(call):
    with pytest.raises(TypeError, match="never initialized"):
        call()
