#!/bin/busybox sh
# The guest's first process: brings up the USB stack with a dummy controller
# between a gadget and the host side, runs the driver against the host, says
# PASS or FAIL on the console and powers the machine off. /etc/guest-settings
# names the modules to load and the command to run (run-guest.sh writes it).
/bin/busybox --install -s /bin
export PATH=/bin
. /etc/guest-settings

# The driver stops itself on any hang it can see; this catches the rest.
if [ -n "${PREFIX:-}" ]; then
    WATCHDOG_SECONDS=360
else
    WATCHDOG_SECONDS=150
fi

verdict() {
    echo "KERNEL TEST: $1"
    poweroff -f
}

mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev

# In dependency order: the USB core, the gadget side with its dummy
# controller, configfs for describing the gadget, then the HID host side and
# uhid.
for module in $MODULES ${SHARE_MODULES:-}; do
    insmod "/lib/modules/$module.ko" || verdict "FAIL (cannot load the kernel module $module)"
done
mount -t configfs configfs /sys/kernel/config || verdict "FAIL (cannot mount configfs)"

# writable NAME FOLDER: FOLDER of the read-only root, under a layer in
# memory (/layers/NAME) that takes the writes, so that what it holds stays in
# view.
writable() {
    mkdir -p "/layers/$1/changes" "/layers/$1/work"
    mount -t overlay overlay -o "lowerdir=$root$2,upperdir=/layers/$1/changes,workdir=/layers/$1/work" "$root$2" ||
        verdict "FAIL (cannot lay a writable layer over $2)"
}

# Under Wine: the test machine's root file system, read-only, with the
# kernel's file systems, memory for /run, and writable layers over /tmp
# (Wine's server keeps its socket there; the build and the prefix may be
# there too) and over the prefix. The page cache of 9p's "loose" mode maps
# Wine's executables whole; without it some of their pages read as zeros.
if [ -n "${PREFIX:-}" ]; then
    root=/mnt
    mkdir -p "$root" /layers
    mount -t 9p -o trans=virtio,version=9p2000.L,ro,cache=loose,msize=262144 root "$root" ||
        verdict "FAIL (cannot mount the root file system over 9p)"
    mount -t proc proc "$root/proc"
    mount -t sysfs sysfs "$root/sys"
    mount -t configfs configfs "$root/sys/kernel/config"
    mount -t devtmpfs devtmpfs "$root/dev"
    mount -t tmpfs tmpfs "$root/run"
    mount -t tmpfs tmpfs /layers
    writable tmp /tmp
    writable prefix "$PREFIX"
    # LANG: Wine's HID bus reads the kernel's UTF-8 strings in the locale's
    # encoding.
    RUN="chroot $root /usr/bin/env -i PATH=/usr/bin:/bin LANG=C.UTF-8 WINEPREFIX=$PREFIX WINEDEBUG=-all $RUN"
fi

timeout -s KILL "$WATCHDOG_SECONDS" $RUN
status=$?
if [ "$status" -eq 0 ]; then
    verdict PASS
elif [ "$status" -eq 137 ]; then
    verdict "FAIL (the driver was stopped by the watchdog after $WATCHDOG_SECONDS s)"
else
    verdict "FAIL (the driver exited with status $status)"
fi
