"""Camera calibration of the robot over numpy arrays (type stubs).

Frames: a pose maps world (robot) coordinates into the camera frame (x right,
y down, z along the optical axis), translations in metres. K is
[[fx, skew, cx], [0, fy, cy], [0, 0, 1]] in pixels; distortion is k1, k2, p1,
p2, k3, k4, k5, k6. Array inputs of any real dtype are converted to float32;
outputs are float64 arrays (the map arrays float32 and uint8).
"""

import os
from typing import IO, Optional, Tuple, Union

import numpy as np
import numpy.typing as npt

ArrayLike = npt.ArrayLike
Float64Array = npt.NDArray[np.float64]
Float32Array = npt.NDArray[np.float32]
UInt8Array = npt.NDArray[np.uint8]
CalibrationData = Union[bytes, bytearray, memoryview, str]
PathOrFile = Union[str, bytes, os.PathLike, IO[bytes], IO[str]]

def set_log_level(level: int) -> None:
    """Makes the library write records of level <= `level` (3 by default) to the
    logger "camera_parameters": 2 ERROR, 3 WARNING, 5 INFO, 6 DEBUG."""

def log_level() -> int: ...

class CameraParameters:
    """One camera's calibration; pose robot to camera, x_cam = R x_robot + t."""

    @property
    def name(self) -> str: ...
    @property
    def model(self) -> str: ...
    def intrinsics(self, width: int, height: int) -> Float64Array:
        """K (3 x 3, pixels) for a width x height image."""
    def distortion(self, width: int, height: int) -> Float64Array:
        """k1, k2, p1, p2, k3, k4, k5, k6 for a width x height image."""
    def has_intrinsics(self, width: int, height: int) -> bool: ...
    def full_frame_intrinsics(self) -> Float64Array: ...
    def full_frame_distortion(self) -> Float64Array: ...
    @property
    def full_frame_size(self) -> Tuple[int, int]: ...
    @property
    def rotation(self) -> Float64Array:
        """R (3 x 3), robot to camera."""
    @property
    def translation(self) -> Float64Array:
        """t (3, metres), robot to camera."""
    @property
    def transform(self) -> Float64Array:
        """[R t; 0 0 0 1] (4 x 4), robot (world) to camera."""
    def lens(self, width: int, height: int) -> "Lens":
        """The lens (K, distortion, size) for a width x height image."""

class CameraParametersSet:
    """Every camera of one robot by name; a new set holds the embedded default."""

    def __init__(self) -> None: ...
    def load_file(self, path: PathOrFile) -> bool: ...
    def load_string(self, data: CalibrationData) -> bool: ...
    def camera_names(self) -> list[str]: ...
    def has_camera(self, name: str) -> bool: ...
    def camera(self, name: str) -> Optional[CameraParameters]: ...
    def adjust_using_base_calibration(self, base: "BaseCalibrationData") -> None: ...
    def __contains__(self, name: str) -> bool: ...

class BaseCalibrationData:
    """The mobile base: geometry, gyroscope gain, global transform G."""

    def __init__(self) -> None: ...
    def load_string(self, data: CalibrationData) -> bool: ...
    @property
    def base_length(self) -> float: ...
    @property
    def base_width(self) -> float: ...
    @property
    def wheel_base(self) -> float: ...
    @property
    def gyroscope_gain(self) -> float: ...
    @property
    def world_rotation(self) -> Float64Array: ...
    @property
    def world_translation(self) -> Float64Array:
        """t of G, metres."""

class PanTiltModel:
    """The pan/tilt head; motor positions in steps."""

    def full_transform(self, pan: float, tilt: float) -> Float64Array:
        """World to camera (4 x 4, metres) at the motor positions."""
    def compute_pan_tilt(
        self, world: ArrayLike, ray: ArrayLike
    ) -> Optional[Tuple[float, float]]:
        """Fractional (pan, tilt) seeing world (metres) along (ray[0], ray[1], 1)."""
    @property
    def pan_offset(self) -> float: ...
    @property
    def tilt_offset(self) -> float: ...

class PTZCameraModel:
    """The PTZ camera's zoom table and head, from wire bytes or text."""

    def __init__(self, data: CalibrationData) -> None: ...
    @property
    def valid(self) -> bool: ...
    @property
    def max_zoom_x_factor(self) -> float: ...
    def steps_to_zoom_x_factor(self, steps: int) -> float: ...
    def zoom_x_factor_to_steps(self, factor: float) -> int: ...
    @property
    def pan_tilt_model(self) -> Optional[PanTiltModel]: ...

class PTZCameraModelConfiguration:
    """The PTZ camera at one pan/tilt/zoom (steps); pixels of the calibration image."""

    def __init__(self, model: PTZCameraModel, pan: int, tilt: int, zoom: int) -> None: ...
    @property
    def pan(self) -> int: ...
    @property
    def tilt(self) -> int: ...
    @property
    def zoom(self) -> int: ...
    @property
    def cal_width(self) -> int: ...
    @property
    def cal_height(self) -> int: ...
    @property
    def intrinsics(self) -> Float64Array: ...
    @property
    def distortion(self) -> Float64Array: ...
    @property
    def transform(self) -> Float64Array:
        """World to camera (4 x 4, metres)."""
    @property
    def camera_center(self) -> Float64Array: ...
    def project(self, points: ArrayLike) -> Float64Array:
        """World points (N x 3, metres) to pixels (N x 2)."""
    def rectify_pixels(self, pixels: ArrayLike) -> Float64Array:
        """Pixels (N x 2) to normalized camera coordinates (N x 2), exactly."""
    def pixel_rays(self, pixels: ArrayLike) -> Float64Array:
        """Pixels (N x 2) to unit ray directions (N x 3), world frame."""
    def get_pan_tilt(self, pixel: ArrayLike) -> Optional[Tuple[int, int]]: ...
    def get_pan_tilt_for_point(
        self, world: ArrayLike, pixel: ArrayLike
    ) -> Optional[Tuple[float, float]]: ...
    def get_pan_tilt_zoom(
        self, corner1: ArrayLike, corner2: ArrayLike
    ) -> Optional[Tuple[int, int, int]]: ...
    def lens(self) -> "Lens": ...

class Lens:
    """A camera's lens at one image size."""

    def __init__(
        self, width: int, height: int, K: ArrayLike, distortion: ArrayLike
    ) -> None: ...
    width: int
    height: int
    @property
    def K(self) -> Float64Array: ...
    @property
    def distortion(self) -> Float64Array: ...

class PinholeView:
    """An ideal pinhole camera: the undistorted image."""

    def __init__(self, width: int, height: int, K: ArrayLike) -> None: ...
    width: int
    height: int
    @property
    def K(self) -> Float64Array: ...

def choose_pinhole_view(
    lens: Lens, alpha: float, width: int, height: int
) -> Optional[Tuple[PinholeView, Tuple[int, int, int, int]]]:
    """The view and its valid rectangle (x, y, width, height); None on refusal."""

def undistortion_map(
    lens: Lens, view: PinholeView
) -> Optional[Tuple[Float32Array, Float32Array, UInt8Array]]:
    """(map_x, map_y, valid), view-sized, for cv2.remap; None on refusal."""

def inverse_undistortion_map(
    lens: Lens, view: PinholeView
) -> Optional[Tuple[Float32Array, Float32Array, UInt8Array]]:
    """(map_x, map_y, valid), source-sized: where each source pixel lands in the view."""

def remap_image(
    image: UInt8Array,
    map_x: Float32Array,
    map_y: Float32Array,
    valid: UInt8Array,
    border: int = 0,
) -> UInt8Array:
    """Bilinear resampling of an H x W or H x W x C uint8 image through a forward map."""
