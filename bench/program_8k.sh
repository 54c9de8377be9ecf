#!/usr/bin/env bash
# Benchmark, not a test: a programming run of an 8 KB image against zemlot-sim. Prints the
# wall time, the floor that the loader's documented pauses imply for the exchanges it
# actually made (counted from the emulator's summary), their ratio, and the loader's CPU
# time as a share of the wall time. Aim: ratio at most 1.02, CPU at most 1 %.
# Usage: bench/program_8k.sh [build-dir]   (default: build)
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib/sim.sh
build=${1:-build}
for p in korvel zemlot-sim cct; do
  [ -x "$build/$p" ] || { echo "bench: $build/$p missing; build first" >&2; exit 2; }
done

work=$(mktemp -d)
sim_pid=""
trap '[ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null; rm -rf "$work"' EXIT

head -c 8192 /dev/urandom >"$work/image.bin"
"$build/cct" make --in "$work/image.bin" --out "$work/bench.cct" >/dev/null
start_sim "$build" "$work/sim.out"

TIMEFORMAT='%3R %3U %3S'
times_line=$( { time (echo Y | LANG=C.UTF-8 "$build/korvel" "$port" 1 "$work/bench.cct" P \
  >"$work/korvel.out" 2>&1); } 2>&1 )
kill -TERM "$sim_pid"
wait "$sim_pid" || true
sim_pid=""

read -r wall user sys <<<"$times_line"
grep -q "Подтверждение получено" "$work/korvel.out" || { echo "bench: the run did not succeed" >&2; exit 1; }
commands=$(grep '^commands:' "$work/sim.out")
count() { sed -n "s/.*$1 \([0-9]*\).*/\1/p" <<<"$commands"; }
blocks=$(count write_block)
engine=0
for c in activate get_blid get_keyid unblock_flash erase_page get_crc goto_application; do
  engine=$((engine + $(count "$c")))
done
# Pauses: 98 + 21 ms per engine exchange, 69 ms per block, 100 ms before the answer, 2000 ms
# at the end.
floor_ms=$((engine * 119 + blocks * 69 + 100 + 2000))
awk -v wall="$wall" -v user="$user" -v sys="$sys" -v floor="$floor_ms" \
  -v engine="$engine" -v blocks="$blocks" 'BEGIN {
  printf "exchanges: %d engine, %d blocks\n", engine, blocks
  printf "wall time: %.3f s\n", wall
  printf "floor from the pauses: %.3f s\n", floor / 1000
  printf "ratio wall/floor: %.4f\n", wall / (floor / 1000)
  printf "loader CPU: %.3f s user + %.3f s system = %.2f %% of wall\n", user, sys, 100 * (user + sys) / wall
}'
