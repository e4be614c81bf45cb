"""Camera sets, records, the base calibration and the PTZ model: loads from every source."""

import logging

import numpy as np
import pytest
from numpy.testing import assert_array_equal

import camera_parameters as cp
from conftest import BASE_CALIBRATION, PTZ_EXAMPLE, ROBOT_CALIBRATION


def test_a_new_set_holds_the_default_cameras_whose_records_outlive_it():
    default_set = cp.CameraParametersSet()
    assert default_set.camera_names() == ["front", "head", "navigation"]
    assert "head" in default_set and default_set.camera("Navigation") is None
    navigation = default_set.camera("navigation")
    del default_set
    assert (navigation.model, navigation.name, navigation.full_frame_size) == ("kv007n", "navigation", (1280, 960))
    K = navigation.intrinsics(640, 480)
    assert K.dtype == np.float64 and K[0, 0] == np.float32(309.125) and K[1, 2] == np.float32(239.15)
    pose = navigation.transform
    assert_array_equal(pose[:3], np.column_stack([navigation.rotation, navigation.translation]))


# The module's own reading: a path, an open file in either mode, and text in a str or bytes.
SOURCES = {
    "pathlib": ("load_file", lambda path: path),
    "binary file": ("load_file", lambda path: open(path, "rb")),
    "text file": ("load_file", lambda path: open(path, "r")),
    "str": ("load_string", lambda path: path.read_text()),
    "bytes": ("load_string", lambda path: path.read_bytes()),
}


@pytest.mark.parametrize("load, source", SOURCES.values(), ids=SOURCES.keys())
def test_load_takes_paths_open_files_and_text_in_any_buffer(load, source):
    camera_set = cp.CameraParametersSet()
    assert getattr(camera_set, load)(source(ROBOT_CALIBRATION))
    # camcal intrinsics --calibration tests/camcal/data/robot_calibration.txt front 1280x960
    assert camera_set.camera("front").intrinsics(1280, 960)[0, 0] == np.float32(1420.1005)


@pytest.mark.parametrize("source", [lambda path: path, lambda path: open(path, "rb")], ids=["pathlib", "binary file"])
def test_base_and_ptz_calibrations_load_from_files(source):
    base = cp.BaseCalibrationData()
    assert base.load_file(source(BASE_CALIBRATION)) and base.wheel_base == np.float32(0.412)
    model = cp.PTZCameraModel("")
    assert not model.valid
    assert model.load_file(source(PTZ_EXAMPLE)) and model.valid


def test_a_file_that_cannot_be_read_is_refused_with_a_record(caplog, tmp_path):
    base = cp.BaseCalibrationData()
    assert base.load_file(BASE_CALIBRATION)
    model = cp.PTZCameraModel(PTZ_EXAMPLE.read_text())
    before = cp.PTZCameraModelConfiguration(model, 3600, 1200, 4000)
    missing = tmp_path / "missing.txt"
    with caplog.at_level(logging.ERROR, logger="camera_parameters"):
        assert not base.load_file(missing) and not model.load_file(missing)
    records = [(r.tag, r.getMessage()) for r in caplog.records]
    assert records == [("base_calibration_data", f"Can't open {missing}"),
                       ("ptz_camera_model", f"Can't open {missing}"), ("ptz_camera_model", "Invalid intrinsics")]
    # Nothing of the base changed; the configuration made before keeps its model.
    assert base.wheel_base == np.float32(0.412)
    assert not model.valid and before.get_pan_tilt((960, 540)) is not None
