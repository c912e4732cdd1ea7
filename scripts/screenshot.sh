#!/usr/bin/env bash
# Pictures Wisp connected to the demo FTP site, without a display: builds the UI tests, starts the demo
# site, runs the disabled screenshot test against it offscreen and saves the window as a PNG.
# Usage: screenshot.sh [OUTPUT.png [remote|transfers]]   (default /tmp/wisp-screenshot.png, the Remote page)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
output=$(realpath -m "${1:-/tmp/wisp-screenshot.png}")
case "${2:-remote}" in
  remote) picture=RemotePageOnTheDemoSite ;;
  transfers) picture=TransfersPageOnTheDemoSite ;;
  *) echo "Which page? remote or transfers" >&2; exit 2 ;;
esac
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build --target ui_tests

demo_dir=""
trap '[ -z "$demo_dir" ] || bash scripts/demo-server.sh stop "$demo_dir"' EXIT
read -r port demo_dir < <(bash scripts/demo-server.sh start $$) || true
[ -n "$demo_dir" ] || { echo "The demo FTP site did not start." >&2; exit 1; }
QT_QPA_PLATFORM=offscreen WISP_SCREENSHOT_URL="ftp://127.0.0.1:${port}/" WISP_SCREENSHOT_FILE="$output" \
  ./build/ui_tests --gtest_also_run_disabled_tests --gtest_filter="ScreenshotTest.DISABLED_${picture}"
echo "Saved $output"
