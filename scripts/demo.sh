#!/usr/bin/env bash
# Installs what is missing, builds the engine and runs the example host on a
# demo storage directory.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build
./build/uptime-example "${1:-demo-data}"
