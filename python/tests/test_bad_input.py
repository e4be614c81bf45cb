"""Bad input raises a Python error or gets a False/None answer, never a crash. An object made by
cls.__new__(cls), whose __init__ never ran, raises TypeError from every method and property, and as
an argument of any call, instead of handing C++ raw memory."""

import logging

import numpy as np
import pytest

import camera_parameters as cp
from conftest import BASE_CALIBRATION, EXAMPLE_SETTING, PTZ_EXAMPLE, ROBOT_CALIBRATION

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


NAVIGATION = cp.CameraParametersSet().camera("navigation")
NAV_LENS = NAVIGATION.lens(640, 480)
K, D = np.diag([500.0, 500.0, 1.0]), np.zeros(8)
PTZ = cp.PTZCameraModelConfiguration(cp.PTZCameraModel(PTZ_EXAMPLE.read_text()), *EXAMPLE_SETTING)
HEAD = cp.PTZCameraModel(PTZ_EXAMPLE.read_text()).pan_tilt_model
POINTS, PIXELS = np.array([[0.1, -0.2, 1.0]]), np.array([[300.0, 200.0]])
BOARD = np.array([(0.03 * i, 0.03 * j, 0.0) for j in range(6) for i in range(9)])
VIEWS = [(NAV_LENS.project(BOARD + [-0.1, -0.07, 0.4 + 0.1 * v]), BOARD) for v in range(3)]


def set_attribute(obj, name, value):
    setattr(obj, name, value)


# Every call that takes an image size, with a width or a height that is not positive.
SIZES = {
    "intrinsics": lambda w, h: NAVIGATION.intrinsics(w, h),
    "distortion": lambda w, h: NAVIGATION.distortion(w, h),
    "has_intrinsics": lambda w, h: NAVIGATION.has_intrinsics(w, h),
    "lens": lambda w, h: NAVIGATION.lens(w, h),
    "project": lambda w, h: NAVIGATION.project(POINTS, w, h),
    "normalize_pixels": lambda w, h: NAVIGATION.normalize_pixels(PIXELS, w, h),
    "pixel_rays": lambda w, h: NAVIGATION.pixel_rays(PIXELS, w, h),
    "Lens": lambda w, h: cp.Lens(w, h, K, D),
    "Lens.from_intrinsics": lambda w, h: cp.Lens.from_intrinsics(K, D, w, h),
    "Lens.width, height": lambda w, h: (set_attribute(cp.Lens(640, 480, K, D), "width", w),
                                        set_attribute(cp.Lens(640, 480, K, D), "height", h)),
    "PinholeView": lambda w, h: cp.PinholeView(w, h, K),
    "PinholeView.width, height": lambda w, h: (set_attribute(cp.PinholeView(640, 480, K), "width", w),
                                               set_attribute(cp.PinholeView(640, 480, K), "height", h)),
    "choose_pinhole_view": lambda w, h: cp.choose_pinhole_view(NAV_LENS, 0.0, w, h),
    "calibrate_camera": lambda w, h: cp.calibrate_camera(VIEWS, (w, h)),
}


@pytest.mark.parametrize("size", [(0, 480), (640, 0), (-640, 480), (640, -1)], ids=str)
@pytest.mark.parametrize("call", SIZES.values(), ids=SIZES.keys())
def test_an_image_size_that_is_not_positive_raises_value_error(call, size):
    with pytest.raises(ValueError, match=f"width and height must be positive, not {size[0]} x {size[1]}"):
        call(*size)
    call(640, 480)


# Arrays of a wrong shape raise ValueError naming the shape expected, as numpy's own calls do.
SHAPES = [
    (lambda a: NAV_LENS.project(a), (4, 2), r"\(N, 3\) or \(3,\), not \(4, 2\)"),
    (lambda a: NAV_LENS.project(a), (), r"\(N, 3\) or \(3,\), not \(\)"),
    (lambda a: NAV_LENS.normalize_pixels(a), (5, 3), r"\(N, 2\) or \(2,\), not \(5, 3\)"),
    (lambda a: NAV_LENS.pixel_rays(a), (3,), r"\(N, 2\) or \(2,\), not \(3,\)"),
    (lambda a: NAVIGATION.project(a, 640, 480), (1, 2), r"\(N, 3\) or \(3,\), not \(1, 2\)"),
    (lambda a: NAVIGATION.normalize_pixels(a, 640, 480), (2, 2, 2), r"\(N, 2\) or \(2,\)"),
    (lambda a: PTZ.project(a), (3, 4), r"\(N, 3\) or \(3,\), not \(3, 4\)"),
    (lambda a: PTZ.rectify_pixels(a), (2, 1), r"\(N, 2\) or \(2,\), not \(2, 1\)"),
    (lambda a: PTZ.pixel_rays(a), (1,), r"\(N, 2\) or \(2,\), not \(1,\)"),
    (lambda a: PTZ.get_pan_tilt(a), (3,), r"\(2,\), not \(3,\)"),
    (lambda a: PTZ.get_pan_tilt_for_point(a, [960, 540]), (2,), r"\(3,\), not \(2,\)"),
    (lambda a: PTZ.get_pan_tilt_zoom([700, 300], a), (4,), r"\(2,\), not \(4,\)"),
    (lambda a: HEAD.compute_pan_tilt([3.0, 0.2, 1.0], a), (3,), r"\(2,\), not \(3,\)"),
    (lambda a: cp.Lens(640, 480, a, D), (2, 2), r"\(3, 3\), not \(2, 2\)"),
    (lambda a: cp.Lens.from_intrinsics(a, D, 640, 480), (9,), r"\(3, 3\), not \(9,\)"),
    (lambda a: set_attribute(cp.Lens(640, 480, K, D), "K", a), (3, 4), r"\(3, 3\), not \(3, 4\)"),
    (lambda a: cp.PinholeView(640, 480, a), (4, 4), r"\(3, 3\), not \(4, 4\)"),
]


@pytest.mark.parametrize("call, shape, message", SHAPES, ids=[f"{i}-{s[1]}" for i, s in enumerate(SHAPES)])
def test_an_array_of_a_wrong_shape_raises_value_error_naming_the_shape_expected(call, shape, message):
    with pytest.raises(ValueError, match=f"expected an array of shape {message}"):
        call(np.ones(shape))


# What is not an array of real numbers raises TypeError, whatever its shape.
NOT_REAL = {
    "complex": np.ones((1, 3), complex),
    "object": np.array([[0.1, -0.2, 1.0]], object),
    "strings": np.array([["a", "b", "c"]]),
    "None": None,
}
REAL_CALLS = {
    "Lens.project": lambda a: NAV_LENS.project(a),
    "Lens.normalize_pixels": lambda a: NAV_LENS.normalize_pixels(a[:, :2]),
    "PTZ get_pan_tilt": lambda a: PTZ.get_pan_tilt(a[0, :2]),
    "Lens K": lambda a: cp.Lens(640, 480, np.vstack([a] * 3), D),
    "calibrate_camera": lambda a: cp.calibrate_camera([(v[0], np.vstack([a] * len(v[1]))) for v in VIEWS],
                                                      (640, 480)),
}


@pytest.mark.parametrize("kind", NOT_REAL.keys())
@pytest.mark.parametrize("call", REAL_CALLS.values(), ids=REAL_CALLS.keys())
def test_an_array_that_does_not_hold_real_numbers_raises_type_error(call, kind):
    array = NOT_REAL[kind]
    with pytest.raises(TypeError, match="real numbers"):
        call(array if array is not None else np.array([[None] * 3]))


def test_a_point_behind_the_camera_is_seen_at_no_pixel():
    points = np.array([[0.1, -0.2, 1.0], [0.1, -0.2, -1.0], [0.0, 0.0, -1e-9]])
    pixels = NAV_LENS.project(points)
    assert np.isfinite(pixels[0]).all() and np.isnan(pixels[1:]).all()
    assert np.isnan(NAV_LENS.project(points[1])).all()
    assert np.isnan(NAVIGATION.project(points, 640, 480)[1:]).all()
