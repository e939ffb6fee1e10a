#!/usr/bin/env bash
# Checks that every tracked C and C++ file is formatted as the committed
# .clang-format says (clang-format 14, Debian 12's), and lists those that are
# not with the command that formats them. CI runs it before any build.
#
#   bash scripts/check-format.sh
set -euo pipefail
. "$(dirname "$0")/common.sh"
take_no_arguments "$@"
cd "$(dirname "$0")/.."

if ! command -v clang-format > /dev/null; then
  echo "check-format.sh: clang-format is missing; bash scripts/install-deps.sh installs it" >&2
  exit 2
fi

patterns=('*.c' '*.cc' '*.cpp' '*.cxx' '*.h' '*.hh' '*.hpp')
output=$(git ls-files -z -- "${patterns[@]}" |
  xargs -0 -r -P "$(nproc)" -n 25 clang-format --dry-run --Werror 2>&1) && status=0 || status=$?
if [ "$status" -eq 0 ]; then
  echo "format: every tracked C/C++ file matches .clang-format"
  exit 0
fi

mapfile -t unformatted < <(printf '%s\n' "$output" |
  sed -n 's/^\(.*\):[0-9][0-9]*:[0-9][0-9]*: error: code should be clang-formatted.*/\1/p' |
  sort -u)
if [ "${#unformatted[@]}" -eq 0 ]; then
  # clang-format itself failed (not a formatting difference): show why.
  printf '%s\n' "$output" >&2
  echo "check-format.sh: clang-format failed" >&2
  exit 1
fi
{
  echo "Files that differ from .clang-format (${#unformatted[@]}; $(clang-format --version)):"
  printf '  %s\n' "${unformatted[@]}"
  echo "Format them with:"
  printf '  clang-format -i'
  printf ' %q' "${unformatted[@]}"
  printf '\n'
} >&2
exit 1
