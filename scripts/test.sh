#!/usr/bin/env bash
# Installs what is missing, builds every configuration and runs every test:
# the plain build (all tests), the core tests under ASan+UBSan and under TSan (built without Qt, after a
# check that only the UI includes Qt headers), and each fuzz target briefly.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
bash scripts/deps.sh test
# proftpd for the real-server tests, unpacked from Debian's package into .cache/proftpd (its rows skip,
# saying why, when it cannot be fetched); a failure an earlier run remembered is tried again.
rm -f .cache/proftpd.failed
bash tests/support/fetch_proftpd.sh "$root/.cache/proftpd" || echo "proftpd is not available: its tests will be skipped" >&2

# A local account for the SFTP password-login tests, made only where the command runs as root: no shell of
# its own and a new random password on each run, kept in a file only root reads; the tests skip without it.
if [ "$(id -u)" = 0 ]; then
  id wisp-sftp-test >/dev/null 2>&1 || useradd --system --no-create-home --shell /usr/sbin/nologin wisp-sftp-test
  sftp_password=$(head -c 24 /dev/urandom | base64 | tr -d '/+=')
  echo "wisp-sftp-test:$sftp_password" | chpasswd
  mkdir -p .cache
  (umask 077 && printf '%s' "$sftp_password" > .cache/sftp-test-password)
fi

fuzz_seconds=${WISP_FUZZ_SECONDS:-15}
passed=0
failed=0
skipped=0

# run_ctest <build-dir> [ctest args...]: runs ctest and adds its counts to the totals.
run_ctest() {
  local dir=$1; shift
  local log="$dir/ctest-summary.log"
  local status=0
  ctest --test-dir "$dir" --output-on-failure -j2 "$@" 2>&1 | tee "$log" || status=1
  local line total nfail
  line=$(grep -E 'tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -n 1 || true)
  if [ -z "$line" ]; then
    echo "ctest in $dir printed no summary" >&2
    failed=$((failed + 1))
    return
  fi
  nfail=$(sed -E 's/.* ([0-9]+) tests? failed out of ([0-9]+).*/\1/' <<<"$line")
  total=$(sed -E 's/.* ([0-9]+) tests? failed out of ([0-9]+).*/\2/' <<<"$line")
  local nskip
  nskip=$(grep -cE '^ *[0-9]+/[0-9]+ Test +#[0-9]+: .*\*\*\*Skipped' "$log" || true)
  passed=$((passed + total - nfail - nskip))
  failed=$((failed + nfail))
  skipped=$((skipped + nskip))
  [ "$status" -eq 0 ] || [ "$nfail" -gt 0 ] || failed=$((failed + 1))
}

# The real-server matrix (every server, TLS version and mode) runs in the plain build; the sanitizer builds
# run every other core test, the scripted-server faults included, which drive the same engine code.
real_server_matrix='^(Servers|ServersOnIPv6|Tls)/'

configure_and_build() {
  local dir=$1; shift
  cmake -S . -B "$dir" -G Ninja "$@" >/dev/null
  cmake --build "$dir"
}

echo "== plain build: every test =="
# Line tables only: backtraces keep file and line, and the build takes a third less time than with full
# debug information.
configure_and_build build -DCMAKE_BUILD_TYPE=RelWithDebInfo "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O2 -g1 -DNDEBUG"
run_ctest build

echo "== ASan + UBSan: core tests =="
# Line tables only in the sanitizer builds: their reports keep file and line, and the builds are quicker.
# The widgets are left out: building Qt's pages and their tests again took a fifth of the whole run, and the
# page logic they drive is core code tested here.
configure_and_build build-asan -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG=-g1 -DWISP_SANITIZE=address -DWISP_BUILD_BENCH=OFF \
  -DWISP_BUILD_UI=OFF
# Qt's own libraries keep some allocations for the process's life; tests/lsan.supp names them.
lsan_options=""
[ -f tests/lsan.supp ] && lsan_options="suppressions=$root/tests/lsan.supp"
ASAN_OPTIONS=detect_leaks=1 LSAN_OPTIONS="$lsan_options" UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  run_ctest build-asan -E "$real_server_matrix"

echo "== core without Qt: no Qt header outside src/ui, tests/ui and bench/ui =="
# Qt headers only under src/ui, tests/ui and bench/ui; the TSan build below then builds and tests the core with Qt
# made unfindable, so a core file that needs Qt fails there.
qt_includes=$(grep -rlE '^[[:space:]]*#[[:space:]]*include[[:space:]]*[<"](Q[A-Z][A-Za-z]*|Qt[A-Za-z]+/[^>"]*)[>"]' \
  src tests bench fuzz 2>/dev/null | grep -vE '^(src/ui|tests/ui|bench/ui)/' || true)
if [ -z "$qt_includes" ]; then
  echo "no-Qt check: ok"
  passed=$((passed + 1))
else
  echo "no-Qt check: FAILED, Qt headers included by:"; echo "$qt_includes"
  failed=$((failed + 1))
fi

echo "== TSan: core tests, built without Qt =="
configure_and_build build-tsan -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG=-g1 -DWISP_SANITIZE=thread -DWISP_BUILD_UI=OFF \
  -DWISP_BUILD_BENCH=OFF -DCMAKE_DISABLE_FIND_PACKAGE_Qt6=ON
tsan_options="halt_on_error=1 second_deadlock_stack=1"
[ -f tests/tsan.supp ] && tsan_options="$tsan_options suppressions=$root/tests/tsan.supp"
TSAN_OPTIONS="$tsan_options" run_ctest build-tsan -E "$real_server_matrix"

echo "== fuzz targets, ${fuzz_seconds}s each =="
if ls fuzz/*.cpp >/dev/null 2>&1; then
  # -O1: the session target explores about twice as many inputs a second as unoptimised, asserts kept.
  configure_and_build build-fuzz -DCMAKE_BUILD_TYPE=Debug "-DCMAKE_CXX_FLAGS_DEBUG=-O1 -g1" -DCMAKE_CXX_COMPILER=clang++ -DWISP_FUZZ=ON \
    -DWISP_BUILD_UI=OFF -DWISP_BUILD_TESTS=OFF -DWISP_BUILD_BENCH=OFF
  # Two targets at a time, one per core; each writes its status beside its log.
  for src in fuzz/*.cpp; do
    name=$(basename "$src" .cpp)
    corpus="build-fuzz/corpus-$name"
    mkdir -p "$corpus"
    [ -d "fuzz/seeds/$name" ] && cp -n fuzz/seeds/"$name"/* "$corpus"/ 2>/dev/null || true
    rm -f "build-fuzz/$name.status"
    (
      status=0
      "./build-fuzz/$name" -max_total_time="$fuzz_seconds" -max_len=1024 -print_final_stats=0 "$corpus" \
        >"build-fuzz/$name.log" 2>&1 || status=$?
      echo "$status" >"build-fuzz/$name.status"
    ) &
    while [ "$(jobs -rp | wc -l)" -ge 2 ]; do wait -n || true; done
  done
  wait
  for src in fuzz/*.cpp; do
    name=$(basename "$src" .cpp)
    if [ "$(cat "build-fuzz/$name.status" 2>/dev/null)" = "0" ]; then
      echo "fuzz $name: ok"
      passed=$((passed + 1))
    else
      echo "fuzz $name: FAILED"; tail -n 40 "build-fuzz/$name.log"
      failed=$((failed + 1))
    fi
  done
fi

echo
echo "${passed} passed, ${failed} failed, ${skipped} skipped"
[ "$failed" -eq 0 ]
