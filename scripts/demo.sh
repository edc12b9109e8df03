#!/usr/bin/env bash
# The demo: installs what building needs, builds the command line, then runs `vantorel-uptime watch`
# on a fresh demo directory with a few loopback targets. One of them, a small
# local web server, is stopped and started again every 15 seconds, so the
# table shows a monitor going down and coming back, with its flips.
#
#   bash scripts/demo.sh [SECONDS]    (default 75; 0 = until Ctrl-C)
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-75}

bash scripts/setup.sh
# The compilers scripts/test.sh uses for build/, so that it can go on from here.
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=gcc -DCMAKE_CXX_COMPILER=g++ >/dev/null
cmake --build build --target vantorel-uptime

cli=./build/cli/vantorel-uptime
demo=$(pwd)/demo-data
rm -rf "$demo"
work=$(mktemp -d)
server_pid=""
flipper_pid=""
cleanup() {
  [ -n "$flipper_pid" ] && kill "$flipper_pid" 2>/dev/null || true
  [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null || true
  pkill -P $$ 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

start_server() {  # [port]
  local args=(--port-file "$work/port" --max-seconds 3600)
  [ -n "${1:-}" ] && args+=(--port "$1")
  rm -f "$work/port"
  python3 tests/servers/http_fixture.py "${args[@]}" >/dev/null 2>&1 &
  server_pid=$!
  for _ in $(seq 50); do [ -s "$work/port" ] && break; sleep 0.1; done
}
start_server
port=$(cat "$work/port")

"$cli" --dir "$demo" add "Web front" http "http://127.0.0.1:$port/status/200" >/dev/null
"$cli" --dir "$demo" add "Slow API" http "127.0.0.1:$port/slow/400/status/200" >/dev/null
"$cli" --dir "$demo" add "Web port" tcp "127.0.0.1:$port" >/dev/null
"$cli" --dir "$demo" add "Resolver" dns localhost >/dev/null
"$cli" --dir "$demo" add "Loopback" ping 127.0.0.1 >/dev/null
"$cli" --dir "$demo" add "Old backend" http "127.0.0.1:$port/status/503" >/dev/null

# Turns the web server off and on again, on the same port.
(
  trap 'kill "$pid" 2>/dev/null; exit 0' TERM
  pid=$server_pid
  while true; do
    sleep 15
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
    sleep 15
    python3 tests/servers/http_fixture.py --port "$port" --max-seconds 3600 >/dev/null 2>&1 &
    pid=$!
  done
) &
flipper_pid=$!
server_pid=""

echo "demo: watching $demo; the web server on port $port goes down and up every 15 s"
if [ "$seconds" = 0 ]; then
  "$cli" --dir "$demo" watch --interval-override 2
else
  "$cli" --dir "$demo" watch --interval-override 2 &
  watch_pid=$!
  sleep "$seconds"
  kill -TERM "$watch_pid"
  wait "$watch_pid" || true
  echo "demo: stopped after $seconds s; run 'bash scripts/demo.sh 0' to watch until Ctrl-C"
fi
