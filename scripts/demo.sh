#!/usr/bin/env bash
# Sends a sample file with each uploader to the simulated device and says
# whether what arrived is identical. Uses the builds whose port is a link in
# the build folder, so no real serial port is touched.
set -euo pipefail
build=${1:-build}
port=$build/under-test/ttyCOM6
work=$(mktemp -d)
trap 'rm -rf "$work"; [ -n "${device_pid:-}" ] && kill "$device_pid" 2>/dev/null; [ -n "${wine_started:-}" ] && wineserver -k; true' EXIT

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
runner=()                                 # what starts a program: nothing, or wine
to_argument() { printf '%s' "$1"; }       # a path as the program takes it
demo() {  # program, device options...
  local program=$1; shift
  local received=$work/received-$(basename "$program").bin
  echo "== $(basename "$program") $sample ($(stat -c %s "$sample") bytes)"
  "$build/device/pelkron-device" --link "$port" --out "$received" "$@" > "$work/summary" 2> "$work/device.log" &
  device_pid=$!
  for _ in $(seq 50); do [ -L "$port" ] && break; sleep 0.1; done
  "${runner[@]}" "$program" "$(to_argument "$sample")" | tr -d '\r' > "$work/echo"
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

# The Windows build under Wine, when there is one (make test-wine makes it).
# The device's line is COM6 of a Wine prefix in the build folder.
win_build=${WIN_BUILD:-build-win}
if command -v wine > /dev/null && [ -f "$win_build/pelkron.exe" ] && [ -f "$win_build/pelkron2.exe" ]; then
  export WINEPREFIX=$(realpath -m "$build/wine-prefix") WINEDEBUG=-all DISPLAY= \
    WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
  wine_log=$build/wine-prefix.log
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    echo "== making a Wine prefix for the demo in $WINEPREFIX (once, several seconds)"
    wine wineboot -i >> "$wine_log" 2>&1 < /dev/null || true
    wineserver -w  # the prefix is complete when wineboot's server has ended
  fi
  # One Wine session for both programs; Wine's services start with the
  # first program, here, so that they never hold a pipe of ours.
  # The server prints all its objects whenever the device hangs its line up.
  if wineserver -p > /dev/null 2>&1; then wine_started=1; fi
  wine cmd /c exit >> "$wine_log" 2>&1 < /dev/null
  rm -f "$WINEPREFIX/dosdevices/com6"
  port=$WINEPREFIX/dosdevices/com6
  runner=(wine)
  to_argument() { printf 'Z:%s' "$(realpath "$1" | tr / '\\')"; }
  demo "$win_build/pelkron.exe"
  demo "$win_build/pelkron2.exe" --block
fi
exit $status
