#!/usr/bin/env bash
# A longer, randomized fuzzing campaign: every harness (or the ones named)
# for SECONDS each (default 1800) with a random seed, new inputs kept in
# build/fuzz/corpus/<harness>. An input that fails goes, with its fix, into
# fuzz/regressions/<harness>/.
#   scripts/fuzz.sh [SECONDS] [HARNESS...]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-1800}
shift || true
harnesses=("$@")
if (( ${#harnesses[@]} == 0 )); then
  for source in fuzz/*_fuzzer.cpp; do harnesses+=("$(basename "$source" .cpp)"); done
fi

scripts/install-deps.sh --tests
CXX=clang++ cmake -S . -B build/fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=OFF \
  -DCAMERA_PARAMETERS_FUZZ=ON >/dev/null
for name in "${harnesses[@]}"; do
  cmake --build build/fuzz --target "$name" -j"$(nproc)"
  work=build/fuzz/corpus/$name
  mkdir -p "$work"
  seeds=("fuzz/corpus/$name")
  [[ -d fuzz/regressions/$name ]] && seeds+=("fuzz/regressions/$name")
  echo "fuzzing $name for $seconds s"
  build/fuzz/fuzz/"$name" -max_total_time="$seconds" -timeout=60 -rss_limit_mb=4096 \
    -artifact_prefix="build/fuzz/$name-" -print_final_stats=1 "$work" "${seeds[@]}"
done
