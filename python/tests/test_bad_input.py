"""Bad input raises a Python error or gets a False/None answer, never a crash."""

import logging

import numpy as np
import pytest

import camera_parameters as cp
from conftest import BASE_CALIBRATION, ptz_text_with_sample

NAN, INF = float("nan"), float("inf")
DEFAULT_CAMERAS = ["front", "head", "navigation"]


@pytest.mark.parametrize(
    "call, args, error, message",
    [
        ("project", (None,), TypeError, r"points must be an array of shape \(N, 3\) or \(3,\), not None"),
        ("project", (np.zeros((4, 2)),), ValueError, r"points must have shape \(N, 3\) or \(3,\), not \(4, 2\)"),
        ("project", (np.zeros((2, 3, 3)),), ValueError, r"\(N, 3\) or \(3,\), not \(2, 3, 3\)"),
        ("project", (3.0,), ValueError, r"not \(\)"),
        ("project", ("abc",), TypeError, r"real numbers .* not <U3"),
        ("project", (np.zeros((2, 3), dtype=complex),), TypeError, r"not complex128"),
        ("project", (np.zeros((2, 3), dtype=bool),), TypeError, r"not bool"),
        ("project", ([[1, 2, 3], [4, 5]],), ValueError, r"inhomogeneous|sequence"),
        ("project", (np.array([[1, "a", 3]], dtype=object),), TypeError, r"not object"),
        ("pixel_rays", (np.zeros(3),), ValueError, r"pixels must have shape \(N, 2\) or \(2,\), not \(3,\)"),
        ("pixel_rays", (np.zeros((5, 2, 1)),), ValueError, r"\(N, 2\) or \(2,\)"),
        ("pixel_rays", ({"a": 1},), TypeError, r"real numbers"),
        ("get_pan_tilt", ([1, 2, 3],), ValueError, r"pixel must have shape \(2,\), not \(3,\)"),
        ("get_pan_tilt", (np.zeros((1, 2)),), ValueError, r"pixel must have shape \(2,\), not \(1, 2\)"),
        ("get_pan_tilt", (None,), TypeError, r"pixel must be an array of shape \(2,\), not None"),
        # Two-argument calls name the argument that is wrong.
        ("get_pan_tilt_for_point", ([1, 2], [3, 4]), ValueError, r"world must have shape \(3,\)"),
        ("get_pan_tilt_zoom", ([1, 2], [3, 4, 5]), ValueError, r"corner2 must have shape \(2,\)"),
        ("compute_pan_tilt", ([1, 2, 3], [0, 0, 1]), ValueError, r"ray must have shape \(2,\)"),
    ],
)
def test_wrong_arrays_raise_naming_the_expected_shape(config, ptz_model, call, args, error, message):
    target = ptz_model.pan_tilt_model if call == "compute_pan_tilt" else config
    with pytest.raises(error, match=message):
        getattr(target, call)(*args)


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


def test_arguments_of_the_wrong_type_raise_type_error(ptz_model):
    navigation = cp.CameraParametersSet().camera("navigation")
    for construct in (
        lambda: cp.PTZCameraModel(None), lambda: cp.PTZCameraModel(12), lambda: cp.CameraParameters(),
        lambda: cp.PTZCameraModelConfiguration(None, 0, 0, 0),
        lambda: cp.PTZCameraModelConfiguration(ptz_model, 0.5, 0, 0),
        lambda: cp.PTZCameraModelConfiguration(ptz_model, 2**40, 0, 0),
        lambda: navigation.intrinsics(2**31, 10), lambda: navigation.intrinsics("640", 480),
    ):
        with pytest.raises(TypeError):
            construct()


def closed_file():
    with open(__file__) as f:
        return f


@pytest.mark.parametrize(
    "load, argument, error, message",
    [("load_file", None, TypeError, ""), ("load_file", 12, TypeError, ""),
     ("load_string", None, TypeError, ""), ("load_file", "a\0b", ValueError, ""),
     ("load_file", b"a\0b", ValueError, ""), ("load_file", closed_file(), ValueError, "closed file")],
)
def test_what_is_neither_a_path_nor_data_raises_and_keeps_the_set(load, argument, error, message):
    camera_set = cp.CameraParametersSet()
    with pytest.raises(error, match=message):
        getattr(camera_set, load)(argument)
    assert camera_set.camera_names() == DEFAULT_CAMERAS


@pytest.mark.parametrize(
    "load, data, level",
    [("load_file", "/no/such/calibration.txt", logging.ERROR), ("load_file", "/", logging.ERROR)]
    + [("load_string", data, logging.WARNING) for data in
       (b"\x00\x01\x02\xff", b"camera { name: ", "c\u00e9\u4e2d not a calibration", bytes(range(256)))]
    # An empty wire message is a calibration without cameras.
    + [("load_string", b"", None)],
)
def test_what_is_not_a_calibration_returns_false_with_a_record_and_keeps_the_default(
    caplog, load, data, level
):
    camera_set = cp.CameraParametersSet()
    with caplog.at_level(logging.WARNING, logger="camera_parameters"):
        assert getattr(camera_set, load)(data) == (level is None)
    records = [r for r in caplog.records if r.tag == "camera_parameters"]
    assert level is None or any(r.levelno == level for r in records)
    assert camera_set.camera_names() == DEFAULT_CAMERAS


@pytest.mark.parametrize(
    "data", [b"\x00\x01\x02\xff", "wheel_base: [", b"\x0a\x05hello", b"\x08\x96\x01 not a base calibration"]
)
def test_base_data_that_is_not_a_calibration_returns_false_with_a_warning_and_the_default(caplog, data):
    base = cp.BaseCalibrationData()
    state = lambda: (base.base_length, base.world_rotation.tolist(), base.world_translation.tolist())
    default = state()
    assert base.load_string(BASE_CALIBRATION.read_bytes()) and state() != default
    with caplog.at_level(logging.WARNING, logger="camera_parameters"):
        assert not base.load_string(data)
    assert any(r.levelno >= logging.WARNING for r in caplog.records) and state() == default


def test_odd_image_sizes_give_an_answer():
    camera = cp.CameraParametersSet().camera("navigation")
    for width, height in [(0, 0), (-640, 480), (1, 2**31 - 1)]:
        assert camera.intrinsics(width, height).shape == (3, 3)
        assert camera.distortion(width, height).shape == (8,)


def test_a_strong_barrel_lens_beyond_its_fold_stays_finite(ptz_text):
    # k1 = -0.6: the radial mapping turns back at r = 0.75, well inside the image.
    model = cp.PTZCameraModel(ptz_text_with_sample(ptz_text, 800, -0.6, 0.0))
    c = cp.PTZCameraModelConfiguration(model, 3600, 1200, 0)
    assert np.isfinite(c.rectify_pixels([[0, 0], [1919, 1079], [961.8, 538.7]])).all()
