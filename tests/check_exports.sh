#!/usr/bin/env bash
# Checks that the shared library exports exactly the twelve uptime_*
# functions and the extensions, and carries the versioned SONAME.
# Usage: check_exports.sh <path to the .so> <major version>
set -euo pipefail

lib=${1:?usage: check_exports.sh <library> <major version>}
major=${2:?usage: check_exports.sh <library> <major version>}

expected=$(printf '%s\n' \
    uptime_check_now \
    uptime_engine_cleanup \
    uptime_engine_init \
    uptime_get_heartbeats_json \
    uptime_get_percent_90d \
    uptime_heartbeat_record \
    uptime_last_error \
    uptime_monitor_add \
    uptime_monitor_delete \
    uptime_monitor_detail_json \
    uptime_monitors_list_json \
    uptime_save_state \
    uptime_set_webhook_url | LC_ALL=C sort)

# Every defined dynamic symbol, versioned or not; anything but the twelve
# functions and the extensions (a C++ symbol, a stray global) is a leak.
actual=$(nm -D --defined-only "$lib" | awk 'NF >= 3 { print $3 }' | sed 's/@.*//' | LC_ALL=C sort)

status=0
if [[ "$actual" != "$expected" ]]; then
    echo "exported symbols differ from the twelve uptime_* functions and the extensions:" >&2
    diff <(echo "$expected") <(echo "$actual") >&2 || true
    status=1
fi
types=$(nm -D --defined-only "$lib" | awk 'NF >= 3 && $2 != "T" { print $3 " has type " $2 }')
if [[ -n "$types" ]]; then
    echo "exported symbols that are not functions: $types" >&2
    status=1
fi

soname=$(objdump -p "$lib" | awk '$1 == "SONAME" { print $2 }')
if [[ "$soname" != "libvantorel-uptime-engine.so.$major" ]]; then
    echo "SONAME is '$soname', expected libvantorel-uptime-engine.so.$major" >&2
    status=1
fi

if [[ $status -eq 0 ]]; then
    echo "exports and SONAME are as expected"
fi
exit $status
