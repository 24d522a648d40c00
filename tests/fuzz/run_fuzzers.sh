#!/usr/bin/env bash
# Runs the fuzz targets for a bounded time each, in two lanes at once so that both cores of a
# small machine work: usage run_fuzzers.sh BUILD_DIR SECONDS LANE [LANE ...], where a lane is a
# comma-separated list of target:weight and a target runs for SECONDS * weight / 2 seconds.
# Each target's output goes to BUILD_DIR/<target>.log; a summary line is printed per target,
# and the whole log of a failing one. The exit status is non-zero if any target failed.
set -u
build=$1 seconds=$2
shift 2

run_target() {
  local t=$1 weight=$2 log=$build/$1.log
  mkdir -p "$build/corpus/$t"
  if "$build/tests/fuzz/${t}_fuzz" "$build/corpus/$t" "tests/fuzz/corpus/$t" \
      -max_total_time=$((seconds * weight / 2)) -rss_limit_mb=2048 -malloc_limit_mb=256 \
      -max_len=65536 -timeout=10 -artifact_prefix="$build/$t-" -print_final_stats=1 \
      >"$log" 2>&1; then
    echo "$t: $(grep -E '^stat::(number_of_executed_units|peak_rss_mb)' "$log" | tr -s '\n ' ' ')"
  else
    tail -n 80 "$log"
    echo "$t failed; the whole output is in $log"
    return 1
  fi
}

run_lane() {
  local entry
  for entry in ${1//,/ }; do run_target "${entry%%:*}" "${entry##*:}" || return 1; done
}

pids=()
for lane in "$@"; do
  run_lane "$lane" &
  pids+=($!)
done
status=0
for pid in "${pids[@]}"; do wait "$pid" || status=1; done
exit $status
