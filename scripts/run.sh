#!/usr/bin/env bash
# Installs what is missing, builds Veltrow and starts it.
#
# Veltrow keeps its settings in ~/Veltrow, or in the folder it is started
# from when that already holds "設定.txt"; arguments go to Veltrow
# (--profile DIR names another folder).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"

bash "$root/scripts/setup.sh"

build="$root/build-run"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
cmake --build "$build" --target veltrow veltrow-send -j"$(nproc)"

# --version and --help answer before any window exists.
window=yes
for arg in "$@"; do
  case "$arg" in --version | --help) window=no ;; esac
done

if [ "$window" = yes ] && [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ] && [ -z "${QT_QPA_PLATFORM:-}" ]; then
  cat >&2 <<MSG
Veltrow is built ($build/app/veltrow), but there is no display to show its
window on (neither DISPLAY nor WAYLAND_DISPLAY is set).

Start it from a desktop session, or run it under a virtual X display:

    xvfb-run -a bash scripts/run.sh

(xvfb-run comes with the xvfb package, which scripts/setup.sh installs.)
MSG
  exit 2
fi

exec "$build/app/veltrow" "$@"
