#!/usr/bin/env bash
# Benchmark, not a test: the pace of the search for the bootloader, in ms from one frame to the
# next, read off the loader's trace (KORVEL_TRACE) of an information run against zemlot-sim on
# a pseudo-terminal, for a device that does not answer the first 20 frames in four ways: silent,
# answering from another address, answering with a bad CRC-8, and at address 0 while the loader
# is given network number 256 (never found; the run is stopped after 3 s). It prints the mean
# and the longest gap over those frames, and the gap after the device is found. Documented: 98
# + 21 + 28 ms after a frame's write for silence, 98 + 21 ms when a reply waits (the write itself
# returns at once on a pseudo-terminal).
# Usage: bench/search_pace.sh [build-dir]   (default: build)
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib/sim.sh
build=${1:-build}
build=$(cd "$build" && pwd)
bench_setup "$build" 64 pace.cct korvel zemlot-sim cct

# The gaps between the frames' trace lines: the mean and longest of the first n, then the next.
pace() {
  awk -v n="$1" '/  -> / { t[++k] = $1 } END {
    for (i = 2; i <= n + 1 && i <= k; ++i) { g = t[i] - t[i - 1]; s += g; if (g > m) m = g }
    printf "%d frames: mean %.1f ms, longest %.1f ms", (i - 2), s / (i - 2), m
    if (k > n + 2) printf "; once found: %.1f ms", t[n + 3] - t[n + 2]
    printf "\n"
  }' "$work/trace"
}

run() {
  local what=$1 netnum=$2 limit=$3
  shift 3
  start_sim "$build" "$work/sim.out" "$@"
  KORVEL_TRACE="$work/trace" LANG=C.UTF-8 timeout -s INT "$limit" "$build/korvel" "$port" "$netnum" \
    "$work/pace.cct" I >/dev/null 2>&1 || true
  stop_sim
  printf '%-34s ' "$what:"
  pace 20
}

run "silent" 1 10 --silent 20
run "another address" 1 10 --wrong-address 1-20
run "bad CRC-8" 1 10 --bad-crc 1-20
run "address 0, netnum 256 (3 s)" 256 3 --netnum 0
