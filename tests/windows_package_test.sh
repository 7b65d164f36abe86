#!/usr/bin/env bash
# The Windows .zip builds and holds the two programs, README and the licence,
# and the programs need no DLL beyond those every Windows PC has.
set -euo pipefail
win_build=$1
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
status=0

if ! cpack --config "$win_build/CPackConfig.cmake" -G ZIP -B "$out" > "$out/cpack.log" 2>&1; then
  cat "$out/cpack.log"
  exit 1
fi
zip=$(ls "$out"/*.zip)
contents=$(cd "$out" && cmake -E tar tf "$zip")
for name in pelkron.exe pelkron2.exe README.md LICENSE; do
  if ! grep -q "/$name\$" <<< "$contents"; then
    echo "the .zip lacks $name"
    status=1
  fi
done

for program in pelkron pelkron2; do
  dlls=$(x86_64-w64-mingw32-objdump -p "$win_build/$program.exe" | sed -n 's/.*DLL Name: //p' | tr 'A-Z' 'a-z' | sort -u)
  for dll in $dlls; do
    case "$dll" in
      # ws2_32: sockets, for rfc2217:// ports; shell32: the command line in UTF-16
      kernel32.dll|msvcrt.dll|ws2_32.dll|shell32.dll) ;;
      *) echo "$program.exe needs $dll, which a plain Windows PC may lack"; status=1 ;;
    esac
  done
done
[ "$status" -eq 0 ] && echo "$(basename "$zip"): pelkron.exe, pelkron2.exe, README and LICENSE, no extra DLLs"
exit "$status"
