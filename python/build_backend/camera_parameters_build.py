"""The build backend of `pip install .` (PEP 517): CMake builds the module and the library, and
the wheel holds the module, its type stubs and the library's shared objects beside it.

It needs nothing but the standard library, CMake and the Debian packages of the normal build, so
that pip builds the wheel in its isolated environment with nothing to fetch. The library is built
without camcal and without tests (-DCAMERA_PARAMETERS_TOOLS=OFF -DBUILD_TESTING=OFF), for the
interpreter that runs pip, in build/wheel of the source tree (kept, so that a second install
rebuilds only what changed). Settings: CMAKE_BUILD_PARALLEL_LEVEL (default: every processor);
pip's --config-settings build-dir=DIR (a build tree of the source, relative to it, default
build/wheel) and cmake.args="-DNAME=VALUE ..." (passed on to CMake).
"""

import base64
import hashlib
import os
import pathlib
import re
import shlex
import shutil
import subprocess
import sys
import sysconfig
import tempfile
import zipfile

NAME = "camera_parameters"
LIBRARIES = NAME + ".libs"  # the library's shared objects, beside the module (python/CMakeLists.txt)
SOURCE = pathlib.Path.cwd()


def _version():
    """The project's version, written once, in the top CMakeLists.txt."""
    text = (SOURCE / "CMakeLists.txt").read_text()
    return re.search(r"project\(\s*\w+\s+VERSION\s+([0-9.]+)", text).group(1)


def _tag():
    interpreter = f"cp{sys.version_info.major}{sys.version_info.minor}"
    platform = sysconfig.get_platform().replace("-", "_").replace(".", "_")
    return f"{interpreter}-{interpreter}{sys.abiflags}-{platform}"


def _metadata(version):
    return (
        "Metadata-Version: 2.1\n"
        f"Name: {NAME}\n"
        f"Version: {version}\n"
        "Summary: Camera calibration of a mobile robot: lenses, poses, PTZ aiming, undistortion\n"
        "Requires-Python: >=3.9\n"
        "Requires-Dist: numpy\n"
    )


def _build(prefix, config_settings):
    """Builds the module and installs the build into prefix: its own build tree, or that of
    --config-settings build-dir=DIR when DIR is configured already (the module built there as
    it is, e.g. by the test command's release build)."""
    settings = config_settings or {}
    build = SOURCE / settings.get("build-dir", "build/wheel")
    if not (build / "CMakeCache.txt").exists() or "cmake.args" in settings:
        arguments = [
            "cmake", "-S", str(SOURCE), "-B", str(build),
            "-DCMAKE_BUILD_TYPE=Release",
            "-DBUILD_TESTING=OFF",
            "-DCAMERA_PARAMETERS_TOOLS=OFF",
            f"-DPython3_EXECUTABLE={sys.executable}",
        ]
        if shutil.which("ccache"):
            arguments.append("-DCMAKE_CXX_COMPILER_LAUNCHER=ccache")
        arguments += shlex.split(settings.get("cmake.args", ""))
        subprocess.run(arguments, check=True, stdout=sys.stderr)
    jobs = os.environ.get("CMAKE_BUILD_PARALLEL_LEVEL", str(os.cpu_count() or 1))
    subprocess.run(["cmake", "--build", str(build), "-j", jobs, "--target", NAME + "_python"],
                   check=True, stdout=sys.stderr)
    subprocess.run(["cmake", "--install", str(build), "--prefix", str(prefix)], check=True,
                   stdout=sys.stderr)
    cache = (build / "CMakeCache.txt").read_text()

    def cached(name):
        return re.search(rf"^{name}:\w+=(.*)$", cache, re.MULTILINE).group(1)

    return prefix / cached("CAMERA_PARAMETERS_PYTHON_INSTALL_DIR"), prefix / cached(
        "CMAKE_INSTALL_LIBDIR")


def _wheel_files(module_dir, library_dir):
    """(name in the wheel, file): the module, its stubs, and each library by its soname, in
    LIBRARIES beside the module (the module's run path names that folder too)."""
    files = [(path.name, path) for path in sorted(module_dir.glob(NAME + ".*"))
             if path.name.endswith((".so", ".pyi"))]
    for path in sorted(library_dir.glob("lib*.so.*")):
        # The loader asks for the soname (libX.so.0), a link to the versioned file: the wheel
        # holds the file under that name alone.
        if path.is_symlink() and re.fullmatch(r"lib\w+\.so\.\d+", path.name):
            files.append((f"{LIBRARIES}/{path.name}", path.resolve()))
    return files


def _record_line(name, data):
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
    return f"{name},sha256={digest},{len(data)}\n"


def get_requires_for_build_wheel(config_settings=None):
    return []


def get_requires_for_build_sdist(config_settings=None):
    return []


def build_wheel(wheel_directory, config_settings=None, metadata_directory=None):
    version = _version()
    tag = _tag()
    dist_info = f"{NAME}-{version}.dist-info"
    wheel_name = f"{NAME}-{version}-{tag}.whl"
    with tempfile.TemporaryDirectory() as scratch:
        prefix = pathlib.Path(scratch) / "prefix"
        entries = [(name, path.read_bytes())
                   for name, path in _wheel_files(*_build(prefix, config_settings))]
        if not any(name.endswith(".so") and "/" not in name for name, _ in entries):
            raise RuntimeError("the build installed no Python module (is pybind11-dev there?)")
        entries.append((f"{dist_info}/METADATA", _metadata(version).encode()))
        entries.append((f"{dist_info}/WHEEL", (
            "Wheel-Version: 1.0\nGenerator: camera_parameters_build\n"
            f"Root-Is-Purelib: false\nTag: {tag}\n").encode()))
        record = "".join(_record_line(name, data) for name, data in entries)
        record += f"{dist_info}/RECORD,,\n"
        entries.append((f"{dist_info}/RECORD", record.encode()))
        with zipfile.ZipFile(pathlib.Path(wheel_directory) / wheel_name, "w",
                             zipfile.ZIP_DEFLATED) as wheel:
            for name, data in entries:
                info = zipfile.ZipInfo(name, date_time=(1980, 1, 1, 0, 0, 0))
                info.external_attr = (0o755 if name.endswith(".so") or ".so." in name
                                      else 0o644) << 16
                info.compress_type = zipfile.ZIP_DEFLATED
                wheel.writestr(info, data)
    return wheel_name


def build_sdist(sdist_directory, config_settings=None):
    """The files git tracks, as NAME-VERSION.tar.gz."""
    import tarfile

    version = _version()
    base = f"{NAME}-{version}"
    tracked = subprocess.run(["git", "ls-files", "-z"], cwd=SOURCE, check=True,
                             capture_output=True).stdout.decode().split("\0")
    archive = f"{base}.tar.gz"
    with tarfile.open(pathlib.Path(sdist_directory) / archive, "w:gz") as sdist:
        for name in filter(None, tracked):
            sdist.add(SOURCE / name, arcname=f"{base}/{name}", recursive=False)
        info = tarfile.TarInfo(f"{base}/PKG-INFO")
        data = _metadata(version).encode()
        info.size = len(data)
        import io

        sdist.addfile(info, io.BytesIO(data))
    return archive
