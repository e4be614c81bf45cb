"""Camera sets, records, the base calibration and the PTZ model: loads from every source; the PTZ
camera (and a lens): batch against single calls, inverse against forward, the head."""

import logging
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pytest
from numpy.testing import assert_allclose, assert_array_equal

import camera_parameters as cp
from conftest import BASE_CALIBRATION, EXAMPLE_SETTING, PTZ_EXAMPLE, ROBOT_CALIBRATION


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


# Each kind of calibration: how to make one, its file, and whether it holds that file's values.
KINDS = {
    # camcal intrinsics --calibration tests/camcal/data/robot_calibration.txt front 1280x960
    "set": (cp.CameraParametersSet, ROBOT_CALIBRATION,
            lambda s: s.camera("front").intrinsics(1280, 960)[0, 0] == np.float32(1420.1005)),
    "base": (cp.BaseCalibrationData, BASE_CALIBRATION, lambda b: b.wheel_base == np.float32(0.412)),
    "PTZ": (lambda: cp.PTZCameraModel(""), PTZ_EXAMPLE, lambda m: m.valid),
}
# The module's own reading: a path, an open file in either mode, and text in a str or bytes.
SOURCES = {
    "pathlib": ("load_file", lambda path: path),
    "binary file": ("load_file", lambda path: open(path, "rb")),
    "text file": ("load_file", lambda path: open(path, "r")),
    "str": ("load_string", lambda path: path.read_text()),
    "bytes": ("load_string", lambda path: path.read_bytes()),
}
LOADS = [(kind, source) for kind in KINDS for source in SOURCES if hasattr(KINDS[kind][0](), SOURCES[source][0])]


@pytest.mark.parametrize("kind, source", LOADS, ids=[f"{kind} from {source}" for kind, source in LOADS])
def test_load_takes_paths_open_files_and_text_in_any_buffer(kind, source):
    (make, path, holds_the_file), (load, read) = KINDS[kind], SOURCES[source]
    loaded = make()
    assert not holds_the_file(loaded)
    assert getattr(loaded, load)(read(path)) and holds_the_file(loaded)


def test_a_file_that_cannot_be_read_is_refused_with_a_record(caplog, tmp_path):
    base, model = cp.BaseCalibrationData(), cp.PTZCameraModel(PTZ_EXAMPLE.read_text())
    before = cp.PTZCameraModelConfiguration(model, *EXAMPLE_SETTING)
    assert base.load_file(BASE_CALIBRATION)
    missing = tmp_path / "missing.txt"
    with caplog.at_level(logging.ERROR, logger="camera_parameters"):
        assert not base.load_file(missing) and not model.load_file(missing)
    records = [(r.tag, r.getMessage()) for r in caplog.records]
    assert records == [("base_calibration_data", f"Can't open {missing}"),
                       ("ptz_camera_model", f"Can't open {missing}"), ("ptz_camera_model", "Invalid intrinsics")]
    # The base and the configuration made before are unchanged; the invalid model has no zoom.
    assert base.wheel_base == np.float32(0.412) and before.get_pan_tilt((960, 540)) is not None
    assert not model.valid and model.steps_to_zoom_x_factor(100) == 1.0 and model.zoom_x_factor_to_steps(2.0) == 0
    with pytest.raises(ValueError, match="not valid"):
        cp.PTZCameraModelConfiguration(model, *EXAMPLE_SETTING)


def random_pixels(count):
    return np.random.default_rng(7).uniform((0, 0), (1919, 1079), size=(count, 2))


def test_the_head_gives_the_configuration_pose_and_its_joint_angles(ptz_model, config):
    head = ptz_model.pan_tilt_model
    assert_array_equal(head.full_transform(3600, 1200), config.transform)
    assert (config.lens().K == config.intrinsics).all() and config.lens().width == 1920
    assert_allclose(head.motor_steps(*head.joint_positions(100.5, -2500)), (100.5, -2500), rtol=1e-6)
    assert head.motor_steps(float("nan"), 0.0) is None


# Rows that are not interleaved float64 are converted; a view must never be read as if it were.
ARRANGEMENTS = {
    "Fortran order": np.asfortranarray,
    "strided": lambda p: np.repeat(p, 2, axis=1)[:, ::2],
    "every other row": lambda p: np.repeat(p, 2, axis=0)[::2],
}


@pytest.mark.parametrize("arrange", ARRANGEMENTS.values(), ids=ARRANGEMENTS.keys())
def test_any_memory_layout_gives_the_answer_of_its_values(config, arrange):
    pixels = arrange(random_pixels(64))
    assert_array_equal(config.rectify_pixels(pixels), config.rectify_pixels(np.array(pixels, dtype=np.float64)))
    # One pixel (2,) is the batch function on one row.
    assert_array_equal(config.rectify_pixels(pixels[0]), config.rectify_pixels(pixels[:1])[0])


def test_batch_calls_run_on_several_threads_at_once(config):
    pixels = random_pixels(20000)
    expected = config.pixel_rays(pixels)
    with ThreadPoolExecutor(4) as pool:
        for result in pool.map(lambda _: config.pixel_rays(pixels), range(4)):
            assert_array_equal(result, expected)
