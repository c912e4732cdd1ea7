#!/usr/bin/env bash
# Installs what is missing, builds Wisp and starts it.
#   start.sh        also starts a demo FTP site on 127.0.0.1 (scripts/demo-server.sh) and opens Wisp on it;
#                   closing Wisp stops the site and removes its temporary folder
#   start.sh URL    opens Wisp on URL, without a demo site
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
bash scripts/deps.sh run
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build --target wisp
# Checked before the demo site starts, so a machine without a display never gets a server left behind.
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ] && [ -z "${QT_QPA_PLATFORM:-}" ]; then
  echo "Wisp needs a graphical display: no DISPLAY or WAYLAND_DISPLAY is set (run it from a desktop session)." >&2
  exit 1
fi
if [ $# -gt 0 ]; then
  exec ./build/wisp "$@"
fi

demo_dir=""
stop_demo() {
  if [ -n "$demo_dir" ]; then
    bash scripts/demo-server.sh stop "$demo_dir" || true
    demo_dir=""
  fi
}
trap stop_demo EXIT
trap 'exit 130' INT
trap 'exit 143' TERM HUP
echo "Starting the demo FTP site on 127.0.0.1 (builds a folder of 10,000 files; a few seconds) ..."
# The server also ends on its own should this script be killed before it can stop it.
read -r demo_port demo_dir < <(bash scripts/demo-server.sh start $$) || true
[ -n "$demo_dir" ] || { echo "The demo FTP site did not start." >&2; exit 1; }
echo "Demo FTP site: ftp://127.0.0.1:${demo_port}/ (stops when Wisp closes)"
./build/wisp "ftp://127.0.0.1:${demo_port}/"
