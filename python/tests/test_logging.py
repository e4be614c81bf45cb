"""The library's records on Python's logger "camera_parameters"."""

import logging
import sys
from concurrent.futures import ThreadPoolExecutor

import pytest

import camera_parameters as cp

LOGGER = "camera_parameters"


@pytest.fixture
def log(caplog):
    caplog.set_level(logging.DEBUG, logger=LOGGER)
    yield caplog
    cp.set_log_level(3)


def matching(records, tag, levelno):
    return [r for r in records if r.tag == tag and r.levelno == levelno]


@pytest.mark.parametrize(
    "path, message",
    [("/no/such/100%s%d.txt", "Can't open /no/such/100%s%d.txt"),  # A percent sign is no format.
     (b"/no/such/\xff\xfe.txt", "Can't open /no/such/\ufffd\ufffd.txt")],  # Nor is UTF-8 needed.
)
def test_an_unreadable_file_is_the_last_record_an_error_with_its_text_and_source(log, path, message):
    assert not cp.CameraParametersSet().load_file(path)
    [record] = matching(log.records, "camera_parameters", logging.ERROR)
    assert record is log.records[-1] and record.getMessage() == message
    assert (record.name, record.library_level, record.pathname, record.lineno > 0) == (
        LOGGER, 2, "calibration_common/camera_parameters", True)
    assert record.funcName == "dravik::calibration::CameraParametersSet::loadFromFile"


def test_data_that_is_no_calibration_is_one_warning_and_nothing_on_stderr(log, capfd):
    assert not cp.CameraParametersSet().load_string("camera { name: 5 5 }")
    assert not cp.BaseCalibrationData().load_string("wheel_base: [")
    assert not cp.PTZCameraModel("zoom { f: }").valid
    [warning] = matching(log.records, "camera_parameters", logging.WARNING)
    assert warning.getMessage() == "Loading default camera calibration."
    assert warning.library_level == 3
    assert capfd.readouterr().err == ""


@pytest.mark.parametrize(
    "library_level, python_level, tags",
    [
        (5, logging.INFO, {"camera_parameters", "pan_tilt_model", "ptz_camera_model"}),
        (6, logging.DEBUG, {"pan_tilt_model"}),
    ],
)
def test_information_and_trace_records_follow_the_level(log, ptz_model, library_level, python_level, tags):
    def produce():
        cp.CameraParametersSet().camera("navigation").intrinsics(800, 600)
        cp.PTZCameraModelConfiguration(ptz_model, 3600, 1200, 4000).get_pan_tilt([1400, 300])

    produce()
    assert not [r for r in log.records if r.levelno <= python_level]
    cp.set_log_level(library_level)
    assert cp.log_level() == library_level
    produce()
    found = [r for r in log.records if r.levelno == python_level]
    assert tags <= {r.tag for r in found} and all(r.library_level >= library_level for r in found)


@pytest.mark.parametrize(
    "library_level, python_level", [(2, logging.DEBUG), (3, logging.ERROR)], ids=["library", "Python"]
)
def test_a_lower_level_on_either_side_silences_warnings_not_errors(log, library_level, python_level):
    cp.set_log_level(library_level)
    log.set_level(python_level, logger=LOGGER)
    assert not cp.CameraParametersSet().load_string(b"\xff garbage")
    assert not log.records
    assert not cp.CameraParametersSet().load_file("/no/such/file")
    assert matching(log.records, "camera_parameters", logging.ERROR)


def test_an_error_raised_by_a_filter_never_reaches_the_library(monkeypatch):
    unraisable = []
    monkeypatch.setattr(sys, "unraisablehook", unraisable.append)
    monkeypatch.setattr(logging.getLogger(LOGGER), "filters", [lambda record: 1 / 0])
    assert not cp.CameraParametersSet().load_file("/no/such/file")
    assert unraisable and isinstance(unraisable[0].exc_value, ZeroDivisionError)


def test_records_from_several_threads_all_arrive(log):
    with ThreadPoolExecutor(4) as pool:
        loaded = list(pool.map(lambda _: cp.CameraParametersSet().load_file("/no/such/file"), range(80)))
    assert not any(loaded)
    assert len(matching(log.records, "camera_parameters", logging.ERROR)) == 80
