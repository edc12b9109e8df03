#!/usr/bin/env bash
# Runs a network test binary against loopback servers that this script starts
# and stops itself. As root it first moves into a private network namespace
# with only a loopback interface, so that no probe, and no name lookup, can
# leave the machine; tests that need such isolation skip without it.
#
#   run_network_tests.sh TEST_COMMAND [ARGS...]
#
# The test learns the servers from the file named by VUE_TEST_SERVERS: one
# line per server, "name port log-file".
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
servers_dir=$here/../servers

if [ -z "${VUE_NETNS_ENTERED:-}" ] && [ "$(id -u)" -eq 0 ] && unshare --net true 2>/dev/null; then
  exec unshare --net env VUE_NETNS_ENTERED=1 bash "$0" "$@"
fi
if [ -n "${VUE_NETNS_ENTERED:-}" ]; then
  ip link set lo up
  export VUE_PRIVATE_NETNS=1
fi

work=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

bash "$servers_dir/make_certs.sh" "$work/certs"

# name bind [cert]
start_server() {
  local name=$1 bind=$2 cert=${3:-}
  local args=(--bind "$bind" --port-file "$work/$name.port" --log "$work/$name.log" --max-seconds 1800)
  [ -n "$cert" ] && args+=(--tls-cert "$work/certs/$cert.pem" --tls-key "$work/certs/$cert.key")
  python3 "$servers_dir/http_fixture.py" "${args[@]}" >"$work/$name.out" 2>&1 &
  pids+=($!)
}

start_server http4 127.0.0.1
start_server hook 127.0.0.1
start_server http6 ::1
start_server https_selfsigned 127.0.0.1 selfsigned
start_server https_expired 127.0.0.1 expired
start_server https_wrongname 127.0.0.1 wrongname
start_server https_clientonly 127.0.0.1 clientonly

: >"$work/servers.txt"
for name in http4 hook http6 https_selfsigned https_expired https_wrongname https_clientonly; do
  for _ in $(seq 100); do [ -s "$work/$name.port" ] && break; sleep 0.1; done
  if [ ! -s "$work/$name.port" ]; then
    echo "run_network_tests: server $name did not start" >&2
    cat "$work/$name.out" >&2
    exit 1
  fi
  echo "$name $(cat "$work/$name.port") $work/$name.log" >>"$work/servers.txt"
done
# A port that nothing listens on: bound once to learn a free number, then closed.
closed=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1]); s.close()')
echo "closed $closed -" >>"$work/servers.txt"

case "$(basename "$1")" in
  wine|wine64)
    export VUE_UNDER_WINE=1
    # Wine creates sockets in its wineserver, so the server must live in the
    # same network namespace as the test: a prefix of its own starts one here.
    if [ -n "${VUE_NETNS_ENTERED:-}" ]; then
      export WINEPREFIX="${WINEPREFIX:-$HOME/.wine}-netns"
    fi
    ;;
esac
VUE_TEST_SERVERS=$work/servers.txt "$@"
