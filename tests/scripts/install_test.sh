#!/usr/bin/env bash
# The desktop integration: a valid desktop entry that handles ftp://, ftpes://, ftps:// and sftp:// links, and an
# install into a prefix that holds the program, the entry and the icon at every size the desktop asks for.
# Usage: install_test.sh BUILD_DIR
set -uo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
. "$root/tests/scripts/check.sh"
build=$1

check "desktop-file-validate accepts the entry" desktop-file-validate "$root/resources/wisp.desktop"
entry=$(cat "$root/resources/wisp.desktop")
for line in "Exec=wisp %u" "Icon=wisp" "MimeType=x-scheme-handler/ftp;x-scheme-handler/ftpes;x-scheme-handler/ftps;x-scheme-handler/sftp;" "Categories=Network;FileTransfer;"; do
  check "the entry says $line" grep -qxF -- "$line" <<<"$entry"
done

prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
check "cmake --install into a temporary prefix" bash -c "cmake --install '$build' --prefix '$prefix' >/dev/null"
check "bin/wisp is installed and runs" bash -c "'$prefix/bin/wisp' --version | grep -q '^Wisp '"
check "the entry is installed" cmp -s "$root/resources/wisp.desktop" "$prefix/share/applications/wisp.desktop"

# Width and height from a PNG's IHDR chunk.
png_size() {
  od -An -tu1 -j16 -N8 "$1" | awk '{ printf "%dx%d", $3 * 256 + $4, $7 * 256 + $8 }'
}
for size in 16 32 48 128; do
  icon="$prefix/share/icons/hicolor/${size}x${size}/apps/wisp.png"
  check "the ${size}x${size} icon is a ${size} by ${size} PNG" test "$(png_size "$icon" 2>/dev/null)" = "${size}x${size}"
done
check "the scalable icon is installed" test -s "$prefix/share/icons/hicolor/scalable/apps/wisp.svg"
finish
