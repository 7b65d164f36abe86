#!/usr/bin/env bash
# Sends a sample file with each uploader to the simulated device and says
# whether what arrived is identical. Uses the builds whose port is a link in
# the build folder, so no real serial port is touched.
set -euo pipefail
build=${1:-build}
port=$build/under-test/ttyCOM6
work=$(mktemp -d)
trap 'rm -rf "$work"; [ -n "${device_pid:-}" ] && kill "$device_pid" 2>/dev/null; true' EXIT

# A sample with every byte value (among them 0x00, 0x10, 0x11, 0x13, 0x90,
# 0xFF) and some text with line ends: 1059 bytes, two blocks for pelkron2.
sample=$work/sample.bin
{
  for round in 1 2 3 4; do
    for value in $(seq 0 255); do printf "%b" "\\x$(printf %02x "$value")"; done
  done
  printf 'Nibble upload demo.\r\nSecond line.\n\032'
} > "$sample"

status=0
demo() {  # program, device options...
  local program=$1; shift
  local received=$work/received-$(basename "$program").bin
  echo "== $(basename "$program") $sample ($(stat -c %s "$sample") bytes)"
  "$build/device/pelkron-device" --link "$port" --out "$received" "$@" > "$work/summary" 2> "$work/device.log" &
  device_pid=$!
  for _ in $(seq 50); do [ -L "$port" ] && break; sleep 0.1; done
  "$program" "$sample" > "$work/echo"
  echo "   $(wc -l < "$work/echo") echo lines, the first: $(head -1 "$work/echo"), the last: $(tail -1 "$work/echo")"
  wait "$device_pid" || true
  device_pid=
  sed 's/^/   device: /' "$work/summary"
  if cmp -s "$sample" "$received"; then
    echo "   IDENTICAL: what arrived is the file that was sent"
  else
    echo "   DIFFERENT: what arrived is not the file that was sent"
    status=1
  fi
}

demo "$build/under-test/pelkron"
demo "$build/under-test/pelkron2" --block
exit $status
