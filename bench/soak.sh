#!/usr/bin/env bash
# Soak, not a test: many programming runs of the real korvel against the real zemlot-sim on
# a noisy line (one byte in N on the wire has a bit flipped, each run with its own seed), half
# of them with the documented pauses and half with KORVEL_PACING=reply. Each run ends as
# programmed (its start confirmed, or not confirmed by a device that has left its bootloader),
# ended with a message, or still running at its time limit (a hang). A run whose report says
# something the device contradicts is a wrong verdict:
#   - programmed ("Подтверждение получено" or "не получено") but the device does not hold the
#     image (its flash, dumped at the end) or, confirmed, did not start it;
#   - the device's checksum called a match while the device does not hold the image, or a
#     mismatch while it does;
#   - "Ошибка записи" though the device refused nothing.
# It prints one line per run and a table of outcomes, and exits 1 on any hang or wrong verdict.
# Usage: bench/soak.sh [runs per pacing (50)] [one byte in N hit (1000)] [image bytes (1024)]
#        [runs side by side (4)] [time limit per run in s (120)] [build dir (build)]
# Environment: SOAK_RESEND, the loader's KORVEL_RESEND (unset: none); SOAK_SIM, more options
# for zemlot-sim (for example "--rewrite refuse --after-goto silent").
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-50} rate=${2:-1000} size=${3:-1024} jobs=${4:-4} limit=${5:-120} build=${6:-build}
for p in korvel zemlot-sim cct; do
  [ -x "$build/$p" ] || { echo "soak: $build/$p missing; build first" >&2; exit 2; }
done

work=$(mktemp -d)
trap 'pkill -P $$ 2>/dev/null || true; rm -rf "$work"' EXIT
head -c "$size" /dev/urandom >"$work/image.bin"
"$build/cct" make --in "$work/image.bin" --out "$work/soak.cct" >/dev/null

# One run: prints "<n> <pacing> <outcome>", the outcome one word and then the message.
one_run() {
  local n=$1 mode=$2 dir="$work/run$1" sim_pid port="" verdict
  mkdir "$dir"
  # shellcheck disable=SC2086
  "$build/zemlot-sim" --byte-errors "$rate" --seed "$n" --dump "$dir/flash" ${SOAK_SIM:-} \
    >"$dir/sim.out" 2>&1 &
  sim_pid=$!
  for _ in $(seq 50); do
    port=$(head -n 1 "$dir/sim.out" 2>/dev/null || true)
    [ -n "$port" ] && break
    sleep 0.1
  done
  if [ -z "$port" ]; then
    kill -TERM "$sim_pid" 2>/dev/null || true
    echo "$n ${mode:-documented} SETUP zemlot-sim did not start"
    return
  fi
  local rc=0
  echo Y | KORVEL_PACING=$mode KORVEL_RESEND=${SOAK_RESEND:-} LANG=C.UTF-8 \
    timeout "$limit" "$build/korvel" "$port" 1 "$work/soak.cct" P >"$dir/korvel.out" 2>&1 || rc=$?
  kill -TERM "$sim_pid" 2>/dev/null || true
  wait "$sim_pid" 2>/dev/null || true
  local out="$dir/korvel.out" sim="$dir/sim.out"
  local started refused holds=0 green=0
  started=$(grep -c '^application started: yes' "$sim" || true)
  refused=$(sed -n 's/^refused: \([0-9]*\).*/\1/p' "$sim")
  # The device holds the image when its flash from 0x08001000 on is the plain image.
  tail -c +4097 "$dir/flash" 2>/dev/null | cmp -s -n "$size" - "$work/image.bin" && holds=1
  grep -A1 "^Получена контрольная сумма" "$out" | grep -q "^Контрольная сумма совпала$" && green=1
  if [ "$rc" = 124 ]; then
    verdict="HANG still running after ${limit} s"
  elif grep -q "Подтверждение получено" "$out"; then
    if [ "$started" = 1 ] && [ "$holds" = 1 ]; then
      verdict="programmed"
    else
      verdict="WRONG programmed reported, the device holds the image: $holds, started: $started"
    fi
  elif grep -q "Подтверждение не получено" "$out"; then
    if [ "$holds" = 1 ]; then
      verdict="programmed, its start not confirmed"
    else
      verdict="WRONG programmed reported (start not confirmed), the device lacks the image"
    fi
  elif [ "$green" = 1 ] && [ "$holds" = 0 ]; then
    verdict="WRONG a checksum match reported, the device lacks the image"
  elif grep -q "Контрольная сумма не совпала$" "$out" && [ "$holds" = 1 ]; then
    verdict="WRONG a mismatch reported, but the device holds the image"
  elif grep -q "Ошибка записи" "$out" && [ "${refused:-0}" = 0 ]; then
    verdict="WRONG $(grep -o 'Ошибка записи[^$]*' "$out" | head -n 1) though nothing was refused"
  else
    # The last message that ends a run, or the exit status.
    verdict="ended $(grep -aoE 'Ошибка контр\. суммы в блоке [0-9]+|Ошибка записи [0-9A-F]+ в блоке [0-9]+|Контрольная сумма не совпала|Write error|Ошибка стирания [^\r]*' "$out" | tail -n 1)"
    [ "$verdict" = "ended " ] &&
      verdict="ended with exit status $rc: $(tr '\r' '\n' <"$out" | grep -v '^ *$' | tail -n 1)"
  fi
  echo "$n ${mode:-documented} $verdict"
}
export -f one_run
export work build rate limit size SOAK_RESEND SOAK_SIM

{
  for n in $(seq 1 "$runs"); do echo "$n ''"; done
  for n in $(seq $((runs + 1)) $((2 * runs))); do echo "$n reply"; done
} | xargs -P "$jobs" -L 1 bash -c 'one_run "$0" "$1"' | tee "$work/results"

echo "== $((2 * runs)) runs, one byte in $rate hit, a $size-byte image," \
  "KORVEL_RESEND=${SOAK_RESEND:-(unset)}, zemlot-sim ${SOAK_SIM:-(defaults)}"
cut -d' ' -f2- "$work/results" | sed 's/ [0-9]*$//; s/блоке [0-9]*/блоке N/' | sort | uniq -c
! grep -qE ' (HANG|WRONG|SETUP) ' "$work/results"
