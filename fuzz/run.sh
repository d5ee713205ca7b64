#!/bin/sh
# Runs every fuzz target of a built fuzz tree for a bounded time.
#   fuzz/run.sh <build-dir> <seconds-per-target> [target...]
# Each target starts from its seeds (fuzz/corpus/<target>, never written)
# and a working corpus in <build-dir>/corpus/<target> that persists across
# runs. Findings (crash-*, leak-*, timeout-*, oom-*) are left in
# <build-dir>/findings/<target>/ and the log in <build-dir>/logs/<target>.log.
# Exits non-zero if any target found something.
set -u
build=$1
seconds=$2
shift 2
here=$(cd "$(dirname "$0")" && pwd)
targets=${*:-"fuzz_free_form fuzz_table fuzz_run_lists fuzz_naming"}
status=0
for target in $targets; do
  findings=$build/findings/$target
  corpus=$build/corpus/$target
  mkdir -p "$findings" "$corpus" "$build/logs"
  case $target in
    fuzz_table) max_len=40000 ;;
    *) max_len=4096 ;;
  esac
  log=$build/logs/$target.log
  "$build/fuzz/$target" "$corpus" "$here/corpus/$target" \
    -max_total_time="$seconds" -max_len="$max_len" -timeout=10 -rss_limit_mb=2048 \
    -artifact_prefix="$findings/" -print_final_stats=1 >"$log" 2>&1
  rc=$?
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
  found=$(find "$findings" -type f | wc -l)
  echo "$target: exit $rc, ${runs:-?} executions, $found finding(s) in $findings"
  if [ "$rc" -ne 0 ] || [ "$found" -ne 0 ]; then
    status=1
    tail -n 30 "$log"
  fi
done
exit $status
