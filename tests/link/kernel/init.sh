#!/bin/sh
# /init of the test VM (busybox sh as PID 1): mounts the kernel's file systems, loads the HID and
# USB gadget modules, starts udevd with the cable's rule, runs each test program in /tests and
# prints one result line on the console before powering off.
export PATH=/bin
mount -t proc proc /proc
mount -t sysfs sysfs /sys          # read-write: udevd and libudev's monitors need it
mount -t devtmpfs devtmpfs /dev
mount -t tmpfs tmpfs /run
mkdir -p /tmp
echo "hid-vm: init at $(cut -d' ' -f1 /proc/uptime) s"

# No modules.dep in the image: load in dependency order.
for m in hid hid-generic uhid usb-common usbcore usbhid udc-core dummy_hcd configfs \
         libcomposite usb_f_hid; do
    insmod /modules/$m.ko || echo "hid-vm: insmod $m failed"
done
mount -t configfs configfs /sys/kernel/config

# udevd passes the kernel's events on to libudev monitors, after its rules have run.
/lib/systemd/systemd-udevd --daemon
n=0
while [ ! -e /run/udev/control ] && [ $n -lt 100 ]; do sleep 0.1; n=$((n + 1)); done

failed=0
for t in /tests/*; do
    [ -x "$t" ] || continue
    echo "hid-vm: running $(basename "$t")"
    (cd /tmp && VORLATT_HID_KERNEL=1 QT_QPA_PLATFORM=offscreen "$t") || failed=$((failed + 1))
done
echo "HID-VM-RESULT failed=$failed"
poweroff -f
