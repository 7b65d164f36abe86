#!/usr/bin/env bash
# The Debian package: lintian, Debian's own checker, finds no error in it
# (its warnings are listed); it holds the programs, their compressed man
# pages, the licence and the changelog; it says which port its programs
# open and carries the build's version; the packaged programs run and the
# packaged man pages render without warnings and name this build's port.
set -euo pipefail
build=$1
version=$2
port=$3
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
status=0
fail() { echo "$*"; status=1; }

if ! cpack --config "$build/CPackConfig.cmake" -G DEB -B "$out" > "$out/cpack.log" 2>&1; then
  cat "$out/cpack.log"
  exit 1
fi
deb=$(ls "$out"/*.deb)
echo "package $(basename "$deb")"

if ! command -v lintian > /dev/null; then
  echo "lintian is missing (Debian package lintian; make deps installs it): the package cannot be checked"
  exit 1
fi
# Root is how CI runs; lintian only advises against it.
lintian --fail-on none --display-level '>=warning' --tag-display-limit 0 "$deb" \
  2> >(grep -v 'running with root privileges' >&2) > "$out/lintian.txt" || {
  cat "$out/lintian.txt"
  fail "lintian did not run"
}
if grep -q '^W: ' "$out/lintian.txt"; then
  echo "lintian warnings:"
  grep '^W: ' "$out/lintian.txt" | sed 's/^/  /'
fi
if grep -q '^E: ' "$out/lintian.txt"; then
  echo "lintian errors:"
  grep '^E: ' "$out/lintian.txt" | sed 's/^/  /'
  fail "lintian finds errors in the package"
fi

contents=$(dpkg-deb -c "$deb")
for path in usr/bin/pelkron usr/bin/pelkron2 usr/bin/pelkron-device \
            usr/share/man/man1/pelkron.1.gz usr/share/man/man1/pelkron2.1.gz usr/share/man/man1/pelkron-device.1.gz \
            usr/share/doc/pelkron/copyright usr/share/doc/pelkron/changelog.gz usr/share/doc/pelkron/README.md; do
  grep -q " \./$path\$" <<< "$contents" || fail "the package lacks /$path"
done

control_version=$(dpkg-deb -f "$deb" Version)
[ "$control_version" = "$version" ] || fail "the package's version is $control_version, the build's $version"
description=$(dpkg-deb -f "$deb" Description)
grep -qF "open the serial port $port;" <<< "$description" || fail "the description does not name the port $port: $description"
grep -qF "PELKRON_PORT names another" <<< "$description" || fail "the description does not say how to choose another port: $description"
maintainer=$(dpkg-deb -f "$deb" Maintainer)
grep -q '^The pelkron developers <' <<< "$maintainer" || fail "the maintainer does not name the project: $maintainer"

dpkg-deb -x "$deb" "$out/root"
doc=$out/root/usr/share/doc/pelkron
head -1 "$doc/copyright" | grep -q '^Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/$' \
  || fail "the copyright file is not in Debian's machine-readable format"
grep -q '^License: Expat$' "$doc/copyright" || fail "the copyright file does not give the MIT (Expat) licence"
zcat "$doc/changelog.gz" | head -1 | grep -qF "pelkron ($version)" || fail "the changelog's last entry is not $version"

for program in pelkron pelkron2; do
  set +e
  message=$("$out/root/usr/bin/$program" 2>&1 >/dev/null | head -1)
  code=$?
  set -e
  if [ "$code" -ne 2 ] || [ "$message" != "$out/root/usr/bin/$program: filename" ]; then
    fail "packaged $program without arguments: status $code, '$message'"
  fi
done

# The pages as installed, made from their templates when configuring.
for page in "$out"/root/usr/share/man/man1/*.1.gz; do
  name=$(basename "$page" .1.gz)
  warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null)
  rendered=$(LC_ALL=C.UTF-8 MANWIDTH=80 man -l "$page" 2>/dev/null)
  if [ -n "$warnings" ] || ! grep -q '^NAME' <<< "$rendered" || ! grep -q '^EXIT STATUS' <<< "$rendered" ||
     ! grep -q '^EXAMPLES' <<< "$rendered"; then
    fail "$name.1 does not render cleanly: $warnings"
  fi
  grep -q "pelkron $version" <<< "$rendered" || fail "$name.1 does not carry the version $version"
  case "$name" in
    pelkron|pelkron2)
      tr -s ' \n' '  ' <<< "$rendered" | grep -qiF "on Linux this build opens $port" \
        || fail "$name.1 does not say that this build opens $port" ;;
  esac
done
[ "$status" -eq 0 ] && echo "package $(basename "$deb"), lintian and man pages: fine"
exit "$status"
