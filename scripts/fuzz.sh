#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (CMake preset fuzz, in build-fuzz)
# and runs each one in turn for the given number of seconds (default 60) on a
# copy of its seed corpus fuzz/corpus/<name> (the target <name>_fuzz), so the
# committed seeds stay as they are. With the default, the whole run takes
# about a minute per target after the build; it prints the count of targets
# and the total when it starts.
# Inputs that crash are kept as build-fuzz/runs/<name>-crash-*; the script
# ends with status 1 when any target found one.
#
#   bash scripts/fuzz.sh [seconds]
#   bash scripts/fuzz.sh --help
#
# JOBS sets the build's parallel jobs (default: every processor). The seeds
# are made by the project's own writers: build the fuzzseeds tool and run
# "build/tools/fuzzseeds dev-keys fuzz/corpus" to make them again.
set -euo pipefail
. "$(dirname "$0")/common.sh"
help_if_asked "$@"
cd "$(dirname "$0")/.."
if (($# > 1)) || ! [[ ${1:-60} =~ ^[1-9][0-9]*$ ]]; then
  echo "fuzz.sh: the one argument is a whole number of seconds per target (see --help)" >&2
  exit 2
fi
seconds=${1:-60}
jobs=${JOBS:-$(nproc)}
# Undefined behaviour counts as a finding, like a crash. A single request
# for more than 2000 MB gets null, as it would on a machine without that
# memory, so the libraries' own checks for a failed allocation are what is
# tested; memory that grows past 2048 MB in smaller requests is a finding.
export ASAN_OPTIONS=${ASAN_OPTIONS:-allocator_may_return_null=1:max_allocation_size_mb=2000}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1}

cmake --preset fuzz
cmake --build --preset fuzz -j "$jobs"

runs=build-fuzz/runs
failed=()
targets=(build-fuzz/fuzz/*_fuzz)
echo "${#targets[@]} targets, $seconds s each: about $(((${#targets[@]} * seconds + 59) / 60)) minutes"
for fuzzer in "${targets[@]}"; do
  name=$(basename "$fuzzer" _fuzz)
  rm -rf "${runs:?}/$name"
  mkdir -p "$runs/$name"
  if [[ -d "fuzz/corpus/$name" ]]; then cp -R "fuzz/corpus/$name/." "$runs/$name/"; fi
  echo "== $name: $seconds s on $(ls "$runs/$name" | wc -l) seeds"
  if ! "$fuzzer" -max_total_time="$seconds" -rss_limit_mb=2048 -malloc_limit_mb=2048 \
       -print_final_stats=1 \
       -artifact_prefix="$runs/$name-" "$runs/$name" > "$runs/$name.log" 2>&1; then
    tail -40 "$runs/$name.log"
    failed+=("$name")
  fi
  grep -E "^stat::(number_of_executed_units|new_units_added)|cov:" "$runs/$name.log" | tail -3 || true
done

if ((${#failed[@]})); then
  echo "fuzz targets that failed: ${failed[*]} (inputs in $runs)"
  exit 1
fi
echo "every fuzz target ran $seconds s without a failure"
