#!/usr/bin/env bash
# Builds everything and runs every test, in three builds made with the CMake
# presets of CMakePresets.json (each in its own folder):
#
#   default  build/       the normal build (Qt user interface, benchmarks);
#                         its tests, then each test binary once more as one
#                         process
#   asan     build-asan/  the plain-C++ libraries under AddressSanitizer and
#                         UndefinedBehaviorSanitizer; the same two runs
#   tsan     build-tsan/  the platform and submission suites under
#                         ThreadSanitizer
#
#   bash scripts/test.sh
#
# First installs the Debian packages (scripts/install-deps.sh). Takes about
# 20 minutes on an idle 8-core machine from nothing; rebuilds are incremental.
set -euo pipefail
. "$(dirname "$0")/common.sh"
take_no_arguments "$@"
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh

jobs=$(nproc)

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

# Configures, builds and tests one preset.
run_preset() {
  local start=$SECONDS
  cmake --preset "$1"
  cmake --build --preset "$1" -j "$jobs"
  ctest --preset "$1" -j "$jobs"
  echo "== $1: configured, built and tested in $((SECONDS - start)) s"
}

run_preset default
run_whole_binaries build

run_preset asan
# The test preset sets these for CTest; the whole-binary runs need them too.
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  run_whole_binaries build-asan

run_preset tsan
