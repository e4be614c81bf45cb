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

seed camera_set_fuzzer RobotCalibration embedded_files/calibration/default_head_cal.txt
seed base_calibration_fuzzer BaseCalibrationProto embedded_files/calibration/default_base_cal.txt
if [[ -f data/ptz_camera_example.txt ]]; then
  seed ptz_camera_fuzzer PTZCameraParameters data/ptz_camera_example.txt
fi
