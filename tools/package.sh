#!/usr/bin/env bash
# Builds the Debian package of norvel-read for one architecture on Debian 12: installs what
# is missing (groups build, package and for arm64/armhf package-ARCH of
# tools/debian-packages.txt: the cross compiler and multiarch libsystemd-dev), builds the tool
# with Debian's build flags in build-deb-ARCH and packages it with CPack. Progress goes to
# stderr; the last line of stdout is the .deb's path. SOURCE_DATE_EPOCH defaults to the date
# of the latest entry of packaging/changelog, so that every build of a version is the same.
#   usage: tools/package.sh [amd64|arm64|armhf]   (default: this machine's architecture)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

note() { printf 'package: %s\n' "$*" >&2; }

host=$(dpkg --print-architecture)
arch=${1:-$host}
groups=(build package)
toolchain=()
case "$arch" in
  "$host") ;;
  arm64) groups+=(package-arm64)
         toolchain=(-DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchains/aarch64-linux-gnu.cmake") ;;
  armhf) groups+=(package-armhf)
         toolchain=(-DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchains/arm-linux-gnueabihf.cmake") ;;
  *) note "usage: tools/package.sh [amd64|arm64|armhf]"; exit 2 ;;
esac

bash "$root/tools/install_missing.sh" "${groups[@]}"

SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(dpkg-parsechangelog -l packaging/changelog -STimestamp)}
export SOURCE_DATE_EPOCH
# Debian's hardening and reproducibility flags for the target architecture.
eval "$(DEB_HOST_ARCH=$arch DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --export=sh)"
export CXXFLAGS="$CXXFLAGS $CPPFLAGS" LDFLAGS

build=build-deb-$arch
note "building norvel-read for $arch in $build"
cmake -S . -B "$build" "${toolchain[@]}" -DCMAKE_BUILD_TYPE=None -DBUILD_TESTING=OFF \
  -DNORVEL_WERROR=ON >&2
cmake --build "$build" -j2 >&2
note "packaging"
# CPack leaves a .deb of the same bytes untouched, old time and all: remove the last build's
# so that the one found below is this build's.
rm -f "$build"/norvel-read_*_"$arch".deb
(cd "$build" && cpack -G DEB >&2)
deb=$(find "$build" -maxdepth 1 -name "norvel-read_*_$arch.deb" | sort | tail -n 1)
[[ -n $deb ]] || { note "no .deb for $arch in $build"; exit 1; }
realpath "$deb"
