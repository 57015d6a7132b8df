#!/bin/bash
# Prepares everything the real-stack guest needs, cached under BUILD_DIR/real-stack-vm:
# the Debian packages (installed on the host, whose root the guest mounts), the Debian
# kernel behind linux-image-amd64 (downloaded and extracted, never installed), trimmed to
# the modules the guest loads, and a small initramfs. A second run only checks the cache.
# Progress goes to stderr: the callers' stdout is theirs (the demo's holds only the JSON).
#   usage: setup.sh BUILD_DIR
set -euo pipefail
exec >&2
BUILD_DIR=$(realpath "${1:?usage: setup.sh BUILD_DIR}")
HERE=$(dirname "$(realpath "$0")")
VM="$BUILD_DIR/real-stack-vm"
mkdir -p "$VM"

PACKAGES="qemu-system-x86 busybox-static cpio kmod bluez bluez-test-tools dbus
          python3-dbus python3-gi python3-bleak systemd util-linux time"
# dpkg-query exits 1 when a package was never installed; that is what is being asked.
missing=$({ dpkg-query -W -f='${Package} ${Status}\n' $PACKAGES 2>/dev/null || true; } |
          awk '$NF == "installed" {print $1}' | sort | comm -13 - <(printf '%s\n' $PACKAGES | sort))
if [ -n "$missing" ]; then
    echo "setup: installing" $missing
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends $PACKAGES >/dev/null
fi

# The stamp names the inputs the cached kernel and initramfs were made from.
stamp=$(cat "$HERE/setup.sh" "$HERE/initramfs-init" | sha256sum | cut -c1-16)
if [ "$(cat "$VM/setup.stamp" 2>/dev/null)" = "$stamp" ] &&
   [ -f "$VM/kernel/KVER" ] && [ -f "$VM/initramfs.cpio.gz" ]; then
    exit 0
fi

kpkg=$(apt-cache depends linux-image-amd64 | awk '/Depends: linux-image-[0-9]/ {print $2; exit}')
if [ -z "$kpkg" ]; then
    apt-get update -qq
    kpkg=$(apt-cache depends linux-image-amd64 | awk '/Depends: linux-image-[0-9]/ {print $2; exit}')
fi
mkdir -p "$VM/debs"
if ! ls "$VM/debs/${kpkg}"_*.deb >/dev/null 2>&1; then
    echo "setup: downloading $kpkg"
    (cd "$VM/debs" && apt-get download -qq -o APT::Sandbox::User=root "$kpkg")
fi

echo "setup: extracting and trimming $kpkg"
rm -rf "$VM/kernel.full" "$VM/kernel"
dpkg-deb -x "$VM/debs/${kpkg}"_*.deb "$VM/kernel.full"
kver=$(ls "$VM/kernel.full/lib/modules")
src="$VM/kernel.full/lib/modules/$kver"
dst="$VM/kernel/lib/modules/$kver"
mkdir -p "$VM/kernel/boot" "$dst/kernel"
cp "$VM/kernel.full/boot/vmlinuz-$kver" "$VM/kernel/boot/vmlinuz"
cp "$src"/modules.order "$src"/modules.builtin* "$dst/"
for d in net/bluetooth drivers/bluetooth net/rfkill crypto arch/x86/crypto lib \
         drivers/virtio net/9p fs/9p fs/netfs fs/fscache fs/overlayfs; do
    mkdir -p "$dst/kernel/$(dirname $d)"
    cp -a "$src/kernel/$d" "$dst/kernel/$d"
done
rm -rf "$VM/kernel.full"
depmod -b "$VM/kernel" "$kver"
echo "$kver" > "$VM/kernel/KVER"

echo "setup: building the initramfs"
work=$(mktemp -d "$VM/initramfs.XXXXXX")
mkdir -p "$work"/{bin,proc,sys,dev,lower,rw,newroot,mods}
cp /bin/busybox "$work/bin/busybox"
for m in virtio_pci 9pnet_virtio 9p overlay; do
    modprobe -d "$VM/kernel" -S "$kver" --show-depends $m | awk '$1 == "insmod" {print $2}'
done | awk '!seen[$0]++' | while read -r ko; do
    cp "$ko" "$work/mods/"
    basename "$ko" >> "$work/mods/order"
done
install -m 755 "$HERE/initramfs-init" "$work/init"
(cd "$work" && find . | cpio -o -H newc --quiet | gzip -1) > "$VM/initramfs.cpio.gz"
rm -rf "$work"
echo "$stamp" > "$VM/setup.stamp"
du -sh "$VM/kernel" "$VM/initramfs.cpio.gz" | sed 's/^/setup: /'
