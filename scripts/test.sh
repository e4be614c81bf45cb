#!/usr/bin/env bash
# Builds everything and runs every test:
#   0. the format check of every C++ source (.clang-format);
#   1. the release build: libraries, camcal, tests and benchmarks, whole suite;
#   2. pip install . into a fresh virtual environment, and the Python suite
#      against what it installed;
#   3. the whole suite again under AddressSanitizer and UndefinedBehaviorSanitizer
#      (clang), in the build that also makes the fuzz harnesses;
#   4. each fuzz harness for a fixed number of runs from a fixed seed over its
#      seed corpus and regressions, the same campaign on every machine;
#   5. the concurrency test under ThreadSanitizer;
#   6. the library and its C++ tests cross-built for 64-bit ARM (aarch64,
#      without camcal) and run under qemu-aarch64.
# CAMERA_PARAMETERS_QUICK=1 runs the format check and the release stage only.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh --tests
jobs=$(nproc)
# Runs per fuzz harness in the test command: at most about a minute each on
# the development machine. The longer randomized campaign is scripts/fuzz.sh.
fuzz_runs() {
  case "$1" in
    base_calibration_fuzzer) echo 250000 ;;
    camera_calibration_fuzzer) echo 1200 ;;
    camera_set_fuzzer) echo 10000 ;;
    image_input_fuzzer) echo 2000 ;;
    ptz_camera_fuzzer) echo 200000 ;;
    undistortion_map_fuzzer) echo 3000 ;;
    *) echo 13000 ;;
  esac
}

# The suites' reruns on the baseline loops (ctest names ending in
# .baseline) run in the release stage; the sanitizer and aarch64 stages run
# each suite once, where the byte-for-byte comparison of the two paths
# (VectorPaths.*) still runs.
baseline_reruns='\.baseline$'
# The tests that the aarch64 stage leaves out (a ctest regular expression):
# the install test's consumer, a native build of its own, and the reruns.
aarch64_skipped="^install_consumer\$|$baseline_reruns"

stage() { printf '\n==== %s ====\n' "$*"; }

stage "formatting"
scripts/check-format.sh

stage "release build and tests"
cmake -S . -B build/test -DCMAKE_BUILD_TYPE=Release -DCAMERA_PARAMETERS_WERROR=ON >/dev/null
cmake --build build/test -j"$jobs"
ctest --test-dir build/test --output-on-failure -j"$jobs" | tee build/test/ctest.log
tests_run=$(sed -n 's/.*tests passed, \([0-9]*\) tests failed out of \([0-9]*\).*/\2/p' build/test/ctest.log)

if [[ "${CAMERA_PARAMETERS_QUICK:-0}" == 1 ]]; then
  printf '\ntests: %s passed, 0 failed\n' "$tests_run"
  exit 0
fi

stage "pip install . into a virtual environment"
venv=build/venv
rm -rf "$venv"
/usr/bin/python3 -m venv --system-site-packages "$venv"
# Nothing to fetch: the backend needs the standard library alone, numpy is Debian's.
# The wheel is made from the release build's tree, built already.
CMAKE_BUILD_PARALLEL_LEVEL=$jobs "$venv/bin/python" -m pip install --quiet --no-index \
  --disable-pip-version-check --config-settings build-dir=build/test .
# From outside the checkout, so that nothing but the installed module can be imported.
(cd "$venv" && ./bin/python -c 'import camera_parameters, sys; assert camera_parameters.__file__.startswith(sys.prefix), camera_parameters.__file__' &&
  PYTHONDONTWRITEBYTECODE=1 ./bin/python -m pytest -q -p no:cacheprovider "$OLDPWD/python/tests") |
  tee build/venv/pytest.log
pip_tests=$(sed -n 's/^\([0-9]*\) passed.*/\1/p' build/venv/pytest.log)

stage "address and undefined behaviour sanitizers (clang): the whole suite, then fuzzing"
# One instrumented build serves both: the suite's programs and the fuzz
# harnesses (libFuzzer), with assertions on.
CXX=clang++ cmake -S . -B build/fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O2 -g" -DCAMERA_PARAMETERS_FUZZ=ON \
  -DCAMERA_PARAMETERS_BENCHMARKS=OFF >/dev/null
cmake --build build/fuzz -j"$jobs"
ASAN_OPTIONS=halt_on_error=1:detect_leaks=1 LSAN_OPTIONS="suppressions='$PWD/scripts/lsan.supp':print_suppressions=0" UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
  ctest --test-dir build/fuzz --output-on-failure -j"$jobs" -E "$baseline_reruns"

stage "fuzzing: a fixed number of runs per harness from a fixed seed"
for source in fuzz/*_fuzzer.cpp; do
  name=$(basename "$source" .cpp)
  runs=$(fuzz_runs "$name")
  work=build/fuzz/corpus/$name
  # A fresh scratch corpus each time: the same seed over the same inputs
  # repeats the same campaign on every machine.
  rm -rf "$work"
  mkdir -p "$work"
  seeds=("fuzz/corpus/$name")
  [[ -d fuzz/regressions/$name ]] && seeds+=("fuzz/regressions/$name")
  status=0
  build/fuzz/fuzz/"$name" -seed=1 -runs="$runs" -timeout=60 -rss_limit_mb=4096 \
    -artifact_prefix="build/fuzz/$name-" -print_final_stats=1 "$work" "${seeds[@]}" >"build/fuzz/$name.log" 2>&1 || status=$?
  grep -E '^(#[0-9]+[[:space:]]+DONE|stat::number_of_executed_units|stat::peak_rss_mb)' "build/fuzz/$name.log" || true
  if (( status != 0 )); then
    tail -n 60 "build/fuzz/$name.log"
    echo "fuzzer $name failed (exit $status); the input is in build/fuzz/$name-*"
    exit 1
  fi
done

stage "thread sanitizer: concurrent readers"
cmake -S . -B build/tsan -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS="-O1" \
  -DCAMERA_PARAMETERS_SANITIZE=thread -DCAMERA_PARAMETERS_BENCHMARKS=OFF >/dev/null
cmake --build build/tsan --target concurrency_test -j"$jobs"
TSAN_OPTIONS=halt_on_error=1 build/tsan/tests/concurrency_test

stage "aarch64: cross build, tests under qemu-aarch64"
scripts/install-deps.sh --cross
cmake -S . -B build/aarch64 -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake \
  -DCMAKE_BUILD_TYPE=Release -DCAMERA_PARAMETERS_WERROR=ON -DCAMERA_PARAMETERS_TOOLS=OFF \
  -DCAMERA_PARAMETERS_BENCHMARKS=OFF -DCAMERA_PARAMETERS_PYTHON=OFF >/dev/null
cmake --build build/aarch64 -j"$jobs"
# The library without camcal installs its package alone.
cmake -DBUILD_DIR=build/aarch64 -DPREFIX="$PWD/build/aarch64/installed" -P cmake/InstallBuildTree.cmake
test -f build/aarch64/installed/lib/cmake/camera_parameters/camera_parametersConfig.cmake
test ! -e build/aarch64/installed/bin/camcal
# Left out: the install test's consumer (a native build of its own) and the reruns.
ctest --test-dir build/aarch64 --output-on-failure -j"$jobs" -E "$aarch64_skipped" |
  tee build/aarch64/ctest.log
aarch64_tests=$(sed -n 's/.*tests passed, \([0-9]*\) tests failed out of \([0-9]*\).*/\2/p' build/aarch64/ctest.log)

printf '\nAll stages passed: %s tests of the release build, %s of the installed Python module, %s on aarch64.\n' \
  "$tests_run" "$pip_tests" "$aarch64_tests"
printf 'tests: %s passed, 0 failed\n' "$((tests_run + pip_tests + aarch64_tests))"
