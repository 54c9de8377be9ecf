# shellcheck shell=bash
# Shared by the demonstration and the benchmarks: starts zemlot-sim in the background and
# waits for the terminal it plays the device on. Sets sim_pid and port.
# Usage: start_sim BUILD_DIR OUT_FILE [zemlot-sim options...]
start_sim() {
  local build=$1 out=$2
  shift 2
  "$build/zemlot-sim" "$@" >"$out" 2>"$out.err" &
  sim_pid=$!
  port=""
  for _ in $(seq 50); do
    port=$(head -n 1 "$out" 2>/dev/null || true)
    [ -n "$port" ] && return 0
    sleep 0.1
  done
  echo "zemlot-sim did not start:" >&2
  cat "$out.err" >&2
  return 1
}

# Ends the emulator start_sim started; it writes its summary as it goes.
stop_sim() {
  kill -TERM "$sim_pid" 2>/dev/null || true
  wait "$sim_pid" 2>/dev/null || true
  sim_pid=""
}

# For the benchmarks: a scratch folder (work), removed at exit with any emulator still
# running, holding SIZE random bytes enciphered into work/NAME. The programs named must be
# built in BUILD_DIR.
# Usage: bench_setup BUILD_DIR SIZE NAME PROGRAM...
bench_setup() {
  local build=$1 size=$2 name=$3 p
  shift 3
  for p in "$@"; do
    [ -x "$build/$p" ] || { echo "bench: $build/$p missing; build first" >&2; exit 2; }
  done
  work=$(mktemp -d)
  sim_pid=""
  trap '[ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null; rm -rf "$work"' EXIT
  head -c "$size" /dev/urandom >"$work/image.bin"
  "$build/cct" make --in "$work/image.bin" --out "$work/$name" >/dev/null
}
