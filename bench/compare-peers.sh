#!/usr/bin/env bash
# The engine's checks side by side with other probers, on one loopback
# target, in one run: sequential TCP and HTTP check rates of the engine
# (through the public API, with its storage directory on a disk file system
# and on tmpfs), of Prometheus blackbox_exporter (tcp_connect, http_2xx;
# asked over one kept-alive HTTP connection) and of monitoring-plugins'
# check_tcp / check_http (one process per check), plus the engine with 32
# threads. Prints the machine, each rate and the ratios.
#
#   bash bench/compare-peers.sh [BUILD_DIR]      (default build-bench)
#
# Installs nginx-light, prometheus-blackbox-exporter and monitoring-plugins
# from Debian when they are missing (as root or through sudo), without
# letting their packages start system services. Everything listens on
# 127.0.0.1 only and stops when the script ends.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-bench}
tcp_count=${TCP_COUNT:-20000}
http_count=${HTTP_COUNT:-10000}
peer_count=${PEER_COUNT:-3000}
plugin_count=${PLUGIN_COUNT:-500}
parallel_count=${PARALLEL_COUNT:-4096}

as_root=()
[ "$(id -u)" -eq 0 ] || as_root=(sudo)
missing=()
for p in nginx-light prometheus-blackbox-exporter monitoring-plugins curl; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "compare-peers: installing ${missing[*]}"
  # Packages that ship a service start it on installation; a policy that
  # refuses every start keeps them from listening on public ports.
  policy=/usr/sbin/policy-rc.d
  had_policy=false
  [ -e "$policy" ] && had_policy=true
  $had_policy || { printf '#!/bin/sh\nexit 101\n' | "${as_root[@]}" tee "$policy" >/dev/null; "${as_root[@]}" chmod +x "$policy"; }
  "${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
  $had_policy || "${as_root[@]}" rm -f "$policy"
fi

bash scripts/setup.sh >/dev/null
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVUE_BUILD_TESTS=OFF -DVUE_BUILD_EXAMPLES=OFF \
  -DVUE_BUILD_BENCHMARKS=ON >/dev/null
cmake --build "$build" --target check_rate >/dev/null

work=$(mktemp -d)
disk_dir=$(pwd)/$build/compare-peers-store
rm -rf "$disk_dir"
shm_dir=""
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work" "$disk_dir"
  [ -n "$shm_dir" ] && rm -rf "$shm_dir"
}
trap cleanup EXIT

free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1]); s.close()'; }
wait_for_port() {
  for _ in $(seq 100); do
    (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null && return 0
    sleep 0.1
  done
  echo "compare-peers: nothing listens on 127.0.0.1:$1" >&2
  exit 1
}

# The target: nginx answering 200 to every GET, one worker.
web_port=$(free_port)
mkdir -p "$work/nginx/logs"
cat >"$work/nginx/nginx.conf" <<EOF
worker_processes 1;
pid $work/nginx/nginx.pid;
error_log $work/nginx/logs/error.log crit;
events { worker_connections 4096; }
http {
  access_log off;
  client_body_temp_path $work/nginx/body;
  proxy_temp_path $work/nginx/proxy;
  fastcgi_temp_path $work/nginx/fastcgi;
  uwsgi_temp_path $work/nginx/uwsgi;
  scgi_temp_path $work/nginx/scgi;
  server {
    listen 127.0.0.1:$web_port;
    location / { return 200 "ok\n"; }
  }
}
EOF
nginx -p "$work/nginx" -c "$work/nginx/nginx.conf" -g 'daemon off;' &
pids+=($!)
wait_for_port "$web_port"

# blackbox_exporter with the two modules that match the engine's checks.
bb_port=$(free_port)
cat >"$work/blackbox.yml" <<'EOF'
modules:
  tcp_connect:
    prober: tcp
    timeout: 3s
  http_2xx:
    prober: http
    timeout: 5s
    http:
      preferred_ip_protocol: ip4
EOF
prometheus-blackbox-exporter --config.file="$work/blackbox.yml" --web.listen-address="127.0.0.1:$bb_port" \
  >"$work/blackbox.log" 2>&1 &
pids+=($!)
wait_for_port "$bb_port"

rate() {  # count seconds
  python3 -c "import sys; print(round(int(sys.argv[1]) / float(sys.argv[2])))" "$1" "$2"
}
# Runs a command and prints its wall time in seconds.
timed() {
  local start end
  start=$(date +%s.%N)
  "$@"
  end=$(date +%s.%N)
  python3 -c "import sys; print(float(sys.argv[2]) - float(sys.argv[1]))" "$start" "$end"
}

engine_rate() {  # type target count threads dir
  rm -rf "$5"
  "$build/bench/check_rate" --type "$1" --target "$2" --count "$3" --threads "$4" --dir "$5" | awk '{print $2}'
}

blackbox_rate() {  # module target count
  local config=$work/curl-$1.cfg
  : >"$config"
  for _ in $(seq "$3"); do
    printf 'url = "http://127.0.0.1:%s/probe?module=%s&target=%s"\noutput = /dev/null\n' "$bb_port" "$1" "$2" >>"$config"
  done
  # One curl process keeps one connection alive for every request; each
  # answer must report a successful probe.
  curl -s -K "$config" -o /dev/null >/dev/null  # warm up
  local seconds
  seconds=$(timed curl -s -K "$config")
  curl -s "http://127.0.0.1:$bb_port/probe?module=$1&target=$2" | grep -q '^probe_success 1' \
    || { echo "compare-peers: blackbox_exporter's $1 probe fails" >&2; exit 1; }
  rate "$3" "$seconds"
}

plugin_rate() {  # plugin count
  local plugin=/usr/lib/nagios/plugins/$1 seconds
  "$plugin" -H 127.0.0.1 -p "$web_port" >/dev/null || { echo "compare-peers: $1 fails" >&2; exit 1; }
  seconds=$(timed bash -c "for i in \$(seq $2); do $plugin -H 127.0.0.1 -p $web_port >/dev/null; done")
  rate "$2" "$seconds"
}

tcp_target=127.0.0.1:$web_port
http_target=http://127.0.0.1:$web_port/
echo "compare-peers: target nginx on $tcp_target; runs of $tcp_count (TCP) and $http_count (HTTP) engine checks"

# Threads first, on equal footing: every closed connection leaves a
# TIME_WAIT entry for a minute, and tens of thousands of them slow down the
# kernel's choice of a local port for every later connect.
engine_tcp_1=$(engine_rate tcp "$tcp_target" "$parallel_count" 1 "$disk_dir")
engine_tcp_32=$(engine_rate tcp "$tcp_target" $((parallel_count / 32)) 32 "$disk_dir")
engine_tcp=$(engine_rate tcp "$tcp_target" "$tcp_count" 1 "$disk_dir")
engine_http=$(engine_rate http "$http_target" "$http_count" 1 "$disk_dir")
engine_tcp_shm=-
engine_http_shm=-
if [ -d /dev/shm ] && [ -w /dev/shm ]; then
  shm_dir=$(mktemp -d /dev/shm/vue-compare.XXXXXX)
  engine_tcp_shm=$(engine_rate tcp "$tcp_target" "$tcp_count" 1 "$shm_dir/store")
  engine_http_shm=$(engine_rate http "$http_target" "$http_count" 1 "$shm_dir/store")
fi
bb_tcp=$(blackbox_rate tcp_connect "$tcp_target" "$peer_count")
bb_http=$(blackbox_rate http_2xx "$http_target" "$peer_count")
plugin_tcp=$(plugin_rate check_tcp "$plugin_count")
plugin_http=$(plugin_rate check_http "$plugin_count")

ratio() { python3 -c "import sys; print(f'{int(sys.argv[1]) / int(sys.argv[2]):.1f}x')" "$1" "$2"; }
fs_type=$(df -T --output=fstype "$(dirname "$disk_dir")" | tail -n 1 | tr -d ' ')
cpu=$(awk -F': ' '/^model name/ {print $2; exit}' /proc/cpuinfo)
echo
echo "Machine: $(nproc) cores, ${cpu:-unknown CPU}, Linux $(uname -r); storage directory on $fs_type"
echo "Versions: nginx $(nginx -v 2>&1 | sed 's/.*nginx\///'), blackbox_exporter $(dpkg-query -W -f='${Version}' prometheus-blackbox-exporter), monitoring-plugins $(dpkg-query -W -f='${Version}' monitoring-plugins)"
echo
printf '| %-52s | %12s |\n' "prober (sequential unless noted)" "checks/s"
printf '|%s|%s|\n' "------------------------------------------------------" "--------------"
printf '| %-52s | %12s |\n' "engine, TCP ($fs_type)" "$engine_tcp"
printf '| %-52s | %12s |\n' "engine, TCP (tmpfs)" "$engine_tcp_shm"
printf '| %-52s | %12s |\n' "engine, TCP, 1 thread, short run ($fs_type)" "$engine_tcp_1"
printf '| %-52s | %12s |\n' "engine, TCP, 32 threads, short run ($fs_type)" "$engine_tcp_32"
printf '| %-52s | %12s |\n' "engine, HTTP ($fs_type)" "$engine_http"
printf '| %-52s | %12s |\n' "engine, HTTP (tmpfs)" "$engine_http_shm"
printf '| %-52s | %12s |\n' "blackbox_exporter tcp_connect" "$bb_tcp"
printf '| %-52s | %12s |\n' "blackbox_exporter http_2xx" "$bb_http"
printf '| %-52s | %12s |\n' "monitoring-plugins check_tcp" "$plugin_tcp"
printf '| %-52s | %12s |\n' "monitoring-plugins check_http" "$plugin_http"
echo
echo "engine TCP / blackbox tcp_connect:   $(ratio "$engine_tcp" "$bb_tcp")   (goal: at least 5x)"
echo "engine HTTP / blackbox http_2xx:     $(ratio "$engine_http" "$bb_http")   (goal: at least 3x)"
echo "engine TCP, 32 threads / 1 thread:   $(ratio "$engine_tcp_32" "$engine_tcp_1")   (goal: at least 1.6x on 2 cores)"
