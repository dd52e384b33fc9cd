#!/usr/bin/env bash
# Boots Debian's kernel under QEMU with the host, a USB HID gadget and a driver
# that plays the browser, and reports the guest's verdict.
#
#   run-guest.sh [--uhid] CACHE_DIR WORK_DIR HOST DEVICE_PROGRAM DRIVER [WINE64 WINESERVER PREFIX]
#
# CACHE_DIR keeps the kernel and its modules between runs; the first run
# downloads the kernel package (without installing it on this machine).
#
# With Wine's loader, server and prefix, HOST is a Windows executable run
# under Wine in the guest. The guest then sees this machine's root file system
# (read-only, over 9p) and works in it, with a copy of the prefix that takes
# its writes in the guest's memory.
#
# With --uhid, DEVICE_PROGRAM is bridge-sim-device, which the driver has
# make the device through the kernel's uhid interface instead.
set -euo pipefail

driver_option=
if [ "${1:-}" = --uhid ]; then
    driver_option=--uhid
    shift
fi
if [ $# -ne 5 ] && [ $# -ne 8 ]; then
    echo "usage: $0 [--uhid] CACHE_DIR WORK_DIR HOST DEVICE_PROGRAM DRIVER [WINE64 WINESERVER PREFIX]" >&2
    exit 2
fi
cache=$1
work=$2
host=$3
device=$4
driver=$5
wine=${6:-}
wineserver=${7:-}
prefix=${8:-}
here=$(cd "$(dirname "$0")" && pwd)

USB_MODULES=(usb-common usbcore udc-core dummy_hcd configfs libcomposite usb_f_hid hid hid-generic usbhid uhid)
# The root file system over virtio's 9p transport, and overlayfs for the prefix.
SHARE_MODULES=(virtio_ring virtio virtio_pci_modern_dev virtio_pci_legacy_dev virtio_pci 9pnet 9pnet_virtio netfs
    fscache 9p overlay)
MODULES=("${USB_MODULES[@]}" "${SHARE_MODULES[@]}")
LOCALE_DIR=/usr/lib/locale/C.utf8
if [ -n "$wine" ]; then
    # Wine starts its own system processes in the guest's emulated processors.
    GUEST_TIMEOUT_SECONDS=420
    GUEST_MACHINE=(-m 3072 -smp 2
        -virtfs local,path=/,mount_tag=root,security_model=none,readonly=on,multidevs=remap)
else
    GUEST_TIMEOUT_SECONDS=180
    GUEST_MACHINE=(-m 256)
fi

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

# The versioned image package behind Debian's kernel metapackage.
kernel_package() {
    apt-cache depends linux-image-amd64 2>/dev/null |
        sed -n 's/^ *Depends: \(linux-image-[0-9][^ ]*\)$/\1/p' | head -n 1
}

# Downloads the image package and keeps the kernel and the modules the guest
# loads; the 400 MB of the rest, and any kernel cached before, are thrown away.
# Prints the folder it made.
fetch_kernel() {
    local package=$1
    local download
    download=$(mktemp -d "$cache/download.XXXXXX")
    # A package list older than the archive names a version that is gone.
    if ! (cd "$download" && apt-get download "$package" >/dev/null 2>&1); then
        apt-get update -qq >&2 || true
        package=$(kernel_package)
        [ -n "$package" ] || fail "apt knows no linux-image-amd64 package"
        (cd "$download" && apt-get download "$package" >&2) || fail "cannot download $package"
    fi
    local target=$cache/$package
    dpkg-deb -x "$download"/*.deb "$download/root"
    mkdir -p "$target.partial/modules"
    cp "$download"/root/boot/vmlinuz-* "$target.partial/vmlinuz"
    local module found
    for module in "${MODULES[@]}"; do
        found=$(find "$download/root/lib/modules" -name "$module.ko" | head -n 1)
        [ -n "$found" ] || fail "$package has no $module.ko"
        cp "$found" "$target.partial/modules/"
    done
    rm -rf "$download"
    find "$cache" -mindepth 1 -maxdepth 1 ! -name "$package.partial" ! -name .lock -exec rm -rf {} +
    mv "$target.partial" "$target"
    echo "$target"
}

find_kernel() {
    mkdir -p "$cache"
    local package
    package=$(kernel_package)
    if [ -z "$package" ]; then
        apt-get update -qq >&2 || true
        package=$(kernel_package)
        [ -n "$package" ] || fail "apt knows no linux-image-amd64 package"
    fi
    local module missing=
    for module in "${MODULES[@]}"; do
        [ -f "$cache/$package/modules/$module.ko" ] || missing=yes
    done
    if [ -d "$cache/$package" ] && [ -z "$missing" ]; then
        echo "$cache/$package"
        return
    fi
    echo "run-guest: downloading $package" >&2
    fetch_kernel "$package"
}

# Copies a program and every shared library it loads, at the same paths.
add_program() {
    local program=$1 root=$2 library
    cp "$program" "$root/bin/"
    for library in $(ldd "$program" | grep -o '/[^ ]*'); do
        mkdir -p "$root$(dirname "$library")"
        cp -L "$library" "$root$library"
    done
}

# The guest's settings, read by its init: which modules it loads, and what
# it runs. Under Wine the programs are this machine's own, at their paths.
write_guest_settings() {
    local settings=$1
    {
        echo "MODULES='${USB_MODULES[*]}'"
        if [ -n "$wine" ]; then
            echo "SHARE_MODULES='${SHARE_MODULES[*]}'"
            echo "PREFIX='$work/prefix'"
            echo "RUN='$driver --wine $wine $wineserver $host $device'"
        else
            echo "RUN='/bin/$(basename "$driver")${driver_option:+ $driver_option} /bin/$(basename "$host") /bin/$(basename "$device")'"
        fi
    } >"$settings"
}

build_initramfs() {
    local kernel=$1 root=$work/root
    rm -rf "$root"
    mkdir -p "$root"/{bin,dev,proc,sys,lib/modules,usr/lib/locale,etc}
    cp /bin/busybox "$root/bin/busybox"
    cp "$here/init.sh" "$root/init"
    chmod 755 "$root/init"
    local module
    for module in "${USB_MODULES[@]}" ${wine:+"${SHARE_MODULES[@]}"}; do
        cp "$kernel/modules/$module.ko" "$root/lib/modules/"
    done
    write_guest_settings "$root/etc/guest-settings"
    if [ -z "$wine" ]; then
        # The host asks for a UTF-8 locale to decode device strings.
        cp -r "$LOCALE_DIR" "$root/usr/lib/locale/"
        add_program "$host" "$root"
        add_program "$device" "$root"
        add_program "$driver" "$root"
    fi
    (cd "$root" && find . | /bin/busybox cpio -o -H newc -R 0:0 2>/dev/null | gzip -1) >"$work/initramfs.cpio.gz"
}

# The guest's prefix: hard links to the files of the tests' prefix, taken
# now (a copy where the two folders are on different file systems). The Wine
# server of the other tests replaces a registry file by renaming a new one
# over it, which leaves these links as they were.
snapshot_prefix() {
    [ -f "$prefix/system.reg" ] || fail "$prefix is no Wine prefix (the wine.prefix test makes it)"
    rm -rf "$work/prefix"
    cp -al "$prefix" "$work/prefix" 2>/dev/null || { rm -rf "$work/prefix" && cp -a "$prefix" "$work/prefix"; }
}

command -v qemu-system-x86_64 >/dev/null || fail "qemu-system-x86_64 is missing (./dev.sh installs it)"
[ -x /bin/busybox ] || fail "/bin/busybox is missing (./dev.sh installs busybox-static)"
[ -d "$LOCALE_DIR" ] || fail "$LOCALE_DIR is missing"

# Both kernel tests take the kernel from the cache: one fetches it at a time.
mkdir -p "$cache"
exec {cache_lock}>"$cache/.lock"
flock "$cache_lock"
kernel=$(find_kernel)
flock -u "$cache_lock"
mkdir -p "$work"
build_initramfs "$kernel"
[ -z "$wine" ] || snapshot_prefix

console=$work/console.log
started=$(date +%s)
set +e
timeout -k 5 "$GUEST_TIMEOUT_SECONDS" qemu-system-x86_64 \
    -accel tcg "${GUEST_MACHINE[@]}" -nic none -no-reboot -display none -monitor none -serial stdio \
    -kernel "$kernel/vmlinuz" -initrd "$work/initramfs.cpio.gz" \
    -append 'console=ttyS0 panic=-1 quiet' </dev/null | tr -d '\r' >"$console"
qemu_status=${PIPESTATUS[0]}
set -e
elapsed=$(($(date +%s) - started))

cat "$console"
echo "run-guest: the guest ran for $elapsed s"
verdict=$(grep -m 1 '^KERNEL TEST: ' "$console" || true)
case "$verdict" in
"KERNEL TEST: PASS") exit 0 ;;
"KERNEL TEST: "*) fail "the guest says: ${verdict#KERNEL TEST: }" ;;
esac
if [ "$qemu_status" -eq 124 ] || [ "$qemu_status" -eq 137 ]; then
    fail "the guest did not power off within $GUEST_TIMEOUT_SECONDS s"
fi
fail "the guest never gave a verdict (QEMU exit status $qemu_status)"
