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
# The first 150 bytes, for the line's own speed: 2.5 s at 1200 baud.
short=$work/short.bin
head -c 150 "$sample" > "$short"

now() { date +%s.%N; }
seconds_since() { awk -v from="$1" -v to="$(now)" 'BEGIN { printf "%.2f", to - from }'; }

echo "make demo: pelkron and pelkron2 send files to the simulated device (pelkron-device on a"
echo "pseudo-terminal). The sample: $size bytes, every byte value 0x00..0xFF four times, then"
echo "text with line ends; the device takes it as fast as it comes, then 150 bytes at 1200 baud."

status=0
demo() {  # program, file, device options...
  local program=$1 file=$2; shift 2
  local name received summary started elapsed echo_lines acknowledgements sender_status size
  name=$(basename "$program")$(basename "$file" .bin)
  size=$(stat -c %s "$file")
  received=$work/received-$name.bin
  summary=$work/summary-$name
  "$build/device/pelkron-device" --link "$line" --out "$received" "$@" > "$summary" 2> "$work/device-$name.log" &
  device_pid=$!
  for _ in $(seq 100); do [ -L "$line" ] && break; sleep 0.05; done
  started=$(now)
  sender_status=0
  "$program" -p "$line" "$file" > "$work/echo-$name" 2> "$work/stderr-$name" || sender_status=$?
  elapsed=$(seconds_since "$started")
  wait "$device_pid" || true
  device_pid=
  echo_lines=$(grep -c '^0[0-9a-f] 0[0-9a-f]$' "$work/echo-$name" || true)
  acknowledgements=$(grep -c '^1 - 90$' "$work/echo-$name" || true)
  echo
  local counts="$echo_lines echo lines"
  [ "$acknowledgements" -gt 0 ] && counts="$counts, $acknowledgements acknowledgements"
  printf '%-9s sent      %s bytes in %s s: %s, exit status %s\n' \
    "$(basename "$program")" "$size" "$elapsed" "$counts" "$sender_status"
  # The device's own summary: what it received, how it held the sender, its faults.
  local received_line xoff_line faults
  received_line=$(sed -n 's/^received *//p' "$summary")
  xoff_line=$(sed -n 's/^xoff *//p' "$summary")
  faults=$(sed -n 's/^faults *//p' "$summary")
  echo "          device    received $received_line; faults $faults"
  [ -n "$xoff_line" ] && echo "          device    held the sender with XOFF: $xoff_line"
  sed 's/^/          stderr    /' "$work/stderr-$name"
  if [ "$sender_status" -eq 0 ] && cmp -s "$file" "$received"; then
    echo "          result    IDENTICAL: the device has exactly the file that was sent"
  else
    echo "          result    DIFFERENT: the device does not have the file that was sent"
    status=1
  fi
}

demo "$build/pelkron" "$sample"
demo "$build/pelkron2" "$sample" --block
demo "$build/pelkron" "$short" --pace

echo
if [ "$status" -eq 0 ]; then
  echo "Every upload arrived exactly. At 1200 baud the sample takes $(( (2 * size + 1) / 120 )) s; to watch"
  echo "an upload at that speed, run the device by hand with --pace (README, \"Quick start\")."
else
  echo "An upload did not arrive exactly: see the lines above."
fi
exit $status
