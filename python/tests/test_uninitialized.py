"""An object made by cls.__new__(cls), whose __init__ never ran, raises TypeError from every
method and property, and as an argument of any call, instead of handing C++ raw memory."""

import numpy as np
import pytest

import camera_parameters as cp
from conftest import PTZ_EXAMPLE, ROBOT_CALIBRATION
from test_calibration import GOOD

LENS = (640, 480, np.diag([500.0, 500.0, 1.0]), np.zeros(8))
PIXELS = np.array([[320.0, 240.0], [10.0, 20.0]])
POINTS = np.array([[0.1, 0.2, 1.0], [1.0, 2.0, 3.0]])


def ptz_model():
    return cp.PTZCameraModel(PTZ_EXAMPLE.read_text())


def ptz_configuration():
    return cp.PTZCameraModelConfiguration(ptz_model(), 3600, 1200, 4000)


# Per class: how to make a working object, and for every method the arguments of a call that
# works on it (properties are read, and written back where they can be).
CLASSES = {
    cp.CameraParametersSet: (cp.CameraParametersSet, {
        "load_file": (ROBOT_CALIBRATION,), "load_string": (b"",), "camera_names": (),
        "has_camera": ("head",), "camera": ("head",), "__contains__": ("head",), "__repr__": (),
        "adjust_using_base_calibration": (cp.BaseCalibrationData(),),
    }),
    cp.CameraParameters: (lambda: cp.CameraParametersSet().camera("navigation"), {
        "intrinsics": (640, 480), "distortion": (640, 480), "has_intrinsics": (640, 480),
        "full_frame_intrinsics": (), "full_frame_distortion": (), "lens": (640, 480),
        "project": (POINTS, 640, 480), "normalize_pixels": (PIXELS, 640, 480),
        "pixel_rays": (PIXELS, 640, 480), "__repr__": (),
    }),
    cp.BaseCalibrationData: (cp.BaseCalibrationData, {
        "load_string": (b"",), "load_file": (ROBOT_CALIBRATION.with_name("base_calibration.txt"),),
    }),
    cp.Lens: (lambda: cp.Lens(*LENS), {
        "project": (POINTS,), "normalize_pixels": (PIXELS,), "pixel_rays": (PIXELS,),
        "sound_region": (), "is_sound_over_image": (), "from_intrinsics": (),
        "__repr__": (),
    }),
    cp.CameraCalibration: (lambda: cp.calibrate_camera(GOOD, (1280, 960)), {"__repr__": ()}),
    cp.SoundRegion: (lambda: cp.find_sound_region(np.zeros(8)), {"Edge": (), "__repr__": ()}),
    cp.PinholeView: (lambda: cp.PinholeView(*LENS[:3]), {"__repr__": ()}),
    cp.UndistortionMap: (
        lambda: cp.undistortion_map(cp.Lens(*LENS), cp.PinholeView(*LENS[:3])),
        {"__len__": (), "__iter__": (), "__repr__": ()},
    ),
    cp.PTZCameraModel: (ptz_model, {
        "steps_to_zoom_x_factor": (100,), "zoom_x_factor_to_steps": (2.0,), "__repr__": (),
        "load_file": (PTZ_EXAMPLE,),
    }),
    cp.PanTiltModel: (lambda: ptz_model().pan_tilt_model, {
        "full_transform": (3600, 1200), "compute_pan_tilt": ((3.0, 0.2, 1.0), (0.0, 0.0)),
        "joint_positions": (3600, 1200), "motor_steps": (0.1, 0.2),
    }),
    cp.PTZCameraModelConfiguration: (ptz_configuration, {
        "project": (POINTS,), "rectify_pixels": (PIXELS,), "pixel_rays": (PIXELS,),
        "get_pan_tilt": ((1400, 300),), "get_pan_tilt_for_point": ((3, 0.2, 1), (960, 540)),
        "get_pan_tilt_zoom": ((700, 300), (1300, 800)), "lens": (), "__repr__": (),
    }),
}

NOT_MEMBERS = {"__init__", "__doc__", "__module__"}


def members(cls):
    return {name for name in vars(cls) if name not in NOT_MEMBERS and not name.startswith("_pybind11")}


def properties(cls):
    return {name for name in members(cls) if isinstance(vars(cls)[name], property)}


def test_every_class_and_member_has_a_row():
    classes = {value for value in vars(cp).values() if isinstance(value, type)}
    assert classes == set(CLASSES)
    for cls, (_, calls) in CLASSES.items():
        assert set(calls) | properties(cls) == members(cls), cls.__name__


# Called on the class, not on an object: a static method and a nested enumeration.
NOT_OF_AN_OBJECT = {(cp.Lens, "from_intrinsics"), (cp.SoundRegion, "Edge")}
ROWS = [(cls, name) for cls, (_, calls) in CLASSES.items() for name in sorted(calls)
        if (cls, name) not in NOT_OF_AN_OBJECT]


@pytest.mark.parametrize("cls, name", ROWS, ids=[f"{c.__name__}.{n}" for c, n in ROWS])
def test_a_method_of_an_object_never_initialized_raises_type_error(cls, name):
    make, calls = CLASSES[cls]
    getattr(make(), name)(*calls[name])  # the arguments are good
    blank = cls.__new__(cls)
    with pytest.raises(TypeError, match="never initialized"):
        getattr(blank, name)(*calls[name])


PROPERTIES = [(cls, name) for cls in CLASSES for name in sorted(properties(cls))]


@pytest.mark.parametrize("cls, name", PROPERTIES, ids=[f"{c.__name__}.{n}" for c, n in PROPERTIES])
def test_a_property_of_an_object_never_initialized_raises_type_error(cls, name):
    value = getattr(CLASSES[cls][0](), name)
    blank = cls.__new__(cls)
    with pytest.raises(TypeError, match="never initialized"):
        getattr(blank, name)
    if vars(cls)[name].fset is not None:
        with pytest.raises(TypeError, match="never initialized"):
            setattr(blank, name, value)


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
