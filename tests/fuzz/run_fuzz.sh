#!/bin/sh
# Runs the libFuzzer targets one after the other, each for a set time, and prints a table of
# executions and findings. Usage: run_fuzz.sh <fuzz build dir> <seconds> [target ...]
# New inputs go to <build>/corpus/<target> (not committed); the committed seeds in
# tests/fuzz/corpus/<target> are read too. A finding (crash, leak, timeout, out-of-memory) is
# written to tests/fuzz/crashes/<target>/, where `make test` replays it. Exit status 1 when any
# target had a finding.
set -u
build=$1
seconds=$2
shift 2
src=$(cd "$(dirname "$0")" && pwd)
targets="$*"
if [ -z "$targets" ]; then
  targets="field_data transact http_request http_block file_path flat_file news_database prefs ban_file ip_range user_data folder_item"
fi
mkdir -p "$build/fuzz-logs"
summary="$build/fuzz-logs/summary.txt"
: > "$summary"
status=0
for t in $targets; do
  bin="$build/fuzz_$t"
  if [ ! -x "$bin" ]; then echo "no fuzz binary $bin"; status=1; continue; fi
  mkdir -p "$build/corpus/$t" "$src/crashes/$t" "$src/corpus/$t"
  log="$build/fuzz-logs/$t.log"
  before=$(ls "$src/crashes/$t" | wc -l)
  # Longest input: enough to reach the limits the target can reach, and no more (a run costs
  # time in proportion to its length). Path data stops at 2048 bytes, a range text is one line,
  # and a field list shows everything it can with a few hundred fields; the tunnel's header cap
  # (7168) and the files need more.
  case $t in
    field_data|file_path|ip_range) max_len=4096 ;;
    *) max_len=8192 ;;
  esac
  echo "== fuzzing $t for ${seconds}s"
  # malloc_context_size: shorter allocation stacks in reports, far cheaper allocations.
  ASAN_OPTIONS=detect_leaks=1:allocator_may_return_null=0:malloc_context_size=5 \
  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    "$bin" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len="$max_len" -print_final_stats=1 \
    -artifact_prefix="$src/crashes/$t/" "$build/corpus/$t" "$src/corpus/$t" > "$log" 2>&1
  rc=$?
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n1)
  [ -n "$runs" ] || runs=$(sed -n 's/^#\([0-9]*\).*/\1/p' "$log" | tail -n1)
  after=$(ls "$src/crashes/$t" | wc -l)
  found=$((after - before))
  result=clean
  if [ "$rc" -ne 0 ] || [ "$found" -ne 0 ]; then
    result="FINDING (exit $rc, $found new input(s) in tests/fuzz/crashes/$t; log $log)"
    status=1
  fi
  printf '%-14s %12s runs  %s\n' "$t" "${runs:-?}" "$result" | tee -a "$summary"
done
echo "== summary (also in $summary)"
cat "$summary"
exit $status
