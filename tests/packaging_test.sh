#!/usr/bin/env bash
# The Debian package builds and holds the programs and their man pages, the
# packaged programs run, and the man pages render without warnings.
set -euo pipefail
build=$1
source=$2
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
status=0

if ! cpack --config "$build/CPackConfig.cmake" -G DEB -B "$out" > "$out/cpack.log" 2>&1; then
  cat "$out/cpack.log"
  exit 1
fi
deb=$(ls "$out"/*.deb)
contents=$(dpkg-deb -c "$deb")
for path in usr/bin/pelkron usr/bin/pelkron2 usr/bin/pelkron-device \
            usr/share/man/man1/pelkron.1 usr/share/man/man1/pelkron2.1 usr/share/man/man1/pelkron-device.1; do
  if ! grep -q " \./$path\$" <<< "$contents"; then
    echo "the package lacks /$path"
    status=1
  fi
done

dpkg-deb -x "$deb" "$out/root"
for program in pelkron pelkron2; do
  set +e
  message=$("$out/root/usr/bin/$program" 2>&1 >/dev/null | head -1)
  code=$?
  set -e
  if [ "$code" -ne 2 ] || [ "$message" != "$out/root/usr/bin/$program: filename" ]; then
    echo "packaged $program without arguments: status $code, '$message'"
    status=1
  fi
done

for page in "$source"/man/*.1; do
  warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null)
  rendered=$(LC_ALL=C.UTF-8 MANWIDTH=80 man -l "$page" 2>/dev/null)
  if [ -n "$warnings" ] || ! grep -q '^NAME' <<< "$rendered" || ! grep -q '^EXIT STATUS' <<< "$rendered"; then
    echo "$(basename "$page") does not render cleanly: $warnings"
    status=1
  fi
done
[ "$status" -eq 0 ] && echo "package $(basename "$deb") and man pages: fine"
exit "$status"
