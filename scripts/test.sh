#!/usr/bin/env bash
# Builds everything and runs every test: first the normal build (with the Qt
# user interface and the benchmarks), then the plain-C++ libraries under
# AddressSanitizer and UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh

jobs=$(nproc)
ctest_args=(--output-on-failure --no-tests=error -j "$jobs" --timeout 300)

# CTest runs each test in a process of its own. This runs every test binary of
# a build once more as one process, so that state one test leaves behind
# (singletons, handlers, settings) fails the tests after it.
run_whole_binaries() {
  local build
  build=$(cd "$1" && pwd)
  find "$build/tests" -type f -name '*_tests' -perm -u+x | sort |
    xargs -P "$jobs" -I{} bash -c '
      cd "$(dirname "$1")" &&
      QT_QPA_PLATFORM=offscreen timeout 600 "$1" --gtest_brief=1 > "$1.whole.log" 2>&1 ||
      { cat "$1.whole.log"; echo "FAILED when run as one process: $1"; exit 1; }' _ {}
}

cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j "$jobs"
(cd build && ctest "${ctest_args[@]}")
run_whole_binaries build

cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DPEL_SANITIZE=ON \
      -DPEL_BUILD_UI=OFF -DPEL_BUILD_BENCHMARKS=OFF
cmake --build build-asan -j "$jobs"
(cd build-asan && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
   UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 ctest "${ctest_args[@]}")
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  run_whole_binaries build-asan
