#!/usr/bin/env bash
# Packs the test machine's initramfs: busybox-static, the FTDI adapter's
# kernel modules, the init, the static senders and the test files.
#
# make-initramfs.sh OUTPUT INIT MODULE_DIR FILES_DIR PROGRAM...
# Each PROGRAM is GUEST_PATH=HOST_PATH: the host's file lands in the guest
# at GUEST_PATH.
set -euo pipefail

output=$1 init=$2 module_dir=$3 files_dir=$4
shift 4

busybox=/bin/busybox
if [ ! -x "$busybox" ] || readelf -l "$busybox" | grep -q INTERP; then
    # busybox-static installs /bin/busybox; the dynamic busybox package
    # would need a C library the initramfs does not have.
    echo "make-initramfs: $busybox is not a static busybox (install busybox-static)" >&2
    exit 1
fi

root=$(mktemp -d "${output}.root.XXXXXX")
trap 'rm -rf "$root"' EXIT
mkdir -p "$root"/{bin,dev,proc,sys,tmp,modules,t}
cp "$busybox" "$root/bin/busybox"
for applet in $("$busybox" --list); do
    [ "$applet" = busybox ] || ln -s busybox "$root/bin/$applet"
done
cp "$init" "$root/init"
chmod 755 "$root/init"
for module in usb-common usbcore xhci-hcd xhci-pci usbserial ftdi_sio; do
    found=$(find "$module_dir" -name "$module.ko" -print -quit)
    [ -n "$found" ] || { echo "make-initramfs: no $module.ko under $module_dir" >&2; exit 1; }
    cp "$found" "$root/modules/"
done
cp -r "$files_dir"/. "$root/t/"
for program in "$@"; do
    mkdir -p "$root/$(dirname "${program%%=*}")"
    cp "${program#*=}" "$root/${program%%=*}"
done

(cd "$root" && find . -print0 | LC_ALL=C sort -z | cpio --null -o -H newc --quiet) | gzip -1 >"$output.tmp"
mv "$output.tmp" "$output"
