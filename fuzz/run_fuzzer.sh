#!/usr/bin/env bash
# Runs one libFuzzer target for a bounded time, starting from the seed
# corpus in the repository; what it learns goes to a scratch corpus in the
# build tree, never into the repository. A finding (crash, leak, sanitizer
# report, timeout) is saved beside that corpus and fails the run.
#
#   run_fuzzer.sh TARGET CORPUS[:CORPUS...] DICTIONARY|- MAX_LEN SECONDS
#
# VUE_FUZZ_SECONDS in the environment overrides SECONDS; VUE_FUZZ_JOBS runs
# that many fuzzing processes at once (libFuzzer's -fork).
set -euo pipefail
target=$1 corpora=$2 dict=$3 max_len=$4 seconds=${VUE_FUZZ_SECONDS:-$5}
name=$(basename "$target")
work=$(dirname "$target")/fuzz-work/$name
mkdir -p "$work/corpus" "$work/findings"
IFS=: read -r -a seeds <<<"$corpora"
args=(-max_total_time="$seconds" -max_len="$max_len" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1
      -artifact_prefix="$work/findings/")
[ "$dict" != - ] && args+=(-dict="$dict")
[ -n "${VUE_FUZZ_JOBS:-}" ] && args+=(-fork="$VUE_FUZZ_JOBS" -ignore_crashes=0)
status=0
ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1} UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1} \
  "$target" "${args[@]}" "$work/corpus" "${seeds[@]}" >"$work/log" 2>&1 || status=$?
runs=$(sed -nE 's/^stat::number_of_executed_units: *([0-9]+).*/\1/p' "$work/log" | tail -n 1)
rate=$(sed -nE 's/^stat::average_exec_per_sec: *([0-9]+).*/\1/p' "$work/log" | tail -n 1)
cov=$(grep -oE 'cov: [0-9]+ ft: [0-9]+' "$work/log" | tail -n 1 || true)
if [ -z "$runs" ]; then  # -fork prints no final statistics, only progress lines
  last=$(grep -E '^#[0-9]+: cov:' "$work/log" | tail -n 1 || true)
  runs=$(sed -nE 's/^#([0-9]+):.*/\1/p' <<<"$last")
  rate=$(sed -nE 's/.*exec\/s ([0-9]+).*/\1/p' <<<"$last")
fi
echo "$name: ${runs:-?} runs in ${seconds} s, ${rate:-?} exec/s, ${cov:-no coverage line}, corpus $(ls "$work/corpus" | wc -l) inputs"
if [ $status -ne 0 ]; then
  tail -n 60 "$work/log"
  echo "$name: FAILED (exit $status); the input is in $work/findings/"
  exit 1
fi
