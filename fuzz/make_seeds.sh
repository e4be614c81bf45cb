#!/usr/bin/env bash
# Rebuilds the seed corpora from the repository's calibration files, each in
# text and in wire format. Run after a default or example file changes.
set -euo pipefail
cd "$(dirname "$0")/.."
proto_dir=calibration_messages

seed() {  # seed CORPUS MESSAGE FILE
  local corpus=fuzz/corpus/$1 message=dravik.calibration.$2 file=$3
  local base
  base=$(basename "$file" .txt)
  mkdir -p "$corpus"
  cp "$file" "$corpus/$base.txt"
  protoc --proto_path="$proto_dir" --encode="$message" "$proto_dir/calibration.proto" \
    <"$file" >"$corpus/$base.bin"
}

# The camera set harness also starts from the hand-written edge cases beside
# its seeds (a camera that is not finite, one beyond float, zero bytes).
seed camera_set_fuzzer RobotCalibration embedded_files/calibration/default_head_cal.txt
seed base_calibration_fuzzer BaseCalibrationProto embedded_files/calibration/default_base_cal.txt

# The PTZ harness takes a length-prefixed message followed by the numbers of
# the operations: settings, world points and pixels of the example camera.
seed ptz_camera_fuzzer PTZCameraParameters data/ptz_camera_example.txt
for file in fuzz/corpus/ptz_camera_fuzzer/ptz_camera_example.*; do
  python3 - "$file" <<'PY'
import struct, sys
path = sys.argv[1]
message = open(path, "rb").read()
numbers = struct.pack("<i f", 4000, 2.5)
for setting in [(0, 0, 0), (1200, -300, 6000), (-2500, 400, 16000)]:
    numbers += struct.pack("<3i", *setting)
    numbers += struct.pack("<3f", 3.0, 0.5, 1.2)            # world point
    numbers += struct.pack("<2f", 700.0, 400.0)             # pixel
    numbers += struct.pack("<2f", 0.25, 0.75)               # image fraction
    numbers += struct.pack("<4f", 800.0, 400.0, 1100.0, 650.0)  # region corners
    numbers += struct.pack("<2f", 960.0, 540.0)             # pixel of the world point
numbers += struct.pack("<3f2f", 2.0, -1.0, 0.5, 0.1, -0.05)   # computePanTilt
numbers += struct.pack("<2f", 100.0, -50.0)                 # getFullTransform
numbers += struct.pack("<8f", -0.2, 0.05, 0.001, -0.001, 0.0, 0.1, 0.01, 0.0)
numbers += struct.pack("<6f", 640.0, 480.0, 1000.0, 1000.0, 1200.0, 900.0)
open(path, "wb").write(struct.pack("<H", len(message)) + message + numbers)
PY
done
