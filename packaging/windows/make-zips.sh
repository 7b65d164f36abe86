#!/usr/bin/env bash
# The .zip files for Windows users, one per cross build, into OUT with a
# SHA256SUMS beside them (sha256sum -c checks it; on Windows, compare with
# certutil -hashfile FILE SHA256 or PowerShell's Get-FileHash).
#   bash packaging/windows/make-zips.sh OUT BUILD...
set -euo pipefail
out=$1
shift
mkdir -p "$out"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
for build in "$@"; do
  if ! cpack --config "$build/CPackConfig.cmake" -G ZIP -B "$work" > "$work/cpack.log" 2>&1; then
    cat "$work/cpack.log" >&2
    exit 1
  fi
  mv "$work"/*.zip "$out"/
done
(cd "$out" && sha256sum -- *.zip > SHA256SUMS)
