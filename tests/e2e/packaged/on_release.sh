#!/usr/bin/env bash
# Installs a package with "apt install ./PACKAGE.deb" on a Debian release's root and runs the
# packaged rows there against the installed norvel-read: what a user of that release gets.
# The root is the real-stack guest's (tools/real_stack_vm/setup.sh, cached), entered with
# chroot under a throwaway overlay, so the cached root stays as made. Needs root.
#   usage: tests/e2e/packaged/on_release.sh PACKAGE.deb [RELEASE]   (default: trixie)
set -euo pipefail
deb=$(realpath "${1:?usage: on_release.sh PACKAGE.deb [RELEASE]}")
release=${2:-trixie}
repo=$(realpath "$(dirname "$0")/../../..")
bash "$repo/tools/install_missing.sh" mount
bash "$repo/tools/real_stack_vm/setup.sh" "$release"
lower=${REAL_STACK_CACHE:-/var/cache/norvel-real-stack}/$release/root

work=$(mktemp -d /var/tmp/on-release.XXXXXX)
mounted=()
cleanup() {
  local i
  for ((i = ${#mounted[@]} - 1; i >= 0; i--)); do umount -l "${mounted[$i]}" || true; done
  rm -rf --one-file-system "$work"
}
trap cleanup EXIT
mkdir -p "$work"/{upper,overlay-work,root}
mount -t overlay overlay -o "lowerdir=$lower,upperdir=$work/upper,workdir=$work/overlay-work" "$work/root"
mounted+=("$work/root")
for fs in proc dev; do
  mount --rbind "/$fs" "$work/root/$fs"
  mount --make-rslave "$work/root/$fs"
  mounted+=("$work/root/$fs")
done
mkdir -p "$work/root$repo"
mount --bind -o ro "$repo" "$work/root$repo"
mounted+=("$work/root$repo")
cp "$deb" "$work/root/tmp/"

chroot "$work/root" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin LANG=C.UTF-8 HOME=/root \
  bash -euc 'echo "on-release: $(. /etc/os-release && echo "$PRETTY_NAME")"
             DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$1" >/dev/null
             cd "$2" && bash tests/e2e/packaged/run.sh --installed "$1"' \
  on-release "/tmp/$(basename "$deb")" "$repo"
