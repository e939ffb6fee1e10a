#!/bin/sh
# fvcrashtool_test.sh TOOL CRASHME
tool="$1"; crashme="$2"
dir=$(mktemp -d) || exit 1
trap 'rm -rf "$dir"' EXIT
ASAN_OPTIONS=handle_segv=0:detect_leaks=0 UBSAN_OPTIONS=halt_on_error=0 "$crashme" null "$dir" 2>/dev/null
[ -s "$dir/live_report.fvcrash" ] || { echo "no report"; exit 1; }
"$tool" text "$dir/live_report.fvcrash" > "$dir/text" || { echo "text failed"; exit 1; }
grep -q "^Exception Type:  SIGSEGV$" "$dir/text" || { echo "no exception type"; cat "$dir/text"; exit 1; }
grep -q "crashme_null_store" "$dir/text" || { echo "no crashing function"; exit 1; }
"$tool" json "$dir/live_report.fvcrash" > "$dir/json" || { echo "json failed"; exit 1; }
grep -q '"process": "fvcrash_crashme \[' "$dir/json" || { echo "no process"; exit 1; }
head -c 20 "$dir/live_report.fvcrash" > "$dir/short"
"$tool" text "$dir/short" > /dev/null 2> "$dir/err"; status=$?
[ "$status" = 1 ] || { echo "truncated exit $status"; exit 1; }
grep -q "decod" "$dir/err" || { echo "no decoder message"; exit 1; }
"$tool" > /dev/null 2>&1; status=$?
[ "$status" = 2 ] || { echo "usage exit $status"; exit 1; }
echo ok
