#!/usr/bin/env bash
# Installs the Debian 12 packages the project needs. Safe to run again: only
# missing packages are installed. Runs as root, or through sudo when started
# by another user.
#
#   bash scripts/setup.sh           building the library, the command line (with its service) and the demo
#   bash scripts/setup.sh --tests   that, and everything scripts/test.sh uses
#
# Add a package to the list of the first command that needs it.
set -euo pipefail

# Building: compiler, CMake, the engine's libraries, the service's HTTP
# server library and its readiness notice to systemd; Python for the demo's
# local web server.
build_packages=(
  build-essential cmake ninja-build pkg-config
  rapidjson-dev libcurl4-openssl-dev libssl-dev
  libmicrohttpd-dev libsystemd-dev
  python3
)

# The whole test run (scripts/test.sh), on top of the above.
test_packages=(
  # GoogleTest and Google Benchmark
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  # clang's sanitizer and fuzzer builds; its runtimes are only recommended
  # by clang, so --no-install-recommends would leave them out. lld-link links
  # a program against the Windows import library as an MSVC-style linker would.
  clang libclang-rt-14-dev lld
  # the loopback test servers, a real web server for the probe tests, the
  # private network namespace, and /etc/services for the TCP probe's service
  # names (a minimal system has none)
  openssl curl nginx-light iproute2 util-linux binutils netbase
  # checking the man page
  groff-base
  # systemd-analyze, which checks the installed service units
  systemd
  # the service against a real Prometheus (and promtool), and its status
  # page in headless Chromium with a font for a readable screenshot
  prometheus chromium fonts-dejavu-core
  # the Windows DLL: cross-compiler and the runtime the tests run under
  mingw-w64 wine wine64
  # a locale with a decimal comma, under which the webhook body must still
  # be JSON (made below: a minimal system has only C and C.UTF-8)
  locales
)

packages=("${build_packages[@]}")
case "${1:-}" in
  "") ;;
  --tests) packages+=("${test_packages[@]}") ;;
  *) echo "usage: bash scripts/setup.sh [--tests]" >&2; exit 2 ;;
esac

missing=()
for p in "${packages[@]}"; do
  [ "$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null)" = "install ok installed" ] || missing+=("$p")
done
as_root=()
as_root_or_fail() {
  if [ "$(id -u)" -ne 0 ]; then
    command -v sudo >/dev/null || { echo "setup: need root or sudo to $1" >&2; exit 1; }
    as_root=(sudo)
  fi
}

if [ ${#missing[@]} -eq 0 ]; then
  echo "setup: all packages present"
else
  as_root_or_fail "install: ${missing[*]}"
  echo "setup: installing ${missing[*]}"
  # Some packages (nginx-light) start a service when installed. The tests start
  # every server they use themselves, on loopback, so no service is started
  # while installing: the standard policy hook says no for the time being.
  policy=/usr/sbin/policy-rc.d
  if [ ! -e "$policy" ]; then
    printf '#!/bin/sh\n# scripts/setup.sh: no service starts while it installs\nexit 101\n' | "${as_root[@]}" tee "$policy" >/dev/null
    "${as_root[@]}" chmod 755 "$policy"
    trap '"${as_root[@]}" rm -f "$policy"' EXIT
  fi
  "${as_root[@]}" apt-get update -qq
  "${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

if [ "${1:-}" = --tests ] && ! locale -a 2>/dev/null | grep -qix 'de_DE\.utf-\?8'; then
  as_root_or_fail "make the de_DE.UTF-8 locale"
  echo "setup: making the de_DE.UTF-8 locale"
  "${as_root[@]}" localedef -i de_DE -f UTF-8 de_DE.UTF-8
fi
