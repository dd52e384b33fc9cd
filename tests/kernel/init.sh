#!/bin/busybox sh
# The guest's first process: brings up the USB stack with a dummy controller
# between a gadget and the host side, runs the driver against the host, says
# PASS or FAIL on the console and powers the machine off.
/bin/busybox --install -s /bin
export PATH=/bin

# The driver stops itself on any hang it can see; this catches the rest.
WATCHDOG_SECONDS=120

verdict() {
    echo "KERNEL TEST: $1"
    poweroff -f
}

mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev

# In dependency order: the USB core, the gadget side with its dummy
# controller, configfs for describing the gadget, then the HID host side.
for module in usb-common usbcore udc-core dummy_hcd configfs libcomposite usb_f_hid hid hid-generic usbhid; do
    insmod "/lib/modules/$module.ko" || verdict "FAIL (cannot load the kernel module $module)"
done
mount -t configfs configfs /sys/kernel/config || verdict "FAIL (cannot mount configfs)"

timeout -s KILL "$WATCHDOG_SECONDS" /bin/kernel-driver /bin/bridge-host /bin/kernel-device
status=$?
if [ "$status" -eq 0 ]; then
    verdict PASS
elif [ "$status" -eq 137 ]; then
    verdict "FAIL (the driver was stopped by the watchdog after $WATCHDOG_SECONDS s)"
else
    verdict "FAIL (the driver exited with status $status)"
fi
