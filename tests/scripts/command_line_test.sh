#!/usr/bin/env bash
# The program's command line: help and version need no display; a URL or option it cannot use is
# refused on standard error with status 2 and starts nothing.
# Usage: command_line_test.sh WISP_EXECUTABLE
set -uo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
. "$root/tests/scripts/check.sh"
wisp=$1
# No display at all: a program that reached the window system here would fail.
headless=(env -u DISPLAY -u WAYLAND_DISPLAY QT_QPA_PLATFORM=xcb)

out=$("${headless[@]}" "$wisp" --help); status=$?
check "--help exits 0 without a display" test "$status" -eq 0
check "--help prints the usage to standard output" grep -q '^Usage: wisp \[URL\]' <<<"$out"
out=$("${headless[@]}" "$wisp" --version); status=$?
check "--version exits 0 without a display" test "$status" -eq 0
check "--version prints the name and version" grep -qE '^Wisp [0-9]+\.[0-9]+' <<<"$out"

err=$("${headless[@]}" "$wisp" 'ftp://host/a%zz' 2>&1 >/dev/null); status=$?
check "a malformed escape exits 2" test "$status" -eq 2
check "a malformed escape is named" grep -qF 'malformed escape "%zz"' <<<"$err"
err=$("${headless[@]}" "$wisp" 'ftp://a/' 'ftp://b/' 2>&1 >/dev/null); status=$?
check "two URLs exit 2" test "$status" -eq 2
err=$(QT_QPA_PLATFORM=offscreen "$wisp" --frobnicate 2>&1 >/dev/null); status=$?
check "an unknown option exits 2" test "$status" -eq 2
check "an unknown option is named" grep -qF 'unknown option "--frobnicate"' <<<"$err"
finish
