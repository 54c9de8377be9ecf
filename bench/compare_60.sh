#!/usr/bin/env bash
# Benchmark, not a test: a programming run of a 60-page image into a device that already holds
# it, with KORVEL_COMPARE=1 and without, in the pacing KORVEL_PACING says (default: the
# documented pauses, about 11 minutes without the comparison). Prints each run's wall time.
# Usage: bench/compare_60.sh [build-dir]   (default: build)
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib/sim.sh
build=${1:-build}
bench_setup "$build" $((60 * 1024)) image.cct korvel zemlot-sim cct
for compare in 1 ""; do
  start_sim "$build" "$work/sim.out" --holds "$work/image.cct" --work-ms erase=25,write=1
  start=$EPOCHREALTIME
  echo Y | KORVEL_COMPARE=$compare LANG=C.UTF-8 "$build/korvel" "$port" 1 "$work/image.cct" P \
    >"$work/korvel.out" 2>&1
  end=$EPOCHREALTIME
  stop_sim
  grep -q "Подтверждение получено" "$work/korvel.out" || { echo "bench: the run failed" >&2; exit 1; }
  awk -v a="$start" -v b="$end" -v c="${compare:-unset}" -v p="${KORVEL_PACING:-documented}" \
    'BEGIN { printf "KORVEL_COMPARE=%s, %s pauses: %.1f s\n", c, p, b - a }'
done
