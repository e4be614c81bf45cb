"""Camera sets, records and the base calibration: the C++ library's floats."""

import io
import json
import pathlib

import numpy as np
import pytest

import camera_parameters as cp
from conftest import SOURCE_DIR, as_float32

CAMCAL_DATA = SOURCE_DIR / "tests" / "camcal" / "data"
ROBOT_CALIBRATION = CAMCAL_DATA / "robot_calibration.txt"
BASE_CALIBRATION = CAMCAL_DATA / "base_calibration.txt"

def k_matrix(fx, fy, cx, cy):
    return as_float32([[fx, 0, cx], [0, fy, cy], [0, 0, 1]])


@pytest.fixture
def default_set():
    return cp.CameraParametersSet()


def test_a_new_set_holds_the_default_cameras(default_set):
    assert default_set.camera_names() == ["front", "head", "navigation"]
    assert default_set.has_camera("head") and "head" in default_set
    assert not default_set.has_camera("Head")
    assert default_set.camera("Navigation") is None
    assert default_set.camera("navigation").model == "kv007n"
    assert default_set.camera("navigation").name == "navigation"


@pytest.mark.parametrize("name", ["front", "head", "navigation"])
@pytest.mark.parametrize(
    "size", [(640, 480), (1280, 960), (1280, 720), (800, 600), (2592, 1944), (1000, 750)]
)
def test_intrinsics_agree_with_camcal_json(camcal, default_set, name, size):
    answer = json.loads(camcal.run("intrinsics", name, f"{size[0]}x{size[1]}", "--format", "json"))
    camera = default_set.camera(name)
    np.testing.assert_array_equal(camera.intrinsics(*size), as_float32(answer["camera_matrix"]))
    np.testing.assert_array_equal(
        camera.distortion(*size), as_float32(answer["distortion_coefficients"])
    )
    assert camera.has_intrinsics(*size) == answer["from_table"]


def test_full_frame_and_pose_of_the_head_camera(default_set):
    head = default_set.camera("head")
    np.testing.assert_array_equal(head.full_frame_intrinsics(), k_matrix(758.4, 757.9, 643.1, 478.6))
    assert head.full_frame_size == (1280, 960)
    np.testing.assert_array_equal(
        head.full_frame_distortion(), as_float32([0.35, 0.02, 0.0006, -0.0004, 0, 0.62, 0.06, 0])
    )
    rotation = as_float32([[0, -1, 0], [-0.087155744, 0, -0.9961947], [0.9961947, 0, -0.087155744]])
    translation = as_float32([0, 1.4198258, 0.063989475])
    np.testing.assert_array_equal(head.rotation, rotation)
    np.testing.assert_array_equal(head.translation, translation)
    transform = np.eye(4)
    transform[:3, :3], transform[:3, 3] = rotation, translation
    np.testing.assert_array_equal(head.transform, transform)


@pytest.mark.parametrize(
    "source",
    [
        lambda: str(ROBOT_CALIBRATION),
        lambda: ROBOT_CALIBRATION,
        lambda: bytes(ROBOT_CALIBRATION),
        lambda: open(ROBOT_CALIBRATION, "rb"),
        lambda: open(ROBOT_CALIBRATION, "r"),
        lambda: io.BytesIO(ROBOT_CALIBRATION.read_bytes()),
    ],
    ids=["str", "pathlib", "bytes", "binary file", "text file", "BytesIO"],
)
def test_load_file_takes_paths_and_open_files(default_set, source):
    assert default_set.load_file(source())
    # camcal intrinsics --calibration tests/camcal/data/robot_calibration.txt front 1280x960
    np.testing.assert_array_equal(
        default_set.camera("front").intrinsics(1280, 960),
        k_matrix(1420.1005, 1420.9951, 643.5556, 478.67944),
    )


@pytest.mark.parametrize(
    "data",
    [
        lambda: ROBOT_CALIBRATION.read_text(),
        lambda: ROBOT_CALIBRATION.read_bytes(),
        lambda: bytearray(ROBOT_CALIBRATION.read_bytes()),
        lambda: memoryview(ROBOT_CALIBRATION.read_bytes()),
    ],
    ids=["str", "bytes", "bytearray", "memoryview"],
)
def test_load_string_takes_text_in_any_buffer(default_set, data):
    assert default_set.load_string(data())
    assert default_set.camera("front").distortion(1280, 960)[0] == np.float32(0.058)


def test_load_string_takes_wire_format(camcal, tmp_path):
    wire = tmp_path / "robot.bin"
    camcal.run("convert", ROBOT_CALIBRATION, "--to", "wire", "-o", wire)
    from_wire, from_text = cp.CameraParametersSet(), cp.CameraParametersSet()
    assert from_wire.load_string(wire.read_bytes()) and from_text.load_file(ROBOT_CALIBRATION)
    for name in from_text.camera_names():
        np.testing.assert_array_equal(
            from_wire.camera(name).intrinsics(640, 480), from_text.camera(name).intrinsics(640, 480)
        )


def test_records_stay_valid_after_their_set_is_gone():
    camera = cp.CameraParametersSet().camera("navigation")
    np.testing.assert_array_equal(camera.intrinsics(640, 480), k_matrix(309.125, 308.95, 320.85, 239.15))


def test_base_calibration_values_and_adjustment():
    base = cp.BaseCalibrationData()
    assert base.load_string(BASE_CALIBRATION.read_text())
    assert (base.base_length, base.base_width, base.wheel_base, base.gyroscope_gain) == tuple(
        as_float32([0.62, 0.48, 0.412, 1.0213])
    )
    np.testing.assert_array_equal(
        base.world_rotation,
        as_float32([[0.99939084, -0.034899496, 0], [0.034899496, 0.99939084, 0], [0, 0, 1]]),
    )
    np.testing.assert_array_equal(base.world_translation, as_float32([0.01, -0.02, 0.005]))

    robot = cp.CameraParametersSet()
    assert robot.load_file(ROBOT_CALIBRATION)
    robot.adjust_using_base_calibration(base)
    # camcal adjust robot_calibration.txt base_calibration.txt; camcal cameras
    navigation = robot.camera("navigation")
    np.testing.assert_array_equal(
        navigation.rotation,
        as_float32(
            [
                [-0.034899496, -0.99939084, 0],
                [-0.1735424, 0.006060234, -0.9848077],
                [0.9842078, -0.034369294, -0.17364818],
            ]
        ),
    )
    np.testing.assert_array_equal(
        navigation.translation, as_float32([0.022499999, 0.9245395, -0.08242016])
    )


def test_base_calibration_default_is_in_force_after_a_failed_load():
    base = cp.BaseCalibrationData()
    default = (base.base_length, base.world_rotation.tolist(), base.world_translation.tolist())
    assert base.load_string(BASE_CALIBRATION.read_bytes())
    assert not base.load_string(b"\x08\x96\x01 not a base calibration")
    assert (base.base_length, base.world_rotation.tolist(), base.world_translation.tolist()) == default
