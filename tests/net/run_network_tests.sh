#!/usr/bin/env bash
# Runs a network test binary against loopback servers that this script starts
# and stops itself. As root it first moves into a private network namespace
# with only a loopback interface, so that no probe, and no name lookup, can
# leave the machine; tests that need such isolation skip without it. The
# namespace also gets a mount namespace of its own, in which
#  - /etc/hosts is the stock layout (localhost is ::1 and 127.0.0.1) plus
#    "dual-stack.test" for both loopback addresses, so the tests do not depend
#    on how this machine orders its own names;
#  - /etc/ssl/certs is empty: the engine must never need a trust store.
# nginx (from nginx-light), when installed, is started as a second, real
# HTTP(S) server with a configuration of this script's own.
#
#   run_network_tests.sh TEST_COMMAND [ARGS...]
#
# The test learns the servers from the file named by VUE_TEST_SERVERS: one
# line per server, "name port log-file".
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
servers_dir=$here/../servers

if [ -z "${VUE_NETNS_ENTERED:-}" ] && [ "$(id -u)" -eq 0 ] && unshare --net --mount true 2>/dev/null; then
  exec unshare --net --mount env VUE_NETNS_ENTERED=1 VUE_OUTER_MNT_NS="$(readlink /proc/self/ns/mnt)" bash "$0" "$@"
fi

work=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# Only ever inside the namespaces entered above: the mounts below must never
# touch the machine's own files.
own_mnt_ns=$(readlink /proc/self/ns/mnt || true)
if [ -n "${VUE_NETNS_ENTERED:-}" ] && [ -n "${VUE_OUTER_MNT_NS:-}" ] && [ -n "$own_mnt_ns" ] &&
   [ "$own_mnt_ns" != "$VUE_OUTER_MNT_NS" ]; then
  ip link set lo up
  export VUE_PRIVATE_NETNS=1
  printf '%s\n' "127.0.0.1 localhost" "::1 localhost ip6-localhost ip6-loopback" \
    "::1 dual-stack.test" "127.0.0.1 dual-stack.test" >"$work/hosts"
  mount --bind "$work/hosts" /etc/hosts
  export VUE_TEST_HOSTS=1
  if [ -d /etc/ssl/certs ] && mount -t tmpfs -o ro,size=64k vue-no-certs /etc/ssl/certs; then
    export VUE_NO_TRUST_STORE=1
  fi
elif [ -n "${VUE_NETNS_ENTERED:-}" ]; then
  echo "run_network_tests: no mount namespace of its own; not entering the private setup" >&2
  exit 1
fi

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
start_server https_issued 127.0.0.1 issued
# A port whose connection attempts are never answered.
python3 "$servers_dir/full_backlog.py" --port-file "$work/unanswered.port" --max-seconds 1800 \
  >"$work/unanswered.out" 2>&1 &
pids+=($!)

: >"$work/servers.txt"
for name in http4 hook http6 https_selfsigned https_expired https_wrongname https_clientonly https_issued unanswered; do
  for _ in $(seq 100); do [ -s "$work/$name.port" ] && break; sleep 0.1; done
  if [ ! -s "$work/$name.port" ]; then
    echo "run_network_tests: server $name did not start" >&2
    cat "$work/$name.out" >&2
    exit 1
  fi
  echo "$name $(cat "$work/$name.port") $work/$name.log" >>"$work/servers.txt"
done
free_port() {
  python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1]); s.close()'
}
# A port that nothing listens on: bound once to learn a free number, then closed.
echo "closed $(free_port) -" >>"$work/servers.txt"

nginx_bin=$(command -v nginx || { [ -x /usr/sbin/nginx ] && echo /usr/sbin/nginx; } || true)
if [ -n "$nginx_bin" ]; then
  mkdir -p "$work/nginx"
  nginx_port=$(free_port)
  nginx_tls_port=$(free_port)
  while [ "$nginx_tls_port" = "$nginx_port" ]; do nginx_tls_port=$(free_port); done
  sed -e "s|@DIR@|$work/nginx|g" -e "s|@CERTS@|$work/certs|g" -e "s|@PORT@|$nginx_port|g" \
    -e "s|@TLS_PORT@|$nginx_tls_port|g" "$servers_dir/nginx.conf.in" >"$work/nginx/nginx.conf"
  : >"$work/nginx/access.log"
  "$nginx_bin" -p "$work/nginx" -c "$work/nginx/nginx.conf" -e "$work/nginx/error.log" >"$work/nginx.out" 2>&1 &
  pids+=($!)
  for _ in $(seq 100); do [ -s "$work/nginx/nginx.pid" ] && break; sleep 0.1; done
  if [ -s "$work/nginx/nginx.pid" ]; then
    echo "nginx $nginx_port $work/nginx/access.log" >>"$work/servers.txt"
    echo "nginx_tls $nginx_tls_port $work/nginx/access.log" >>"$work/servers.txt"
  else
    echo "run_network_tests: nginx did not start; its cases will skip" >&2
    cat "$work/nginx.out" "$work/nginx/error.log" >&2 || true
  fi
fi

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
