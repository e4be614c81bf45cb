"""Run by ctest against a scratch install prefix: the module loads from <prefix>/lib/python3/dist-packages,
with its type stubs beside it and the libraries it links from <prefix>/lib, not the build tree."""

import pathlib
import sys

prefix = pathlib.Path(sys.argv[1]).resolve()
sys.path.insert(0, str(prefix / "lib" / "python3" / "dist-packages"))

import camera_parameters as cp  # noqa: E402

module = pathlib.Path(cp.__file__).resolve()
assert module.parent == prefix / "lib" / "python3" / "dist-packages", module
assert (module.parent / "camera_parameters.pyi").is_file()
assert cp.CameraParametersSet().camera("navigation").intrinsics(640, 480)[0, 0] == 309.125

# A line of the maps: address, permissions, offset, device, inode, then the
# path, which may hold spaces.
loaded = {
    pathlib.Path(line.rstrip("\n").split(maxsplit=5)[5]).resolve()
    for line in open("/proc/self/maps")
    if "libcamera_parameters" in line or "libcalibration_utils" in line
}
assert loaded and all(prefix in path.parents for path in loaded), loaded
print("installed module:", module)
