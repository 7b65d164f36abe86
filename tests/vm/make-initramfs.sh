#!/usr/bin/env bash
# Packs the test machine's initramfs: busybox-static, the FTDI adapter's
# kernel modules, the init, the static senders, the test files, and Debian's
# ser2net with the libraries and gensio plugins it loads.
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

# ser2net is a dynamic program: it comes with its C library and everything
# else ldd names, at the same paths, and with the gensio plugins it opens
# for a serial device behind a telnet accepter.
ser2net=/usr/sbin/ser2net
[ -x "$ser2net" ] || { echo "make-initramfs: $ser2net is missing (install ser2net)" >&2; exit 1; }
copy_with_libraries() {  # FILE
    mkdir -p "$root$(dirname "$1")"
    cp -L "$1" "$root$1"
    for library in $(ldd "$1" | awk '$2 == "=>" && $3 ~ /^\// { print $3 } $1 ~ /^\// { print $1 }'); do
        [ -e "$root$library" ] || { mkdir -p "$root$(dirname "$library")"; cp -L "$library" "$root$library"; }
    done
}
copy_with_libraries "$ser2net"
plugins=$(find /usr/libexec -path '*/gensio/*' -name 'libgensio_serialdev.so' -printf '%h\n' -quit)
[ -n "$plugins" ] || { echo "make-initramfs: no gensio plugins under /usr/libexec" >&2; exit 1; }
for plugin in serialdev net telnet; do
    copy_with_libraries "$plugins/libgensio_$plugin.so"
done
# Where it keeps its UUCP lock while it has the port.
mkdir -p "$root/var/lock"
for program in "$@"; do
    mkdir -p "$root/$(dirname "${program%%=*}")"
    cp "${program#*=}" "$root/${program%%=*}"
done

(cd "$root" && find . -print0 | LC_ALL=C sort -z | cpio --null -o -H newc --quiet) | gzip -1 >"$output.tmp"
mv "$output.tmp" "$output"
