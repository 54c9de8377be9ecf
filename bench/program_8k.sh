#!/usr/bin/env bash
# Benchmark, not a test: a programming run of an 8 KB image (1024 blocks) against zemlot-sim
# at 9600 baud with a realistic flash working time (erase 25 ms, write 1 ms), with the
# documented pauses, with KORVEL_PACING=reply, and with reply pacing through an adapter that
# hands received bytes over every 16 ms (a common USB adapter's default). The emulator's line
# is the wire's: both directions at 9600 baud, half duplex. For each mode it prints the wall
# time, the time per block (from the first block's confirmation to the last one's) and its
# ratio to the line's limit of 24 ms a block (a 16-byte frame and a 7-byte reply, 10 bits a
# byte) plus the device's 2 ms turnaround and 1 ms of work, and the loader's CPU time as a
# share of the wall time. For the documented mode it also prints the floor its pauses imply
# for the exchanges it made; at the end, the ratio of the wall times. Aims: documented mode
# at most 1.02 of its floor; reply-driven at most 0.40 of the documented wall time and at
# most 1.5 x the line's limit and the device's time a block; CPU at most 1 %.
# Usage: bench/program_8k.sh [build-dir]   (default: build)
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib/sim.sh
build=${1:-build}
bench_setup "$build" 8192 bench.cct korvel zemlot-sim cct

# Notes when the first block is confirmed and when the last one is, from the loader's
# progress texts as they come (each ends with a carriage return).
block_times() {
  local first="" last="" part
  while IFS= read -r -d $'\r' part || [ -n "$part" ]; do
    printf '%s\r' "$part"
    case $part in
      *"Блок 0 записан"*) first=$EPOCHREALTIME ;;
      *"Все блоки записаны"*) last=$EPOCHREALTIME ;;
    esac
  done
  echo "$first $last" >"$work/blocks.t"
}

# One run in the given mode (empty: the documented pauses), the rest of the arguments going to
# the emulator; sets wall, user, sys, blocks, engine, per_block_ms.
run_mode() {
  local mode=$1
  shift
  start_sim "$build" "$work/sim.out" --work-ms erase=25,write=1 "$@"
  # Only the loader is timed; its two streams go to block_times.
  (
    TIMEFORMAT='%3R %3U %3S'
    time (echo Y | KORVEL_PACING=$mode LANG=C.UTF-8 "$build/korvel" "$port" 1 "$work/bench.cct" P 2>&1)
  ) 2>"$work/times" | block_times >"$work/korvel.out"
  stop_sim
  read -r wall user sys <"$work/times"
  grep -q "Подтверждение получено" "$work/korvel.out" || {
    echo "bench: the run with KORVEL_PACING='$mode' $* did not succeed" >&2
    exit 1
  }
  local commands first last c
  commands=$(grep '^commands:' "$work/sim.out")
  count() { sed -n "s/.*$1 \([0-9]*\).*/\1/p" <<<"$commands"; }
  blocks=$(count write_block)
  engine=0
  for c in activate get_blid get_keyid unblock_flash erase_page get_crc goto_application; do
    engine=$((engine + $(count "$c")))
  done
  read -r first last <"$work/blocks.t"
  per_block_ms=$(awk -v a="$first" -v b="$last" -v n="$blocks" 'BEGIN { print 1000 * (b - a) / (n - 1) }')
  awk -v wall="$wall" -v user="$user" -v sys="$sys" -v engine="$engine" -v blocks="$blocks" \
    -v per="$per_block_ms" 'BEGIN {
    printf "exchanges: %d engine, %d blocks\n", engine, blocks
    printf "wall time: %.3f s\n", wall
    printf "time per block: %.1f ms, %.2f x the line limit of 24 ms and the device'"'"'s 3 ms\n", per, per / 27
    printf "loader CPU: %.3f s user + %.3f s system = %.2f %% of wall\n", user, sys, 100 * (user + sys) / wall
  }'
}

echo "== documented pauses"
run_mode ""
fixed_wall=$wall
# Pauses: 98 + 21 ms per engine exchange, 69 ms per block, 100 ms before the answer, 2000 ms
# at the end.
floor_ms=$((engine * 119 + blocks * 69 + 100 + 2000))
awk -v wall="$wall" -v floor="$floor_ms" 'BEGIN {
  printf "floor from the pauses: %.3f s, ratio wall/floor: %.4f\n", floor / 1000, wall / (floor / 1000)
}'

echo "== KORVEL_PACING=reply"
run_mode reply
awk -v r="$wall" -v s="$fixed_wall" 'BEGIN { printf "== wall time, reply-driven / documented: %.3f\n", r / s }'
echo "== KORVEL_PACING=reply, adapter latency 16 ms"
run_mode reply --latency-ms 16
awk -v r="$wall" -v s="$fixed_wall" 'BEGIN { printf "== wall time, reply-driven through the latency / documented: %.3f\n", r / s }'
