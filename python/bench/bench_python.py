#!/usr/bin/python3
"""The Python module's batch calls and resampling against the C++ library and OpenCV.

project and rectify_pixels of 100,000 points in one call, on the example PTZ
camera at pan 3100, tilt 900, zoom 5000 (a 400 x 250 grid of pixels over the
1920 x 1080 image, and the world points seen at them 2 to 18 m away), and
remap_image of a 1280 x 960 frame (gray, colour and 16-bit gray) through the
navigation camera's forward map at alpha 0 (the map object, its planes as
handed out, and copies of them that numpy owns) on one thread against
cv2.remap from the fixed-point form of the same map on one thread, and with
the defaults of both (every core; wall time), and (8-bit frames) through the
map prepared for the frame (prepare_remap, then remap_image with it) against
the same cv2.remap calls (each call timed alternately with its cv2.remap, the
ratio the median of the pairs'), beside:
- the C++ library's cost on the same data (python/bench/batch_bench, a Google
  Benchmark program of the build: the configuration's projectPoints and the
  lens's normalizePixels);
- cv2.projectPoints, cv2.undistortPoints and cv2.remap on the same arrays,
  one thread (cv2.projectPoints from Python always computes its Jacobians
  too).
Medians of CPU time per point (per frame for remap_image): the calling
thread's, on which every call runs, as Google Benchmark measures the C++
side; on a shared machine wall time measures the neighbours.

  /usr/bin/python3 python/bench/bench_python.py [--build build/test] [--repeats 21]

Run it with Debian's interpreter and the module on PYTHONPATH, or pass
--build: the module and batch_bench are taken from that build tree.
"""

import argparse
import json
import pathlib
import statistics
import subprocess
import sys
import time

import numpy as np

ROOT = pathlib.Path(__file__).resolve().parents[2]
COLUMNS, ROWS = 400, 250
SETTING = (3100, 900, 5000)


def scene(cp):
    model = cp.PTZCameraModel((ROOT / "data" / "ptz_camera_example.txt").read_text())
    config = cp.PTZCameraModelConfiguration(model, *SETTING)
    r, c = np.mgrid[0:ROWS, 0:COLUMNS]
    pixels = np.column_stack(
        [((c + 0.5) * 1920.0 / COLUMNS).ravel(), ((r + 0.5) * 1080.0 / ROWS).ravel()]
    )
    depth = (2 + np.arange(len(pixels)) % 17)[:, None]
    points = config.camera_center + depth * config.pixel_rays(pixels)
    return config, pixels, points


def frames(cp):
    lens = cp.CameraParametersSet().camera("navigation").lens(1280, 960)
    view, _ = cp.choose_pinhole_view(lens, 0.0, 1280, 960)
    undistortion = cp.undistortion_map(lens, view)
    # The frames of batch_bench's remap benchmarks: byte i of a frame is (i * 7) % 251.
    gray = (np.arange(1280 * 960, dtype=np.int64) * 7 % 251).astype(np.uint8).reshape(960, 1280)
    colour = (np.arange(1280 * 960 * 3, dtype=np.int64) * 7 % 251).astype(np.uint8).reshape(960, 1280, 3)
    gray16 = gray.astype(np.uint16) * 257
    return undistortion, {"gray": gray, "colour": colour, "gray16": gray16}


def median_ns_per_point(call, count, repeats, wall=False):
    """CPU time of the calling thread, or wall time for calls on several threads."""
    clock = time.perf_counter_ns if wall else time.thread_time_ns
    call()  # warm: first-touch of the output, caches
    times = []
    for _ in range(repeats):
        start = clock()
        call()
        times.append(clock() - start)
    return statistics.median(times) / count


def cpp_ns_per_point(binary, repetitions):
    """Median ns per point of each benchmark of batch_bench."""
    if not binary.exists():
        return {}
    out = subprocess.run(
        [
            str(binary),
            f"--benchmark_repetitions={repetitions}",
            "--benchmark_report_aggregates_only=true",
            "--benchmark_format=json",
        ],
        capture_output=True,
        text=True,
        check=True,
    ).stdout
    medians = {}
    for b in json.loads(out)["benchmarks"]:
        if b.get("aggregate_name") == "median":
            medians[b["run_name"]] = 1e9 / b["items_per_second"]
    return medians


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build", type=pathlib.Path, help="build tree holding python/")
    parser.add_argument("--repeats", type=int, default=21)
    args = parser.parse_args()
    if args.build:
        sys.path.insert(0, str(args.build.resolve() / "python"))
    import camera_parameters as cp

    cp.set_log_level(2)
    config, pixels, points = scene(cp)
    n = len(pixels)
    rows = []
    ours = {
        "project": median_ns_per_point(lambda: config.project(points), n, args.repeats),
        "rectify_pixels": median_ns_per_point(lambda: config.rectify_pixels(pixels), n, args.repeats),
    }

    build = args.build or ROOT / "build" / "test"
    cpp = cpp_ns_per_point(build.resolve() / "python" / "batch_bench", 5)
    cpp_names = {"project": "BM_ProjectPoints", "rectify_pixels": "BM_NormalizePixels"}

    opencv = {}
    cv2 = None
    try:
        import cv2

        cv2.setNumThreads(1)
        rvec, _ = cv2.Rodrigues(config.transform[:3, :3])
        tvec = config.transform[:3, 3].copy()
        K, d = config.intrinsics, config.distortion
        opencv["project"] = median_ns_per_point(
            lambda: cv2.projectPoints(points, rvec, tvec, K, d), n, args.repeats
        )
        pixels_cv = pixels.reshape(-1, 1, 2)
        opencv["rectify_pixels"] = median_ns_per_point(
            lambda: cv2.undistortPoints(pixels_cv, K, d), n, args.repeats
        )
    except ImportError:
        opencv = None

    print(f"{n} points per call, median of {args.repeats} calls, CPU ns per point")
    print(f"{'call':<16}{'Python':>10}{'C++':>10}{'Python/C++':>12}{'OpenCV':>10}{'OpenCV/Python':>15}")
    for call, ns in ours.items():
        cpp_ns = cpp.get(cpp_names[call])
        cv_ns = (opencv or {}).get(call)
        rows.append(
            f"{call:<16}{ns:>10.1f}"
            + (f"{cpp_ns:>10.1f}{ns / cpp_ns:>12.2f}" if cpp_ns else f"{'-':>10}{'-':>12}")
            + (f"{cv_ns:>10.1f}{cv_ns / ns:>15.2f}" if cv_ns else f"{'-':>10}{'-':>15}")
        )
    print("\n".join(rows))

    undistortion, images = frames(cp)
    map_x, map_y, valid = undistortion
    # The same planes as arrays of numpy's own, as a map from elsewhere comes.
    numpy_planes = map_x.copy(), map_y.copy(), valid.copy()
    fixed = cp.convert_to_fixed_point(undistortion)  # cv2.remap's fastest map

    def beside_opencv(call, image, threads):
        """Medians of a call and of cv2.remap on the same frame, timed alternately (threads 1:
        CPU time, cv2.setNumThreads(1); 0: wall time, OpenCV's default threads), and the median
        of the pairs' ratios, which a neighbour's load on the shared machine moves least."""
        if opencv is None:
            return median_ns_per_point(call, 1, args.repeats, wall=threads == 0), None, None
        cv2.setNumThreads(1 if threads == 1 else -1)
        peer = lambda: cv2.remap(image, *fixed, cv2.INTER_LINEAR)  # noqa: E731
        wall = threads == 0
        pairs = [
            (median_ns_per_point(call, 1, 1, wall), median_ns_per_point(peer, 1, 1, wall))
            for _ in range(args.repeats)
        ]
        cv2.setNumThreads(1)
        return (
            statistics.median(p[0] for p in pairs),
            statistics.median(p[1] for p in pairs),
            statistics.median(p[0] / p[1] for p in pairs),
        )

    def columns(ours, peer, ratio):
        if peer is None:
            return f"{ours / 1e6:>8.2f}{'-':>8}{'-':>8}"
        return f"{ours / 1e6:>8.2f}{peer / 1e6:>8.2f}{ratio:>8.2f}"

    print(f"\nremap_image, 1280 x 960, median of {args.repeats} frames, ms per frame, each call timed")
    print("beside cv2.remap from the fixed-point map, alternately, the ratio the median of the pairs'.")
    print("One thread each (CPU time): remap_image(threads=1) through the map against cv2.remap with")
    print("cv2.setNumThreads(1), and through its planes and numpy's copies; defaults (wall time):")
    print("remap_image(image, map) on every core against cv2.remap with OpenCV's default threads")
    print(
        f"{'frame':<8}{'planes':>8}{'numpy':>8}{'map':>8}{'OpenCV':>8}{'ratio':>8}"
        f"{'default':>8}{'OpenCV':>8}{'ratio':>8}"
    )
    for name, image in images.items():
        one = lambda *planes: cp.remap_image(image, *planes, threads=1)  # noqa: E731
        by_planes = median_ns_per_point(lambda: one(map_x, map_y, valid), 1, args.repeats)
        by_numpy = median_ns_per_point(lambda: one(*numpy_planes), 1, args.repeats)
        by_map = beside_opencv(lambda: one(undistortion), image, 1)
        default = beside_opencv(lambda: cp.remap_image(image, undistortion), image, 0)
        planes = f"{by_planes / 1e6:>8.2f}{by_numpy / 1e6:>8.2f}"
        print(f"{name:<8}" + planes + columns(*by_map) + columns(*default))
    print("\nthrough the prepared map: prepare_remap(map, frame) once, then remap_image(frame, prepared),")
    print("one thread (CPU time) and the defaults (wall time), against cv2.remap as above")
    print(f"{'frame':<8}{'one':>8}{'OpenCV':>8}{'ratio':>8}{'default':>8}{'OpenCV':>8}{'ratio':>8}")
    for name in ("gray", "colour"):
        image = images[name]
        prepared = cp.prepare_remap(undistortion, image)
        one = beside_opencv(lambda: cp.remap_image(image, prepared, threads=1), image, 1)
        default = beside_opencv(lambda: cp.remap_image(image, prepared), image, 0)
        print(f"{name:<8}" + columns(*one) + columns(*default))
    if not cpp:
        print(f"(no C++ figures: build the target batch_bench in {build})")


if __name__ == "__main__":
    main()
