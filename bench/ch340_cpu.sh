#!/usr/bin/env bash
# Benchmark, not a test: the loader's CPU share of the wall time in a reply-paced programming
# run of 100 blocks against zemlot-sim on a pseudo-terminal, through a port that behaves as a
# CH340 driver does (back at once with nothing, whatever the wait asked for), and through the
# port as it is. Aim: under 1 % of the wall time either way.
# Usage: bench/ch340_cpu.sh [build-dir]   (default: build)
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib/sim.sh
build=${1:-build}
for p in bench_ch340 zemlot-sim cct; do
  [ -x "$build/$p" ] || [ -x "$build/bench/$p" ] || { echo "bench: $p missing; build first" >&2; exit 2; }
done
bench=$build/bench_ch340
[ -x "$bench" ] || bench=$build/bench/bench_ch340
bench_setup "$build" 800 bench.cct zemlot-sim cct
for mode in ch340 plain; do
  start_sim "$build" "$work/sim.out" --work-ms erase=25,write=1
  echo Y | LANG=C.UTF-8 "$bench" "$mode" "$port" "$work/bench.cct" 2>&1 >/dev/null | tail -n 1
  stop_sim
done
