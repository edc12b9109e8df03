#!/usr/bin/env bash
# Installs every Debian 12 package that building and testing the engine
# needs. Safe to run again: only missing packages are installed. Runs as
# root, or through sudo when started by another user.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config clang
  rapidjson-dev libcurl4-openssl-dev libssl-dev
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  python3 openssl curl iproute2 util-linux binutils nginx-light
  mingw-w64 wine wine64
  libclang-rt-14-dev
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
  echo "setup: all packages present"
  exit 0
fi

as_root=()
if [ "$(id -u)" -ne 0 ]; then
  command -v sudo >/dev/null || { echo "setup: need root or sudo to install: ${missing[*]}" >&2; exit 1; }
  as_root=(sudo)
fi
echo "setup: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
"${as_root[@]}" apt-get update -qq
"${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
