#!/usr/bin/env bash
# The start command's demo FTP site: it serves the demo folder to anonymous users on 127.0.0.1 from port
# 2121 upward, takes uploads into incoming/, and its stop path closes the port and removes the folder.
set -uo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
. "$root/tests/scripts/check.sh"
demo="$root/scripts/demo-server.sh"

out=$(bash "$demo" start) || { echo "FAILED: the demo server did not start"; exit 1; }
read -r port dir <<<"$out"
trap '[ -d "$dir" ] && bash "$demo" stop "$dir"' EXIT
url="ftp://127.0.0.1:$port"

check "port $port is 2121 or the next free one above" test "$port" -ge 2121 -a "$port" -le 2221
listing=$(curl -sS --max-time 60 "$url/")
for name in README.txt docs binary incoming many-files "latest.txt -> docs/mixed-line-ends.txt"; do
  check "the root listing shows $name" grep -qF -- "$name" <<<"$listing"
done
check "many-files holds 10,000 files" \
  test "$(curl -sS --max-time 120 --list-only "$url/many-files/" | wc -l)" -eq 10000
work=$(mktemp -d)
curl -sS --max-time 60 -o "$work/mixed.txt" "$url/docs/mixed-line-ends.txt"
count() { tr -cd "$1" <"$2" | wc -c; }
check "the text file has CR LF line ends" grep -q $'\r$' "$work/mixed.txt"
check "the text file has a LF without CR" grep -q $'[^\r]$' "$work/mixed.txt"
check "the text file has a CR without LF" test "$(count '\r' "$work/mixed.txt")" -gt "$(grep -c $'\r$' "$work/mixed.txt")"
curl -sS --max-time 60 -o "$work/all-bytes.bin" "$url/binary/all-bytes.bin"
check "the binary file holds every byte value" \
  test "$(od -An -v -tu1 "$work/all-bytes.bin" | tr -s ' ' '\n' | grep . | sort -u | wc -l)" -eq 256
# Held to 10 MB/s, big.bin takes over three seconds: one second brings well under half of it.
curl -sS --max-time 1 -o "$work/big.bin" "$url/binary/big.bin" 2>/dev/null
check "the data rate is limited" test "$(stat -c %s "$work/big.bin")" -lt $((16 << 20))
rm -rf "$work"

upload=$(mktemp)
printf 'uploaded by the test\n' >"$upload"
check "an anonymous upload into incoming/ is stored" \
  bash -c "curl -sS --max-time 60 -T '$upload' '$url/incoming/up.txt' && cmp -s '$upload' '$dir/site/incoming/up.txt'"
rm -f "$upload"
check "the server listens on 127.0.0.1 only" \
  bash -c "! ss -Hltn 'sport = :$port' | grep -v '127.0.0.1:$port' | grep -q ."

pid=$(cat "$dir/server.pid")
check "the stop path succeeds" bash "$demo" stop "$dir"
check "the server process has ended" bash -c "! kill -0 $pid 2>/dev/null"
check "the port is closed" bash -c "! (exec 3<>/dev/tcp/127.0.0.1/$port) 2>/dev/null"
check "the temporary folder is gone" test ! -e "$dir"
check "stop refuses a folder that is not a demo site" bash -c "! bash '$demo' stop '$root/tests' 2>/dev/null"
check "the repository survived that refusal" test -d "$root/tests/scripts"
finish
