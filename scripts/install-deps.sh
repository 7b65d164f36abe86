#!/usr/bin/env bash
# Installs the Debian packages that building, testing and benchmarking need,
# when they are missing. Run by the Makefile; safe to run again.
#
#   install-deps.sh [build | all] [--print]
#
# build: only what building the programs and the simulated device needs
# (make demo); all, the default: everything make test and make bench use.
# --print names the set's packages and installs nothing.
set -euo pipefail

set_name=all
print_only=false
for argument in "$@"; do
  case "$argument" in
    build | all) set_name=$argument ;;
    --print) print_only=true ;;
    *) echo "install-deps.sh: unknown argument '$argument' (build, all, --print)" >&2; exit 2 ;;
  esac
done

build_packages=(
  cmake g++ make            # the build
)
packages=(
  "${build_packages[@]}"
  libgtest-dev              # the tests
  python3                   # the summary of make test
  python3-serial            # the pyserial peer of the benchmark
  ser2net                   # the serial-port server behind rfc2217:// ports in the tests
  clang libclang-rt-14-dev  # the fuzz target of the network parser (clang's libFuzzer runtime)
  man-db                    # rendering the man pages in the package test
  lintian                   # checking the Debian package as Debian would
  g++-mingw-w64-x86-64      # the Windows build, cross-compiled
  g++-mingw-w64-i686        # the 32-bit Windows build
  wine wine64               # running the Windows build in its tests
  wine32:i386               # running the 32-bit Windows build (Wine's 32-bit loader)
  tmux                      # a terminal for the Windows programs' console: status line, messages, Ctrl-C
  locales                   # ru_RU.UTF-8 for Wine (another ANSI code page), made by the tests with localedef
  faketime                  # moving the wall clock under the Windows programs
  qemu-system-x86 busybox-static cpio  # the test machine on real serial drivers
)
# Wine comes with the libraries it recommends, which it loads when it starts
# its session services; everything else comes without.
with_recommends=" wine wine64 "

[ "$set_name" = build ] && packages=("${build_packages[@]}")
if $print_only; then
  echo "${packages[*]}"
  exit 0
fi

missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' || missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0

# wine32 is an i386 package: dpkg must know that architecture first.
need_i386=false
for package in "${missing[@]}"; do
  case "$package" in *:i386) need_i386=true ;; esac
done

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
if $need_i386 && ! dpkg --print-foreign-architectures | grep -qx i386; then
  "${run[@]}" dpkg --add-architecture i386
fi
"${run[@]}" apt-get update -qq
plain=()
recommended=()
for package in "${missing[@]}"; do
  case "$with_recommends" in
    *" $package "*) recommended+=("$package") ;;
    *) plain+=("$package") ;;
  esac
done
[ ${#plain[@]} -eq 0 ] || "${run[@]}" apt-get install -y -qq --no-install-recommends "${plain[@]}"
[ ${#recommended[@]} -eq 0 ] || "${run[@]}" apt-get install -y -qq "${recommended[@]}"
