#!/usr/bin/env bash
# Installs the Debian packages of the named groups of tools/debian-packages.txt that are not
# installed yet (with sudo when not root), adding the foreign architecture of a "name:arch"
# package first. Notes go to stderr, so a caller's stdout stays its own.
#   usage: tools/install_missing.sh GROUP...   (e.g. build test)
set -euo pipefail
list=$(dirname "$0")/debian-packages.txt
packages=()
for group in "$@"; do
  found=$(awk -v group="$group:" '$1 == group {$1 = ""; print}' "$list")
  [[ -n $found ]] || { echo "install_missing: no group $group in $list" >&2; exit 2; }
  read -r -a words <<<"${found//$'\n'/ }"
  packages+=("${words[@]}")
done
missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' ||
    missing+=("$package")
done
((${#missing[@]} == 0)) && exit 0
sudo=()
((EUID == 0)) || sudo=(sudo)
for package in "${missing[@]}"; do
  [[ $package == *:* ]] || continue
  arch=${package#*:}
  if [[ $arch != "$(dpkg --print-architecture)" ]] &&
    ! dpkg --print-foreign-architectures | grep -qx "$arch"; then
    echo "install_missing: adding the foreign architecture $arch" >&2
    "${sudo[@]}" dpkg --add-architecture "$arch"
  fi
done
echo "install_missing: installing ${missing[*]}" >&2
# Another apt run on this machine (an unattended upgrade, a second build) makes this one wait.
apt=("${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600)
"${apt[@]}" update -qq >&2
"${apt[@]}" install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
