#!/usr/bin/env bash
# The main job, with no hardware: builds the programs, makes a sample container, starts the
# device emulator on a pseudo-terminal and programs it with korvel. The operator's "Y" is
# typed by you when standard input is a terminal and supplied otherwise. Ends with the
# emulator's summary, the container's own checksum to compare with it, and whether the
# application area holds the image. The image, the container and the emulator's flash and
# report are kept in build/demo for a closer look.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib/sim.sh

scripts/deps.sh --linux
cmake -S . -B build >/dev/null
cmake --build build -j"$(nproc 2>/dev/null || echo 2)" --target korvel zemlot-sim cct >/dev/null

work=build/demo
rm -rf "$work"
mkdir -p "$work"
sim_pid=""
cleanup() {
  [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null || true
}
trap cleanup EXIT

# A 1 KB sample image: 128 blocks, one page.
python3 -c 'import sys; sys.stdout.buffer.write(bytes((i * 29 + 5) & 255 for i in range(1024)))' \
  >"$work/firmware.bin" 2>/dev/null ||
  head -c 1024 /dev/urandom >"$work/firmware.bin"
build/cct make --in "$work/firmware.bin" --out "$work/sample.cct"
echo

start_sim build "$work/sim.out" --dump "$work/flash.bin"
echo "zemlot-sim plays the device on $port"
echo "\$ build/korvel $port 1 $work/sample.cct P"
echo

status=0
if [ -t 0 ]; then
  build/korvel "$port" 1 "$work/sample.cct" P || status=$?
else
  echo Y | build/korvel "$port" 1 "$work/sample.cct" P || status=$?
fi

stop_sim
echo
tail -n +2 "$work/sim.out"
# What the device checked against what the container says it must hold.
build/cct info "$work/sample.cct" | grep '^crc_decrypted:' | sed 's/^/container /'

# The device deciphers as it writes: its application area must now hold the plain image.
if cmp -s -i 4096:0 -n 1024 "$work/flash.bin" "$work/firmware.bin"; then
  echo "emulator: the application area holds the image"
else
  echo "emulator: the application area does NOT hold the image"
  [ "$status" -eq 0 ] && status=1
fi
echo "korvel exit status: $status"
echo "kept in $work: firmware.bin, sample.cct, flash.bin (the emulator's flash), sim.out"
exit "$status"
