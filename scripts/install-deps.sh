#!/usr/bin/env bash
# Installs the Debian packages that building, testing and benchmarking need,
# when they are missing. Run by the Makefile; safe to run again.
set -euo pipefail

packages=(
  cmake g++ make            # the build
  libgtest-dev              # the tests
  python3-serial            # the pyserial peer of the benchmark
  man-db                    # rendering the man pages in the package test
)

missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' || missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing missing Debian packages: ${missing[*]}"
if [ "$(id -u)" -eq 0 ]; then
  run=()
elif command -v sudo >/dev/null; then
  run=(sudo)
else
  echo "Please install as root: apt-get install ${missing[*]}" >&2
  exit 1
fi
export DEBIAN_FRONTEND=noninteractive
"${run[@]}" apt-get update -qq
"${run[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
