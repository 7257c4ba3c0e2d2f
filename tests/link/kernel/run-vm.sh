#!/usr/bin/env bash
# Runs test programs inside Debian's own kernel under qemu, with the HID and USB gadget modules
# loaded and udevd running, so that the HID backend meets real hidraw devices.
#
#   run-vm.sh WORK_DIR RULES_FILE [--tool PROGRAM]... [--data FILE]... TEST_PROGRAM...
#
# A --tool program is carried into /bin for the tests to start, a --data file into /tmp, the
# folder the tests run in (the window's log table); the test programs run in turn.
# The kernel image and udevd come from Debian's packages (apt-get download, unpacked into
# WORK_DIR and kept there for the next run; nothing is installed). The programs are carried into
# an initramfs with the shared libraries they load. Exit status: 0 all passed, 1 a test failed,
# 2 the VM gave no result.
set -euo pipefail
work=$1 rules=$2
shift 2
mkdir -p "$work/debs"
work=$(cd "$work" && pwd)

need=()
command -v qemu-system-x86_64 >/dev/null || need+=(qemu-system-x86)
[ -x /bin/busybox ] && ! ldd /bin/busybox >/dev/null 2>&1 || need+=(busybox-static)
if [ ${#need[@]} -gt 0 ]; then
    echo "hid-vm: installing ${need[*]}"
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${need[@]}" >/dev/null
fi

# The kernel package that linux-image-amd64 stands for.
kpkg=$(apt-cache depends linux-image-amd64 2>/dev/null | awk '/Depends: linux-image-[0-9]/ {print $2; exit}')
if [ -z "$kpkg" ]; then
    apt-get update -qq
    kpkg=$(apt-cache depends linux-image-amd64 | awk '/Depends: linux-image-[0-9]/ {print $2; exit}')
fi
kver=${kpkg#linux-image-}

# fetch PACKAGE MEMBER...: the members of the package's file tree, unpacked once into debs/PACKAGE.
fetch() {
    local pkg=$1 dir=$work/debs/$1
    shift
    if [ ! -d "$dir" ]; then
        if ! ls "$work/debs/${pkg}"_*.deb >/dev/null 2>&1; then
            (cd "$work/debs" && apt-get download "$pkg" >/dev/null 2>&1) ||
                { apt-get update -qq && (cd "$work/debs" && apt-get download "$pkg" >/dev/null); }
        fi
        rm -rf "$dir.part"
        mkdir -p "$dir.part"
        dpkg-deb --fsys-tarfile "$(ls "$work/debs/${pkg}"_*.deb | tail -n1)" | tar -x -C "$dir.part" "$@"
        mv "$dir.part" "$dir"
    fi
}
k=./lib/modules/$kver/kernel
modules=(drivers/hid/hid drivers/hid/hid-generic drivers/hid/uhid drivers/usb/common/usb-common
    drivers/usb/core/usbcore drivers/hid/usbhid/usbhid drivers/usb/gadget/udc/udc-core
    drivers/usb/gadget/udc/dummy_hcd fs/configfs/configfs drivers/usb/gadget/libcomposite
    drivers/usb/gadget/function/usb_f_hid)
fetch "$kpkg" ./boot/vmlinuz-"$kver" $(for m in "${modules[@]}"; do echo "$k/$m.ko"; done)
fetch udev ./bin/udevadm

root=$work/root
rm -rf "$root"
mkdir -p "$root"/{bin,dev,proc,sys,run,tmp,modules,tests,lib/systemd,etc/udev/rules.d}
cp /bin/busybox "$root/bin/"
for applet in $("$root/bin/busybox" --list); do
    [ -e "$root/bin/$applet" ] || ln -s busybox "$root/bin/$applet"
done
for m in "${modules[@]}"; do
    cp "$work/debs/$kpkg/$k/$m.ko" "$root/modules/"
done
cp "$work/debs/udev/bin/udevadm" "$root/bin/"
ln -s /bin/udevadm "$root/lib/systemd/systemd-udevd" # udevadm is udevd under that name
cp "$rules" "$root/etc/udev/rules.d/"
cp "$(dirname "$0")/init.sh" "$root/init"
chmod 755 "$root/init"
while [ $# -gt 0 ]; do
    if [ "$1" = --tool ]; then
        cp "$2" "$root/bin/"
        shift 2
    elif [ "$1" = --data ]; then
        cp "$2" "$root/tmp/"
        shift 2
    else
        cp "$1" "$root/tests/"
        shift
    fi
done
# Window tests draw offscreen: Qt's offscreen platform plugin, and fonts through fontconfig.
plugins=$(qtpaths6 --query QT_INSTALL_PLUGINS 2>/dev/null || echo /usr/lib/x86_64-linux-gnu/qt6/plugins)
if [ -f "$plugins/platforms/libqoffscreen.so" ]; then
    mkdir -p "$root$plugins/platforms" "$root$plugins/imageformats"
    cp "$plugins/platforms/libqoffscreen.so" "$root$plugins/platforms/"
    cp "$plugins"/imageformats/libq{jpeg,gif}.so "$root$plugins/imageformats/" 2>/dev/null || true
fi
[ -d /etc/fonts ] && cp -rL /etc/fonts "$root/etc/"
[ -d /usr/share/fonts/truetype/liberation2 ] &&
    mkdir -p "$root/usr/share/fonts/truetype" && cp -r /usr/share/fonts/truetype/liberation2 "$root/usr/share/fonts/truetype/"
# Each program's shared libraries at the paths the loader expects.
for f in "$root/bin/udevadm" "$root"/bin/vorlatt-* "$root"/tests/* "$root$plugins"/*/*.so; do
    { ldd "$f" 2>/dev/null || true; } | awk '$2 == "=>" && $3 ~ /^\// {print $3} $1 ~ /^\// {print $1}'
done | sort -u | while read -r lib; do
    mkdir -p "$root$(dirname "$lib")"
    cp -L "$lib" "$root$lib"
done
(cd "$root" && find . | "$root/bin/busybox" cpio -o -H newc 2>/dev/null) | gzip -1 >"$work/initramfs.gz"

# Software emulation only: KVM is present on these machines but hangs the guest.
log=$work/console.log
set +e
timeout 240 qemu-system-x86_64 -accel tcg -m 1024 -smp 1 -nodefaults -no-user-config \
    -display none -serial stdio -no-reboot -kernel "$work/debs/$kpkg/boot/vmlinuz-$kver" \
    -initrd "$work/initramfs.gz" -append "console=ttyS0 quiet panic=-1" </dev/null \
    | tr -d '\r' | tee "$log"
set -e
result=$(grep -a '^HID-VM-RESULT' "$log" || true)
case $result in
    "HID-VM-RESULT failed=0") echo "hid-vm: all test programs passed"; exit 0 ;;
    "") echo "hid-vm: no result from the VM (boot failure or timeout)"; exit 2 ;;
    *) echo "hid-vm: $result"; exit 1 ;;
esac
