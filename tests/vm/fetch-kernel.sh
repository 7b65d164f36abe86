#!/usr/bin/env bash
# Fetches Debian's own kernel for the test machine, once: the image package
# that linux-image-amd64 depends on, downloaded into DIR and unpacked there
# (never installed on this host). A second run finds it and does nothing.
#
# fetch-kernel.sh DIR   -> DIR/vmlinuz and DIR/modules/*.ko
set -euo pipefail

dir=$1
mkdir -p "$dir"
cd "$dir"
# The package's own dates are older than this script: touch, or the build
# would think the kernel out of date on every run.
if [ -f vmlinuz ] && [ -f modules/ftdi_sio.ko ]; then
    touch vmlinuz
    exit 0
fi

# The image package linux-image-amd64 points at, e.g. linux-image-6.1.0-57-amd64.
image_package() {
    apt-cache depends linux-image-amd64 2>/dev/null |
        sed -n 's/^ *Depends: \(linux-image-[0-9].*\)$/\1/p' | head -n 1
}

package=$(image_package)
if [ -z "$package" ] || ! ls "$package"_*.deb >/dev/null 2>&1; then
    if [ -z "$package" ] || ! apt-get download "$package" 2>/dev/null; then
        # A fresh machine has no package lists yet.
        echo "fetch-kernel: updating the package lists"
        if [ "$(id -u)" -eq 0 ]; then apt-get update -qq; else sudo apt-get update -qq; fi
        package=$(image_package)
        [ -n "$package" ] || { echo "fetch-kernel: linux-image-amd64 names no kernel image" >&2; exit 1; }
        apt-get download "$package"
    fi
fi
deb=$(ls "$package"_*.deb | head -n 1)

# Only the kernel and the modules the FTDI adapter needs.
rm -rf unpacked modules
mkdir unpacked modules
dpkg-deb --fsys-tarfile "$deb" |
    tar -x -C unpacked --wildcards './boot/vmlinuz-*' \
        '*/kernel/drivers/usb/common/usb-common.ko' \
        '*/kernel/drivers/usb/core/usbcore.ko' \
        '*/kernel/drivers/usb/host/xhci-hcd.ko' \
        '*/kernel/drivers/usb/host/xhci-pci.ko' \
        '*/kernel/drivers/usb/serial/usbserial.ko' \
        '*/kernel/drivers/usb/serial/ftdi_sio.ko'
find unpacked -name '*.ko' -exec mv {} modules/ \;
mv unpacked/boot/vmlinuz-* vmlinuz.tmp
rm -rf unpacked
touch vmlinuz.tmp
mv vmlinuz.tmp vmlinuz
echo "fetch-kernel: $deb unpacked in $dir"
