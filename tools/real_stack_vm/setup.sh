#!/bin/bash
# Prepares one Debian release for the real-stack guest, cached in CACHE/RELEASE (CACHE is
# $REAL_STACK_CACHE, by default /var/cache/norvel-real-stack, so that it outlives build folders
# and clones):
#   root/              the guest's root file system, made with mmdebstrap from the Debian mirror
#                      this machine's apt uses: dbus, BlueZ and what the guest's scripts run,
#                      plus the release's kernel modules the guest loads (the rest trimmed away)
#   vmlinuz            the release's kernel (the one behind linux-image-amd64; never installed)
#   initramfs.cpio.gz  a small initramfs that mounts root/ and hands over to guest-init.sh
# Releases: bookworm (BlueZ 5.66, kernel 6.1), trixie (BlueZ 5.82, kernel 6.12) and
# bookworm-backports (bookworm's root with the kernel from bookworm-backports).
# A second run only checks the cache's stamp; delete CACHE/RELEASE to take newer packages.
# Progress goes to stderr: the callers' stdout is theirs (the demo's holds only the JSON).
#   usage: setup.sh RELEASE
set -euo pipefail
exec >&2
release=${1:?usage: setup.sh RELEASE}
HERE=$(dirname "$(realpath "$0")")
case "$release" in
    bookworm | trixie) suite=$release kernel_suite=$release ;;
    bookworm-backports) suite=bookworm kernel_suite=bookworm-backports ;;
    *) echo "setup: unknown release '$release' (bookworm, trixie or bookworm-backports)"; exit 2 ;;
esac
CACHE=${REAL_STACK_CACHE:-/var/cache/norvel-real-stack}
VM=$CACHE/$release

bash "$HERE/../install_missing.sh" real-stack

# What the guest runs: guest-init.sh, the emulated sensor, the jobs of the tier and the bench.
PACKAGES=bluez,bluez-test-tools,dbus,python3,python3-dbus,python3-gi,python3-bleak,systemd,kmod,util-linux,time

mkdir -p "$CACHE"
exec 9>"$CACHE/$release.lock"
flock 9  # one maker per release; a second caller waits and then finds it made
# The stamp names the inputs the cached release was made from.
stamp=$(cat "$HERE/setup.sh" "$HERE/initramfs-init" | sha256sum | cut -c1-16)
if [ "$(cat "$VM/stamp" 2>/dev/null)" = "$stamp" ]; then
    exit 0
fi

# The Debian mirrors this machine's apt uses: the first URI that is not a security one, and
# the first that is.
mirrors() {
    { cat /etc/apt/sources.list.d/*.sources /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null || true; } |
        awk '$1 == "URIs:" {for (i = 2; i <= NF; i++) print $i} $1 == "deb" {print $2}' | awk '!seen[$0]++'
}
main_mirror=$(mirrors | { grep -v security || true; } | head -n 1)
security_mirror=$(mirrors | { grep security || true; } | head -n 1)
[ -n "$main_mirror" ] || { echo "setup: no Debian mirror in this machine's apt sources"; exit 2; }
sources=("deb $main_mirror $suite main" "deb $main_mirror $suite-updates main")
[ -z "$security_mirror" ] || sources+=("deb $security_mirror $suite-security main")
[ "$kernel_suite" = "$suite" ] || sources+=("deb $main_mirror $kernel_suite main")

rm -rf "$VM"
work=$CACHE/$release.part
rm -rf "$work"
mkdir -p "$work"
echo "setup: making the $release root with mmdebstrap (once)"
# The hook fetches the kernel package while the root's package lists are still there (and
# outside /tmp, which mmdebstrap empties).
export KERNEL_SUITE=$kernel_suite
mmdebstrap --quiet --variant=apt --include="$PACKAGES" \
    --customize-hook='chroot "$1" apt-get install -qq --download-only --no-install-recommends \
                          -t "$KERNEL_SUITE" linux-image-amd64 &&
                      mkdir "$1/kernel-package" &&
                      mv "$1"/var/cache/apt/archives/linux-image-[0-9]*.deb "$1/kernel-package/"' \
    "$suite" "$work/root" "${sources[@]}"

kdeb=$(ls "$work"/root/kernel-package/linux-image-*.deb)
echo "setup: extracting and trimming $(basename "$kdeb")"
dpkg-deb -x "$kdeb" "$work/kernel.full"
rm -rf "$work/root/kernel-package"
# bookworm's kernel package has its modules under lib/modules, trixie's under usr/lib/modules
# (compressed with xz).
for src in "$work"/kernel.full/{usr/,}lib/modules/*; do [ -d "$src" ] && break; done
kver=$(basename "$src")
dst="$work/root/lib/modules/$kver"
mkdir -p "$dst/kernel"
cp "$work/kernel.full/boot/vmlinuz-$kver" "$work/vmlinuz"
cp "$src"/modules.order "$src"/modules.builtin* "$dst/"
# fs/fscache is part of fs/netfs from 6.12 on.
for d in net/bluetooth drivers/bluetooth net/rfkill crypto arch/x86/crypto lib \
         drivers/virtio net/9p fs/9p fs/netfs fs/fscache fs/overlayfs; do
    [ -d "$src/kernel/$d" ] || continue
    mkdir -p "$dst/kernel/$(dirname $d)"
    cp -a "$src/kernel/$d" "$dst/kernel/$d"
done
rm -rf "$work/kernel.full"
depmod -b "$work/root" "$kver"

echo "setup: building the initramfs"
initramfs=$work/initramfs
mkdir -p "$initramfs"/{bin,proc,sys,dev,lower,rw,newroot,mods}
cp /bin/busybox "$initramfs/bin/busybox"
for m in virtio_pci 9pnet_virtio 9p overlay; do
    modprobe -d "$work/root" -S "$kver" --show-depends $m | awk '$1 == "insmod" {print $2}'
done | awk '!seen[$0]++' | while read -r ko; do
    # busybox's insmod takes uncompressed modules only.
    name=$(basename "${ko%.xz}")
    case "$ko" in *.xz) xz -dc "$ko" > "$initramfs/mods/$name" ;; *) cp "$ko" "$initramfs/mods/$name" ;; esac
    echo "$name" >> "$initramfs/mods/order"
done
install -m 755 "$HERE/initramfs-init" "$initramfs/init"
(cd "$initramfs" && find . | cpio -o -H newc --quiet | gzip -1) > "$work/initramfs.cpio.gz"
rm -rf "$initramfs"
echo "$stamp" > "$work/stamp"
mv "$work" "$VM"
echo "setup: $release: kernel $kver, bluetoothd $(chroot "$VM/root" /usr/libexec/bluetooth/bluetoothd --version)," \
    "$(du -sh "$VM" | cut -f1) in $VM"
