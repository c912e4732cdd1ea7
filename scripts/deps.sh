#!/usr/bin/env bash
# Installs the Debian packages Wisp needs that are not installed yet; quiet when all are there.
# Usage: deps.sh run|test
set -euo pipefail

run_packages=(cmake ninja-build g++ pkg-config qt6-base-dev libgl-dev libssl-dev libssh-dev)
# proftpd itself cannot be installed beside vsftpd (both claim to be the system's ftp server): the test
# command unpacks its package (tests/support/fetch_proftpd.sh), and these are the libraries it links.
proftpd_libraries=(libhiredis0.14 libmemcached11 libmemcachedutil2 libpcre2-posix3)
test_packages=("${run_packages[@]}" libgtest-dev libgmock-dev clang libclang-rt-14-dev
               python3-pyftpdlib python3-openssl openssl vsftpd openssh-server openssh-client curl lftp iproute2 locales-all tzdata desktop-file-utils
               xvfb openbox xdotool x11-utils "${proftpd_libraries[@]}")

case "${1:-test}" in
  run) wanted=("${run_packages[@]}") ;;
  test) wanted=("${test_packages[@]}") ;;
  *) echo "usage: deps.sh run|test" >&2; exit 2 ;;
esac

missing=()
for pkg in "${wanted[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$pkg")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
as_root=()
[ "$(id -u)" -eq 0 ] || as_root=(sudo)
export DEBIAN_FRONTEND=noninteractive
"${as_root[@]}" apt-get update -qq
"${as_root[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
