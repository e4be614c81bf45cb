"""Bad input raises a Python error or gets a False/None answer, never a crash."""

import logging

import numpy as np
import pytest

import camera_parameters as cp
from conftest import BASE_CALIBRATION, ROBOT_CALIBRATION, configuration_with_lens

NAN, INF = float("nan"), float("inf")
NAVIGATION = cp.CameraParametersSet().camera("navigation")
LENS = cp.Lens(640, 480, np.eye(3), np.zeros(8))
MAPS = np.zeros((4, 4), np.float32), np.zeros((4, 4), np.float32), np.ones((4, 4), np.uint8)


# Each call gets the configuration c and the model m.
@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda c, m: c.project(None), TypeError, r"points must be an array of shape \(N, 3\) or \(3,\), not None"),
        (lambda c, m: c.project(np.zeros((4, 2))), ValueError, r"points must have shape \(N, 3\) or \(3,\), not \(4, 2\)"),
        (lambda c, m: c.project(np.zeros((2, 3, 3))), ValueError, r"\(N, 3\) or \(3,\), not \(2, 3, 3\)"),
        (lambda c, m: c.project(3.0), ValueError, r"not \(\)"),
        (lambda c, m: c.project("abc"), TypeError, r"real numbers .* not <U3"),
        (lambda c, m: c.project(np.zeros((2, 3), dtype=complex)), TypeError, r"not complex128"),
        (lambda c, m: c.project(np.zeros((2, 3), dtype=bool)), TypeError, r"not bool"),
        (lambda c, m: c.project([[1, 2, 3], [4, 5]]), ValueError, r"inhomogeneous|sequence"),
        (lambda c, m: c.project(np.array([[1, "a", 3]], dtype=object)), TypeError, r"not object"),
        (lambda c, m: c.pixel_rays(np.zeros(3)), ValueError, r"pixels must have shape \(N, 2\) or \(2,\), not \(3,\)"),
        (lambda c, m: c.pixel_rays(np.zeros((5, 2, 1))), ValueError, r"\(N, 2\) or \(2,\)"),
        (lambda c, m: c.pixel_rays({"a": 1}), TypeError, r"real numbers"),
        (lambda c, m: c.get_pan_tilt([1, 2, 3]), ValueError, r"pixel must have shape \(2,\), not \(3,\)"),
        (lambda c, m: c.get_pan_tilt(np.zeros((1, 2))), ValueError, r"pixel must have shape \(2,\), not \(1, 2\)"),
        (lambda c, m: c.get_pan_tilt(None), TypeError, r"pixel must be an array of shape \(2,\), not None"),
        # Two-argument calls name the argument that is wrong.
        (lambda c, m: c.get_pan_tilt_for_point([1, 2], [3, 4]), ValueError, r"world must have shape \(3,\)"),
        (lambda c, m: c.get_pan_tilt_zoom([1, 2], [3, 4, 5]), ValueError, r"corner2 must have shape \(2,\)"),
        (lambda c, m: m.pan_tilt_model.compute_pan_tilt([1, 2, 3], [0, 0, 1]), ValueError, r"ray must have shape \(2,\)"),
        # Arguments of the wrong type.
        (lambda c, m: cp.PTZCameraModel(None), TypeError, ""),
        (lambda c, m: cp.PTZCameraModel(12), TypeError, ""),
        (lambda c, m: cp.CameraParameters(), TypeError, ""),
        (lambda c, m: cp.PTZCameraModelConfiguration(None, 0, 0, 0), TypeError, ""),
        (lambda c, m: cp.PTZCameraModelConfiguration(m, 0.5, 0, 0), TypeError, ""),
        (lambda c, m: cp.PTZCameraModelConfiguration(m, 2**40, 0, 0), TypeError, ""),
        (lambda c, m: NAVIGATION.intrinsics(2**31, 10), TypeError, ""),
        (lambda c, m: NAVIGATION.intrinsics("640", 480), TypeError, ""),
        (lambda c, m: cp.CameraParametersSet().load_string(None), TypeError, ""),
        # Lenses, views and images of the wrong shape or type.
        (lambda c, m: setattr(LENS, "K", np.arange(9)), ValueError, r"K must have shape \(3, 3\), not \(9,\)"),
        (lambda c, m: cp.Lens(640, 480, np.eye(3), np.zeros(5)), ValueError,
         r"distortion must have shape \(8,\), not \(5,\)"),
        (lambda c, m: cp.PinholeView(640, 480, None), TypeError, ""),
        (lambda c, m: cp.remap_image(np.zeros((10, 10), dtype=np.float32), *MAPS), TypeError, ""),
        (lambda c, m: cp.remap_image(np.zeros((10, 10, 2), dtype=np.uint8), *MAPS), ValueError, ""),
        (lambda c, m: cp.remap_image(np.zeros(10, dtype=np.uint8), *MAPS), ValueError, ""),
        (lambda c, m: cp.remap_image(None, *MAPS), TypeError, ""),
        (lambda c, m: cp.remap_image(np.zeros((8, 8), np.uint8), np.zeros((4, 4)), np.zeros((4, 5)),
                                     np.ones((4, 4))), ValueError, "one shape"),
        # What is not a path.
        (lambda c, m: cp.CameraParametersSet().load_file(None), TypeError, ""),
        (lambda c, m: cp.CameraParametersSet().load_file(12), TypeError, ""),
        (lambda c, m: cp.CameraParametersSet().load_file("a\0b"), ValueError, ""),
        (lambda c, m: cp.CameraParametersSet().load_file(b"a\0b"), ValueError, ""),
    ],
)
def test_bad_arguments_raise_naming_what_is_wrong(config, ptz_model, call, error, message):
    with pytest.raises(error, match=message):
        call(config, ptz_model)


def test_non_finite_values_propagate_row_by_row(config):
    pixels = config.project(np.array([[3, 0.2, 1], [NAN, 0, 1], [INF, 0, 1], [2.5, -0.4, 1.3]]))
    assert np.isfinite(pixels[[0, 3]]).all() and not np.isfinite(pixels[1:3]).any(axis=1).any()
    for call in (config.rectify_pixels, config.pixel_rays):
        out = call(np.array([[800, 500], [NAN, 500], [800, -INF], [10, 10]]))
        assert np.isfinite(out[[0, 3]]).all() and not np.isfinite(out[1:3]).all(axis=1).any()


@pytest.mark.parametrize(
    "call, args",
    [("get_pan_tilt", ([NAN, NAN],)), ("get_pan_tilt", ([INF, 0],)),
     ("get_pan_tilt_for_point", ([NAN, 0, 1], [960, 540])),
     ("get_pan_tilt_for_point", ([1e30, 0, 0], [960, 540])),
     ("get_pan_tilt_zoom", ([NAN, 0], [10, 10])), ("get_pan_tilt_zoom", ([5, 5], [5, 5]))],
)
def test_aiming_at_nonsense_answers_none_or_a_value(config, call, args):
    answer = getattr(config, call)(*args)
    assert answer is None or all(isinstance(v, (int, float)) for v in answer)


def test_an_invalid_model_refuses_configurations(caplog):
    caplog.set_level(logging.DEBUG, logger="camera_parameters")
    for data in (b"\xff\xfe not a calibration", "", "intrinsics { cal_width: 640 }"):
        model = cp.PTZCameraModel(data)
        assert not model.valid
        with pytest.raises(ValueError, match="not valid"):
            cp.PTZCameraModelConfiguration(model, 0, 0, 0)
        assert model.steps_to_zoom_x_factor(100) == 1.0 and model.zoom_x_factor_to_steps(2.0) == 0
    assert any(r.getMessage() == "Invalid intrinsics" and r.levelno == logging.ERROR for r in caplog.records)


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
    + [("set", "load_string", data, logging.WARNING) for data in
       (b"\x00\x01\x02\xff", b"camera { name: ", "c\u00e9\u4e2d not a calibration", bytes(range(256)))]
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


def test_odd_image_sizes_give_an_answer():
    camera = cp.CameraParametersSet().camera("navigation")
    for width, height in [(0, 0), (-640, 480), (1, 2**31 - 1)]:
        assert camera.intrinsics(width, height).shape == (3, 3)
        assert camera.distortion(width, height).shape == (8,)


def test_a_strong_barrel_lens_beyond_its_fold_stays_finite():
    # k1 = -0.6: the radial mapping turns back at r = 0.75, well inside the image.
    c = configuration_with_lens(800, -0.6, 0.0)
    assert np.isfinite(c.rectify_pixels([[0, 0], [1919, 1079], [961.8, 538.7]])).all()
