#!/usr/bin/env bash
# Runs a command as root in a chroot of a release's root (the real-stack guest's, made and
# cached by setup.sh) under a throwaway overlay, so the cached root stays as made: with /proc
# and /dev, the repository mounted read-only at its path and as the working directory, and no
# network. For what a user of that release gets, e.g. a package installed with apt.
#   usage: tools/real_stack_vm/chroot.sh RELEASE COMMAND [ARG...]
# Exit status: the command's.
set -euo pipefail
release=${1:?usage: chroot.sh RELEASE COMMAND [ARG...]}
shift
repo=$(realpath "$(dirname "$0")/../..")
bash "$repo/tools/install_missing.sh" real-stack
bash "$repo/tools/real_stack_vm/setup.sh" "$release"
lower=${REAL_STACK_CACHE:-/var/cache/norvel-real-stack}/$release/root

work=$(mktemp -d /var/tmp/release-chroot.XXXXXX)
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

chroot "$work/root" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin LANG=C.UTF-8 HOME=/root \
  DEBIAN_FRONTEND=noninteractive bash -c 'cd "$1" && shift && exec "$@"' chroot "$repo" "$@"
