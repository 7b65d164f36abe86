#!/usr/bin/env bash
# make demo: each uploader sends a sample file to the simulated device on a
# pseudo-terminal, and one screen says what was sent, what the device
# received, whether the two are identical and how long it took. No real
# serial port is touched: the programs are given the device's line with -p.
#
#   demo.sh BUILD_FOLDER    (holds pelkron, pelkron2 and device/pelkron-device)
set -euo pipefail
build=${1:-build-demo}
for program in "$build/pelkron" "$build/pelkron2" "$build/device/pelkron-device"; do
  if [ ! -x "$program" ]; then
    echo "demo.sh: $program is missing: build it first (make demo does)" >&2
    exit 1
  fi
done
work=$(mktemp -d)
device_pid=
trap '[ -n "$device_pid" ] && kill "$device_pid" 2>/dev/null; rm -rf "$work"' EXIT
line=$work/com6

# Every byte value four times (0x00, 0x10, 0x11, 0x13, 0x90 and 0xFF among
# them) and some text with line ends: 1059 bytes, two blocks for pelkron2.
sample=$work/sample.bin
{
  for round in 1 2 3 4; do
    for value in $(seq 0 255); do printf "%b" "\\x$(printf %02x "$value")"; done
  done
  printf 'Nibble upload demo.\r\nSecond line.\n\032'
} > "$sample"
size=$(stat -c %s "$sample")

now() { date +%s.%N; }
seconds_since() { awk -v from="$1" -v to="$(now)" 'BEGIN { printf "%.2f", to - from }'; }

echo "make demo: pelkron and pelkron2 send a sample to the simulated device"
echo "  sample  $size bytes: every byte value 0x00..0xFF four times, then text with line ends"
echo "  device  pelkron-device on a pseudo-terminal, taking the data as fast as it comes"

status=0
demo() {  # program, device options...
  local program=$1; shift
  local name received summary started elapsed echo_lines acknowledgements sender_status
  name=$(basename "$program")
  received=$work/received-$name.bin
  summary=$work/summary-$name
  "$build/device/pelkron-device" --link "$line" --out "$received" "$@" > "$summary" 2> "$work/device-$name.log" &
  device_pid=$!
  for _ in $(seq 100); do [ -L "$line" ] && break; sleep 0.05; done
  started=$(now)
  sender_status=0
  "$program" -p "$line" "$sample" > "$work/echo-$name" 2> "$work/stderr-$name" || sender_status=$?
  elapsed=$(seconds_since "$started")
  wait "$device_pid" || true
  device_pid=
  echo_lines=$(grep -c '^0[0-9a-f] 0[0-9a-f]$' "$work/echo-$name" || true)
  acknowledgements=$(grep -c '^1 - 90$' "$work/echo-$name" || true)
  echo
  if [ "$acknowledgements" -gt 0 ]; then
    printf '%-9s sent      %s bytes in %s s: %s echo lines, %s acknowledgements, exit status %s\n' \
      "$name" "$size" "$elapsed" "$echo_lines" "$acknowledgements" "$sender_status"
  else
    printf '%-9s sent      %s bytes in %s s: %s echo lines, exit status %s\n' \
      "$name" "$size" "$elapsed" "$echo_lines" "$sender_status"
  fi
  sed -n 's/^\(received\|faults\) */\1 /p' "$summary" | sed 's/^/          device    /'
  sed 's/^/          stderr    /' "$work/stderr-$name"
  if [ "$sender_status" -eq 0 ] && cmp -s "$sample" "$received"; then
    echo "          result    IDENTICAL: the device has exactly the file that was sent"
  else
    echo "          result    DIFFERENT: the device does not have the file that was sent"
    status=1
  fi
}

demo "$build/pelkron"
demo "$build/pelkron2" --block

echo
if [ "$status" -eq 0 ]; then
  echo "Both uploads arrived exactly. At 1200 baud the line takes $(( (2 * size + 1) / 120 )) s for this file;"
  echo "to watch that, run the device with --pace (README, \"Quick start\")."
else
  echo "An upload did not arrive exactly: see the lines above."
fi
exit $status
