"""Camera sets, records and the base calibration: the C++ library's floats."""

import io
import json

import numpy as np
import pytest
from numpy.testing import assert_array_equal

import camera_parameters as cp
from conftest import BASE_CALIBRATION, ROBOT_CALIBRATION, as_float32


def k_matrix(fx, fy, cx, cy):
    return as_float32([[fx, 0, cx], [0, fy, cy], [0, 0, 1]])


def test_a_new_set_holds_the_default_cameras_whose_records_outlive_it():
    default_set = cp.CameraParametersSet()
    assert default_set.camera_names() == ["front", "head", "navigation"]
    assert default_set.has_camera("head") and "head" in default_set
    assert not default_set.has_camera("Head") and default_set.camera("Navigation") is None
    navigation = default_set.camera("navigation")
    del default_set
    assert (navigation.model, navigation.name) == ("kv007n", "navigation")
    assert_array_equal(navigation.intrinsics(640, 480), k_matrix(309.125, 308.95, 320.85, 239.15))


@pytest.mark.parametrize("name", ["front", "head", "navigation"])
@pytest.mark.parametrize(
    "size", [(640, 480), (1280, 960), (1280, 720), (800, 600), (2592, 1944), (1000, 750)]
)
def test_intrinsics_agree_with_camcal_json(camcal, name, size):
    answer = json.loads(camcal.run("intrinsics", name, "%dx%d" % size, "--format", "json"))
    camera = cp.CameraParametersSet().camera(name)
    assert_array_equal(camera.intrinsics(*size), as_float32(answer["camera_matrix"]))
    assert_array_equal(camera.distortion(*size), as_float32(answer["distortion_coefficients"]))
    assert camera.has_intrinsics(*size) == answer["from_table"]


def test_full_frame_and_pose_of_the_head_camera():
    head = cp.CameraParametersSet().camera("head")
    assert_array_equal(head.full_frame_intrinsics(), k_matrix(758.4, 757.9, 643.1, 478.6))
    assert head.full_frame_size == (1280, 960)
    distortion = as_float32([0.35, 0.02, 0.0006, -0.0004, 0, 0.62, 0.06, 0])
    assert_array_equal(head.full_frame_distortion(), distortion)
    rotation = as_float32([[0, -1, 0], [-0.087155744, 0, -0.9961947], [0.9961947, 0, -0.087155744]])
    translation = as_float32([0, 1.4198258, 0.063989475])
    assert_array_equal(head.rotation, rotation)
    assert_array_equal(head.translation, translation)
    assert_array_equal(head.transform, np.block([[rotation, translation[:, None]], [0, 0, 0, 1]]))


SOURCES = {
    "path str": ("load_file", str),
    "pathlib": ("load_file", lambda path: path),
    "path bytes": ("load_file", bytes),
    "binary file": ("load_file", lambda path: open(path, "rb")),
    "text file": ("load_file", lambda path: open(path, "r")),
    "BytesIO": ("load_file", lambda path: io.BytesIO(path.read_bytes())),
    "str": ("load_string", lambda path: path.read_text()),
    "bytes": ("load_string", lambda path: path.read_bytes()),
    "bytearray": ("load_string", lambda path: bytearray(path.read_bytes())),
    "memoryview": ("load_string", lambda path: memoryview(path.read_bytes())),
}


@pytest.mark.parametrize("load, source", SOURCES.values(), ids=SOURCES.keys())
def test_load_takes_paths_open_files_and_text_in_any_buffer(load, source):
    camera_set = cp.CameraParametersSet()
    assert getattr(camera_set, load)(source(ROBOT_CALIBRATION))
    # camcal intrinsics --calibration tests/camcal/data/robot_calibration.txt front 1280x960
    front = camera_set.camera("front")
    expected = k_matrix(1420.1005, 1420.9951, 643.5556, 478.67944)
    assert_array_equal(front.intrinsics(1280, 960), expected)
    assert front.distortion(1280, 960)[0] == np.float32(0.058)


def test_load_string_takes_wire_format(camcal, tmp_path):
    wire = tmp_path / "robot.bin"
    camcal.run("convert", ROBOT_CALIBRATION, "--to", "wire", "-o", wire)
    from_wire, from_text = cp.CameraParametersSet(), cp.CameraParametersSet()
    assert from_wire.load_string(wire.read_bytes()) and from_text.load_file(ROBOT_CALIBRATION)
    for name in from_text.camera_names():
        expected = from_text.camera(name).intrinsics(640, 480)
        assert_array_equal(from_wire.camera(name).intrinsics(640, 480), expected)


def test_base_calibration_values_and_adjustment():
    base = cp.BaseCalibrationData()
    assert base.load_string(BASE_CALIBRATION.read_text())
    sizes = (base.base_length, base.base_width, base.wheel_base, base.gyroscope_gain)
    assert sizes == tuple(as_float32([0.62, 0.48, 0.412, 1.0213]))
    rotation = [[0.99939084, -0.034899496, 0], [0.034899496, 0.99939084, 0], [0, 0, 1]]
    assert_array_equal(base.world_rotation, as_float32(rotation))
    assert_array_equal(base.world_translation, as_float32([0.01, -0.02, 0.005]))
    robot = cp.CameraParametersSet()
    assert robot.load_file(ROBOT_CALIBRATION)
    robot.adjust_using_base_calibration(base)
    # camcal adjust robot_calibration.txt base_calibration.txt; camcal cameras
    navigation = robot.camera("navigation")
    rotation = [[-0.034899496, -0.99939084, 0], [-0.1735424, 0.006060234, -0.9848077],
                [0.9842078, -0.034369294, -0.17364818]]
    assert_array_equal(navigation.rotation, as_float32(rotation))
    assert_array_equal(navigation.translation, as_float32([0.022499999, 0.9245395, -0.08242016]))
