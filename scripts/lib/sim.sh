# Shared by the demonstration and the benchmark: starts zemlot-sim in the background and
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
