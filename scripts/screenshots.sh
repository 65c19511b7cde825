#!/usr/bin/env bash
# Renders the main, About and Settings windows to PNG files under a virtual
# X display (xvfb-run), with the fonts set-up installs.
# Usage: bash scripts/screenshots.sh [OUTPUT-FOLDER]   (default docs/screenshots)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
out="$(realpath -m "${1:-$root/docs/screenshots}")"

bash "$root/scripts/setup.sh"

build="$root/build-run"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
cmake --build "$build" --target veltrow_screenshots -j"$(nproc)"

mkdir -p "$out"
# An X server of its own, so the windows are drawn by the real xcb platform.
env -u QT_QPA_PLATFORM xvfb-run -a -s "-screen 0 1024x768x24" \
  "$build/app/veltrow_screenshots" "$out"
