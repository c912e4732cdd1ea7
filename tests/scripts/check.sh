# Shared by the script tests: `check DESCRIPTION COMMAND...` runs the command and counts a failure.
failures=0
check() {
  local what=$1; shift
  if "$@"; then
    echo "ok: $what"
  else
    echo "FAILED: $what"
    failures=$((failures + 1))
  fi
}
finish() {
  [ "$failures" -eq 0 ] || { echo "$failures check(s) failed"; exit 1; }
}
