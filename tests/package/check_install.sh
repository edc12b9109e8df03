#!/usr/bin/env bash
# Installs a build into a temporary prefix and builds small programs against
# it, as another project would: a C program through pkg-config, a C++ and a
# C-only project through find_package() (shared and static), then runs them;
# and checks the command line, its man page and its bash completion.
#   check_install.sh BUILD_DIR
set -euo pipefail
build=$(cd "$1" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix

cmake --install "$build" --prefix "$prefix" >/dev/null
libdir=$(dirname "$(find "$prefix" -name 'libvantorel-uptime-engine.so.*.*.*' | head -n 1)")
[ -d "$libdir" ] || { echo "no shared library installed" >&2; exit 1; }

# The version in the header and the SONAME agree.
major=$(sed -n 's/^#define VANTOREL_UPTIME_ENGINE_VERSION_MAJOR \([0-9]*\).*/\1/p' "$prefix/include/vantorel-uptime-engine.h")
soname=$(objdump -p "$libdir"/libvantorel-uptime-engine.so | sed -n 's/ *SONAME *//p')
[ "$soname" = "libvantorel-uptime-engine.so.$major" ] || { echo "SONAME $soname vs header major $major" >&2; exit 1; }

echo "-- C through pkg-config"
export PKG_CONFIG_PATH=$libdir/pkgconfig
cc -std=c99 -Wall -Werror "$here/consumer.c" -o "$work/c_consumer" \
  $(pkg-config --cflags --libs vantorel-uptime-engine) -Wl,-rpath,"$libdir"
"$work/c_consumer" "$work/state-c"
[ "$(pkg-config --modversion vantorel-uptime-engine)" = "$(sed -n 's/^#define VANTOREL_UPTIME_ENGINE_VERSION "\(.*\)"/\1/p' "$prefix/include/vantorel-uptime-engine.h")" ]

echo "-- C++ through find_package()"
cmake -S "$here/consumer" -B "$work/cpp" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/cpp" >/dev/null
"$work/cpp/consumer_shared" "$work/state-shared"
"$work/cpp/consumer_static" "$work/state-static"
# The static program must not need the shared library at all.
if grep -q vantorel-uptime-engine <<<"$(ldd "$work/cpp/consumer_static")"; then
  echo "static consumer links the shared library" >&2
  exit 1
fi

echo "-- C-only project through find_package()"
cmake -S "$here/c_consumer" -B "$work/c" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/c" >/dev/null
"$work/c/c_consumer_static" "$work/state-c-static"
"$work/c/c_consumer_shared" "$work/state-c-shared"
if grep -q vantorel-uptime-engine <<<"$(ldd "$work/c/c_consumer_static")"; then
  echo "static C consumer links the shared library" >&2
  exit 1
fi

echo "-- the installed command-line host, its man page and its bash completion"
[ -x "$prefix/bin/vantorel-uptime" ] || { echo "the command-line host is not installed" >&2; exit 1; }
"$prefix/bin/vantorel-uptime" --dir "$work/state-cli" add installed dns localhost >/dev/null
grep -q '"name":"installed"' <<<"$("$prefix/bin/vantorel-uptime" --dir "$work/state-cli" list --json)"
man_page=$prefix/share/man/man1/vantorel-uptime.1
[ -f "$man_page" ] || { echo "no man page at $man_page" >&2; exit 1; }
grep -q "^\.TH VANTOREL-UPTIME 1 .*vantorel-uptime-engine $(pkg-config --modversion vantorel-uptime-engine)" "$man_page" \
  || { echo "the man page does not carry the version" >&2; exit 1; }
completion=$prefix/share/bash-completion/completions/vantorel-uptime
[ -f "$completion" ] || { echo "no bash completion at $completion" >&2; exit 1; }
grep -q _vantorel_uptime <<<"$(bash -c 'source "$1" && complete -p vantorel-uptime' _ "$completion")" \
  || { echo "the bash completion does not register" >&2; exit 1; }
echo "install check passed"
