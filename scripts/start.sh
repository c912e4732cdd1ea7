#!/usr/bin/env bash
# Installs what is missing, builds Wisp and starts it.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
bash scripts/deps.sh run
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build --target wisp
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ] && [ -z "${QT_QPA_PLATFORM:-}" ]; then
  echo "Wisp needs a graphical display: no DISPLAY or WAYLAND_DISPLAY is set (run it from a desktop session)." >&2
  exit 1
fi
exec ./build/wisp "$@"
