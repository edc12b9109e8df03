#!/usr/bin/env bash
# Installs the Windows cross build into a temporary prefix and checks what a
# Windows host gets: the DLL, vantorel-uptime.exe, the header, the .def file
# and the MSVC import library. The .def lists exactly what the DLL exports;
# a program compiled for the MSVC ABI and linked by an MSVC-compatible linker
# against the .lib alone runs under wine with the DLL; so does the installed
# vantorel-uptime.exe.
#   check_install_windows.sh BUILD_DIR
set -euo pipefail
build=$(cd "$1" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix

cmake --install "$build" --prefix "$prefix" >/dev/null
status=0
for file in bin/vantorel-uptime-engine.dll bin/vantorel-uptime.exe include/vantorel-uptime-engine.h \
            lib/vantorel-uptime-engine.lib lib/vantorel-uptime-engine.def lib/libvantorel-uptime-engine.dll.a \
            lib/libvantorel-uptime-engine.a; do
  [ -f "$prefix/$file" ] || { echo "not installed: $file"; status=1; }
done
[ $status -eq 0 ] || exit 1

echo "-- the .def file lists exactly the DLL's exports, every function the header declares"
exports=$(x86_64-w64-mingw32-objdump -p "$prefix/bin/vantorel-uptime-engine.dll" \
  | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' | sed -n 's/^\s*\[ *[0-9]*\] //p' | sort)
listed=$(sed -n '/^EXPORTS/,$p' "$prefix/lib/vantorel-uptime-engine.def" | sed '1d; s/^\s*//; /^$/d' | sort)
declared=$(sed -n 's/^UPTIME_API [^(]*[ *]\(uptime_[a-z0-9_]*\)(.*/\1/p' "$prefix/include/vantorel-uptime-engine.h" | sort)
[ "$(grep -c . <<<"$declared")" -ge 12 ] || { echo "the header declares too few functions:"; echo "$declared"; exit 1; }
[ "$exports" = "$declared" ] || { echo "the DLL and the header differ:"; diff <(echo "$declared") <(echo "$exports"); exit 1; }
[ "$exports" = "$listed" ] || { echo "the .def file and the DLL differ:"; diff <(echo "$exports") <(echo "$listed"); exit 1; }
grep -q '^LIBRARY vantorel-uptime-engine.dll$' "$prefix/lib/vantorel-uptime-engine.def"

echo "-- the import library names every export and the DLL"
symbols=$(x86_64-w64-mingw32-nm "$prefix/lib/vantorel-uptime-engine.lib")
for name in $exports; do
  grep -q " __imp_$name\$" <<<"$symbols" || { echo "vantorel-uptime-engine.lib lacks __imp_$name"; status=1; }
done
# (Read whole first: grep -q would stop reading, and pipefail would count that.)
texts=$(strings "$prefix/lib/vantorel-uptime-engine.lib")
grep -q '^vantorel-uptime-engine.dll$' <<<"$texts" \
  || { echo "vantorel-uptime-engine.lib does not name vantorel-uptime-engine.dll"; status=1; }
[ $status -eq 0 ] || exit 1

echo "-- a program built for the MSVC ABI, linked by lld-link against the .lib"
mkdir "$work/run"
clang --target=x86_64-pc-windows-msvc -ffreestanding -fno-builtin -fno-stack-protector -O1 -Wall -Werror \
  -I"$prefix/include" -c "$here/msvc_consumer.c" -o "$work/msvc_consumer.obj"
lld-link /nologo /nodefaultlib /subsystem:console /entry:consumer_entry /out:"$work/run/msvc_consumer.exe" \
  "$work/msvc_consumer.obj" "$prefix/lib/vantorel-uptime-engine.lib"
cp "$prefix/bin/vantorel-uptime-engine.dll" "$work/run/"
(cd "$work/run" && wine ./msvc_consumer.exe) || { echo "msvc_consumer.exe failed with status $?"; exit 1; }
echo "msvc consumer ok"

echo "-- the installed vantorel-uptime.exe"
cli=$prefix/bin/vantorel-uptime.exe
[ "$(wine "$cli" --version | tr -d '\r')" = "vantorel-uptime $(sed -n 's/^#define VANTOREL_UPTIME_ENGINE_VERSION "\(.*\)"/\1/p' "$prefix/include/vantorel-uptime-engine.h")" ]
wine "$cli" --dir "$work/state-cli" add installed dns localhost >/dev/null
grep -q '"name":"installed"' <<<"$(wine "$cli" --dir "$work/state-cli" list --json)"
set +e
wine "$cli" --dir "$work/no-store" list >/dev/null 2>&1
[ $? -eq 3 ] || { echo "vantorel-uptime.exe list without a store did not exit 3"; exit 1; }
set -e
echo "windows install check passed"
