#!/usr/bin/env bash
# Checks the Windows DLL: its export table holds exactly the twelve uptime_*
# functions and the extensions, undecorated, and it imports only Windows system libraries and
# the C runtime (the C++ runtime, libgcc and winpthread are linked in).
#   check_dll.sh PATH/vantorel-uptime-engine.dll
set -euo pipefail
dll=$1
objdump=x86_64-w64-mingw32-objdump
dump=$($objdump -p "$dll")

expected="uptime_check_now
uptime_engine_cleanup
uptime_engine_init
uptime_get_heartbeats_json
uptime_get_percent_90d
uptime_heartbeat_record
uptime_last_error
uptime_monitor_add
uptime_monitor_delete
uptime_monitor_detail_json
uptime_monitors_list_json
uptime_save_state
uptime_set_webhook_url"

# The name pointer table: lines "[ordinal] name" after its heading.
exports=$(printf '%s\n' "$dump" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' | sed -n 's/^\s*\[ *[0-9]*\] //p' | sort)
if [ "$exports" != "$expected" ]; then
  echo "export table differs:"
  diff <(printf '%s\n' "$expected") <(printf '%s\n' "$exports") || true
  exit 1
fi

allowed='^(KERNEL32|WS2_32|WINHTTP|IPHLPAPI|ADVAPI32|CRYPT32|msvcrt|ucrtbase|api-ms-win-crt-[a-z0-9-]+)\.dll$'
status=0
while read -r name; do
  if ! printf '%s\n' "$name" | grep -qiE "$allowed"; then
    echo "unexpected import: $name"
    status=1
  fi
done < <(printf '%s\n' "$dump" | sed -n 's/^\s*DLL Name: //p')
[ $status -eq 0 ] && echo "exports: 12 uptime_* functions and 1 extension; imports: $(printf '%s\n' "$dump" | sed -n 's/^\s*DLL Name: //p' | tr '\n' ' ')"
exit $status
