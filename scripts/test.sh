#!/usr/bin/env bash
# Builds every configuration and runs the whole test suite in each:
#   build/       g++, warnings as errors
#   build-asan/  clang++, AddressSanitizer + UndefinedBehaviorSanitizer
# Exits non-zero when any build or test fails.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)

configure_and_build() {
  local dir=$1; shift
  cmake -S . -B "$dir" -G Ninja "$@" >/dev/null
  cmake --build "$dir" -j "$jobs"
}

configure_and_build build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVUE_WERROR=ON \
  -DCMAKE_C_COMPILER=gcc -DCMAKE_CXX_COMPILER=g++
configure_and_build build-asan -DCMAKE_BUILD_TYPE=Debug -DVUE_WERROR=ON \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DVUE_SANITIZE=address,undefined

status=0
echo "== tests: g++"
ctest --test-dir build -j "$jobs" --output-on-failure || status=1
echo "== tests: clang++ with AddressSanitizer and UndefinedBehaviorSanitizer"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build-asan -j "$jobs" --output-on-failure || status=1
exit $status
