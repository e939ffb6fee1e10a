#!/usr/bin/env bash
# Builds everything and runs every test: first the normal build (with the Qt
# user interface and the benchmarks), then the plain-C++ libraries under
# AddressSanitizer and UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh

jobs=$(nproc)
ctest_args=(--output-on-failure --no-tests=error -j "$jobs" --timeout 300)

cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j "$jobs"
(cd build && ctest "${ctest_args[@]}")

cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DPEL_SANITIZE=ON \
      -DPEL_BUILD_UI=OFF -DPEL_BUILD_BENCHMARKS=OFF
cmake --build build-asan -j "$jobs"
(cd build-asan && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
   UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 ctest "${ctest_args[@]}")
