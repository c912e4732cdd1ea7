#!/usr/bin/env bash
# Fetches Debian's proftpd (the daemon and its mod_tls) for the real-server tests without installing it:
# apt will not install it beside vsftpd, as both claim to be the system's ftp server. The packages are
# unpacked into FOLDER (FOLDER/usr/sbin/proftpd, FOLDER/usr/lib/proftpd/mod_tls.so); the libraries the
# daemon links are installed by scripts/deps.sh.
#
# Usage: fetch_proftpd.sh FOLDER
# Quiet when FOLDER already holds them. When they cannot be fetched, says why on stderr, exits 1 and
# remembers the reason in FOLDER.failed for half an hour, so that each test does not wait on the mirror
# again (the test command removes it before its own try).
set -euo pipefail
dest=${1:?usage: fetch_proftpd.sh FOLDER}
packages=(proftpd-core proftpd-mod-crypto)

ready() { [ -x "$dest/usr/sbin/proftpd" ] && [ -f "$dest/usr/lib/proftpd/mod_tls.so" ]; }
recent_failure() { [ -n "$(find "$dest.failed" -mmin -30 2>/dev/null)" ]; }

ready && exit 0
mkdir -p "$(dirname "$dest")"
# Tests run in parallel: one fetches, the others wait for it.
exec 9>"$dest.lock"
if ! flock -w 600 9; then
  echo "proftpd: another fetch into $dest did not end in time" >&2
  exit 1
fi
ready && exit 0
if recent_failure; then
  cat "$dest.failed" >&2
  exit 1
fi

work=$(mktemp -d "$dest.fetch.XXXXXX")
trap 'rm -rf "$work"' EXIT
apt_options=(-q -o Acquire::Retries=1 -o Acquire::http::Timeout=20)
# apt's unprivileged download user cannot write into a folder of root's.
[ "$(id -u)" -ne 0 ] || apt_options+=(-o APT::Sandbox::User=root)
fetch() { (cd "$work" && timeout 180 apt-get "${apt_options[@]}" download "${packages[@]}") >>"$work/apt.log" 2>&1; }
if ! fetch; then
  # The package lists may name a version the mirror no longer has.
  as_root=()
  [ "$(id -u)" -eq 0 ] || as_root=(sudo -n)
  "${as_root[@]}" timeout 180 apt-get -qq update >>"$work/apt.log" 2>&1 || true
  if ! fetch; then
    { echo "proftpd could not be fetched: apt-get download ${packages[*]} failed:"; tail -n 5 "$work/apt.log"; } \
      >"$dest.failed"
    cat "$dest.failed" >&2
    exit 1
  fi
fi
mkdir "$work/unpacked"
for deb in "$work"/*.deb; do
  dpkg-deb -x "$deb" "$work/unpacked"
done
rm -rf "$dest" "$dest.failed"
mv "$work/unpacked" "$dest"
ready
