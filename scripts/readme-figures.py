#!/usr/bin/python3
"""Measures the README's figures on the exact undistortion and on OpenCV's.

- How far cv2.undistortPoints (its default five fixed steps) leaves the corner
  pixels of the navigation camera's 1280 x 960 lens: each corner is undistorted,
  its direction projected back through the lens in double precision, and the
  distance to the corner it came from printed, in pixels.
- How many Newton updates the exact undistortion (rectifyPointWithStatus)
  takes at each pixel of that image: counted by the build's
  python/newton_updates, since the batch calls report convergence, not counts.
- How far cv2.undistortPoints and the module's rectify_pixels land, the same
  way, on the border of the example PTZ camera's 1920 x 1080 image at its
  widest zoom (0 steps).

  /usr/bin/python3 scripts/readme-figures.py [--build build/test]

Needs the module (camera_parameters), numpy and cv2 (Debian's python3-opencv).
"""

import argparse
import pathlib
import subprocess
import sys

import numpy as np

ROOT = pathlib.Path(__file__).resolve().parents[1]


def opencv_error(cv2, lens, pixels):
    """Per pixel: how far cv2.undistortPoints's direction lands from the pixel, through the lens."""
    normalized = cv2.undistortPoints(pixels[:, None, :], lens.K, lens.distortion)[:, 0, :]
    return exact_error(lens, normalized, pixels)


def exact_error(lens, normalized, pixels):
    points = np.column_stack([normalized, np.ones(len(normalized))])
    return np.linalg.norm(lens.project(points) - pixels, axis=1)


def border(width, height, per_side=400):
    t = np.linspace(0, 1, per_side)
    w, h, zero, one = width - 1, height - 1, np.zeros_like(t), np.ones_like(t)
    sides = [(t * w, zero), (t * w, one * h), (zero, t * h), (one * w, t * h)]
    return np.concatenate([np.column_stack(side) for side in sides])


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build", type=pathlib.Path, default=ROOT / "build" / "test",
                        help="build tree holding python/ (default build/test)")
    args = parser.parse_args()
    build = args.build.resolve() / "python"
    sys.path.insert(0, str(build))
    import camera_parameters as cp
    import cv2

    cv2.setNumThreads(1)
    navigation = cp.CameraParametersSet().camera("navigation").lens(1280, 960)
    corners = np.array([[0.0, 0.0], [1279.0, 0.0], [0.0, 959.0], [1279.0, 959.0]])
    errors = opencv_error(cv2, navigation, corners)
    print("cv2.undistortPoints, navigation camera 1280 x 960, corners (px off):",
          ", ".join(f"({u:.0f}, {v:.0f}) {e:.1f}" for (u, v), e in zip(corners, errors)))
    print(f"  from {errors.min():.0f} to {errors.max():.0f} px")

    counts = subprocess.run([str(build / "newton_updates")], capture_output=True, text=True,
                            check=True).stdout
    print("Newton updates of the exact undistortion, navigation camera, every pixel of 1280 x 960:")
    print("  " + counts.strip().replace("\n", "\n  "))

    model = cp.PTZCameraModel((ROOT / "data" / "ptz_camera_example.txt").read_text())
    widest = cp.PTZCameraModelConfiguration(model, 3600, 1200, 0)
    lens = widest.lens()
    pixels = border(lens.width, lens.height)
    theirs = opencv_error(cv2, lens, pixels).max()
    ours = exact_error(lens, widest.rectify_pixels(pixels), pixels).max()
    print(f"example PTZ camera at zoom 0, {lens.width} x {lens.height}, {len(pixels)} border pixels:")
    print(f"  cv2.undistortPoints up to {theirs:.2f} px off, rectify_pixels up to {ours:.1e} px")


if __name__ == "__main__":
    main()
