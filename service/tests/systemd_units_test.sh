#!/usr/bin/env bash
# The systemd units as `cmake --install` puts them, checked by
# systemd-analyze verify: the plain unit and an instance of the per-store
# template. The tree is installed into a scratch root (DESTDIR) beside a
# copy of the system's own units, which the verification starts from, so
# the program the units start is the one just installed.
#   systemd_units_test.sh BUILD_DIR
# Exit 77 (skipped) without systemd-analyze.
set -euo pipefail
build=$1
if ! command -v systemd-analyze >/dev/null; then
  echo "SKIP: systemd-analyze is not installed (Debian package systemd)"
  exit 77
fi
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
DESTDIR=$root cmake --install "$build" >/dev/null
units=$(find "$root" -path '*/systemd/system/vantorel-uptime*.service' | sort)
[ "$(wc -l <<<"$units")" -eq 2 ] || { echo "FAIL: the two units are not installed: $units"; exit 1; }
unit_dir=$(dirname "$(head -n 1 <<<"$units")")
mkdir -p "$root/usr/lib/systemd"
cp -a /usr/lib/systemd/system "$root/usr/lib/systemd/"

status=0
for unit in vantorel-uptime.service vantorel-uptime@store1.service; do
  # Anything it says is a finding: it reports unknown keys and the like
  # without failing.
  if ! out=$(systemd-analyze verify --man=no --root="$root" "$unit" 2>&1) || [ -n "$out" ]; then
    echo "FAIL: systemd-analyze verify $unit"
    echo "$out"
    status=1
  else
    echo "ok: systemd-analyze verify $unit"
  fi
done

# What the units promise the operator, whatever the verification lets pass.
for unit in $units; do
  for line in 'Type=notify' 'StateDirectory=vantorel-uptime' 'DynamicUser=yes' 'NoNewPrivileges=yes' \
              'ProtectSystem=strict' 'AmbientCapabilities=CAP_NET_RAW' 'Restart=on-failure'; do
    grep -q "^$line" "$unit" || { echo "FAIL: $(basename "$unit") has no $line"; status=1; }
  done
  exec_start=$(sed -n 's/^ExecStart=\([^ ]*\).*/\1/p' "$unit")
  [ -x "$root$exec_start" ] || { echo "FAIL: $(basename "$unit") starts $exec_start, which is not installed"; status=1; }
done
grep -q '^ExecStart=.* --dir /var/lib/vantorel-uptime/%i serve' "$unit_dir/vantorel-uptime@.service" ||
  { echo "FAIL: the template does not keep one store per instance"; status=1; }
exit $status
