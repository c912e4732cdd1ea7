#!/usr/bin/env bash
# Starts and stops Wisp's demo FTP site (scripts/demo_server.py) on 127.0.0.1.
#   demo-server.sh start [WATCH_PID]  builds the demo folder in a new temporary folder, starts the server
#                                     and prints "PORT FOLDER"; with WATCH_PID the server also ends when that
#                                     process does
#   demo-server.sh stop FOLDER        stops that server and removes its folder
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
# pyftpdlib is a module of Debian's python3; another python3 earlier on PATH may not have it.
python=/usr/bin/python3
marker=.wisp-demo

stop() {
  local dir=$1
  if [ ! -f "$dir/$marker" ]; then
    echo "demo-server.sh: $dir is not a demo site folder" >&2
    return 1
  fi
  local pid
  pid=$(cat "$dir/server.pid" 2>/dev/null || true)
  if [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null; then
    kill -TERM "$pid" 2>/dev/null || true
    for _ in $(seq 50); do
      kill -0 "$pid" 2>/dev/null || break
      sleep 0.1
    done
    kill -KILL "$pid" 2>/dev/null || true
  fi
  rm -rf -- "$dir"
}

start() {
  local watch=${1:-}
  local dir
  dir=$(mktemp -d "${TMPDIR:-/tmp}/wisp-demo.XXXXXX")
  touch "$dir/$marker"
  # Its own session: a Ctrl-C meant for Wisp does not reach the server before the stop path does.
  setsid "$python" "$here/demo_server.py" "$dir" $watch </dev/null >"$dir/server.out" 2>&1 &
  echo $! >"$dir/server.pid"
  for _ in $(seq 1200); do
    if [ -f "$dir/port" ]; then
      echo "$(cat "$dir/port") $dir"
      return 0
    fi
    if ! kill -0 "$(cat "$dir/server.pid")" 2>/dev/null; then
      break
    fi
    sleep 0.1
  done
  echo "demo-server.sh: the demo server did not start:" >&2
  cat "$dir/server.out" >&2 || true
  stop "$dir" || true
  return 1
}

case "${1:-}" in
  start) start "${2:-}" ;;
  stop) [ -n "${2:-}" ] || { echo "usage: demo-server.sh stop FOLDER" >&2; exit 2; }; stop "$2" ;;
  *) echo "usage: demo-server.sh start [WATCH_PID] | stop FOLDER" >&2; exit 2 ;;
esac
