#!/usr/bin/env bash
# Installs what is missing, makes a Release build of veltrow and veltrow-send
# and the Debian package veltrow_VERSION_ARCH.deb (CPack) in the repository's
# root folder. Install it with: apt install ./veltrow_*.deb
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"

bash "$root/scripts/setup.sh"

# The Release build of scripts/run.sh: whichever runs second rebuilds little.
build="$root/build-run"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF \
  -DCMAKE_SKIP_INSTALL_ALL_DEPENDENCY=ON >/dev/null
cmake --build "$build" --target package_programs -j"$(nproc)"

rm -rf "$build/deb"
(cd "$build" && cpack -G DEB -B "$build/deb" >/dev/null)
rm -f "$root"/veltrow_*.deb
cp "$build"/deb/veltrow_*.deb "$root/"
ls "$root"/veltrow_*.deb
