#!/bin/sh
# Code that runs while the process is crashing may call only what is safe in
# a signal handler. Lists every symbol that the crash-path objects (those
# under crash/ among the arguments) take from elsewhere and fails on any that
# is neither the crash path's own nor on the allowlist.
#   check_crash_path_symbols.sh <object files...>
set -eu
allowed='^(_GLOBAL_OFFSET_TABLE_|__errno_location|__libc_current_sigrtmax|__libc_current_sigrtmin|_r_debug|abort|clock_gettime|close|mmap|mprotect|munmap|nanosleep|pthread_sigmask|read|sched_yield|sigaction|sigemptyset|sigfillset|strlen|syscall|sysconf|time|memcpy|memmove|memset|memcmp|__stack_chk_fail|__asan_.*|__ubsan_.*|__sanitizer_.*|__lsan_.*|fvcrash_.*|FVCrash.*|_Z[0-9]+fvcrash_.*|_Z[0-9]+FVCrash.*|_ZN?K?[0-9]*fvcrash_.*)$'
objects=""
for object in "$@"; do
  case "$object" in
    */pel_fvcrashreporter.dir/crash/* | */pel_fvcrashreporter.dir/./crash/*) objects="$objects $object" ;;
  esac
done
[ -n "$objects" ] || { echo "no crash-path objects given" >&2; exit 2; }
# shellcheck disable=SC2086
bad=$(nm -u $objects | awk 'NF == 2 { print $2 }' | sort -u | grep -Ev "$allowed" || true)
if [ -n "$bad" ]; then
  echo "crash-path code uses:" >&2
  echo "$bad" | c++filt >&2
  exit 1
fi
echo "crash-path symbols within the allowlist"
