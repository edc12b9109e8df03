#!/usr/bin/env bash
# Builds every configuration and runs the whole test suite in each:
#   build/       g++, warnings as errors: every test
#   build-asan/  clang++, AddressSanitizer + UndefinedBehaviorSanitizer: every test
#   build-tsan/  clang++, ThreadSanitizer: the network suite, the thread
#                stress test and the service, where the threads are
#   build-win/   mingw-w64: the Windows DLL and every suite, run under wine
#   build-fuzz/  clang++, libFuzzer with AddressSanitizer + UndefinedBehaviorSanitizer:
#                each fuzz target for VUE_FUZZ_SECONDS (30 s by default)
# Installs what is missing first (scripts/setup.sh --tests). Exits non-zero
# when any build or test fails.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)

bash scripts/setup.sh --tests

configure() {
  local dir=$1; shift
  # CMake empties the cache of a directory made with another compiler (by
  # hand, say), and the options given with the change are lost with it: such
  # a directory is configured afresh instead.
  local arg wanted="" cached fresh=()
  for arg in "$@"; do
    case $arg in -DCMAKE_CXX_COMPILER=*) wanted=${arg#*=} ;; esac
  done
  cached=$(sed -n 's/^CMAKE_CXX_COMPILER:[A-Z]*=//p' "$dir/CMakeCache.txt" 2>/dev/null || true)
  if [ -n "$wanted" ] && [ -n "$cached" ] && [ "$(command -v "$cached")" != "$(command -v "$wanted")" ]; then
    echo "== $dir was made with $cached; configuring it afresh with $wanted"
    fresh=(--fresh)
  fi
  cmake "${fresh[@]}" -S . -B "$dir" -G Ninja "$@" >/dev/null
}

# Tests are asked for by name: build/ may have been configured first by the
# demo, before GoogleTest was installed.
configure build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVUE_WERROR=ON -DVUE_BUILD_TESTS=ON -DVUE_BUILD_BENCHMARKS=ON \
  -DCMAKE_C_COMPILER=gcc -DCMAKE_CXX_COMPILER=g++
configure build-asan -DCMAKE_BUILD_TYPE=Debug -DVUE_WERROR=ON -DVUE_BUILD_TESTS=ON \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DVUE_SANITIZE=address,undefined
configure build-tsan -DCMAKE_BUILD_TYPE=Debug -DVUE_WERROR=ON -DVUE_BUILD_TESTS=ON \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DVUE_SANITIZE=thread -DVUE_BUILD_EXAMPLES=OFF
configure build-win -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVUE_WERROR=ON -DVUE_BUILD_TESTS=ON \
  -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
configure build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVUE_WERROR=ON -DVUE_FUZZ=ON -DVUE_SANITIZE=address,undefined \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DVUE_BUILD_TESTS=OFF -DVUE_BUILD_EXAMPLES=OFF
cmake --build build -j "$jobs"
cmake --build build-asan -j "$jobs"
cmake --build build-tsan -j "$jobs" --target network_tests
cmake --build build-win -j "$jobs"
cmake --build build-tsan -j "$jobs" --target stress_tests
cmake --build build-tsan -j "$jobs" --target service_tests
cmake --build build-fuzz -j "$jobs" --target fuzzers

status=0
passed=0
failed=0
log=$(mktemp)
trap 'rm -f "$log"' EXIT
# Runs one suite, shows its output and adds its counts to the totals: CTest's
# "N tests failed out of M", or GoogleTest's PASSED/FAILED lines.
run_suite() {
  "$@" 2>&1 | tee "$log" || status=1
  local line p f
  if line=$(grep -E 'tests failed out of [0-9]+' "$log" | tail -n 1); then
    f=$(sed -E 's/.* ([0-9]+) tests failed out of ([0-9]+).*/\1/' <<<"$line")
    p=$(( $(sed -E 's/.* out of ([0-9]+).*/\1/' <<<"$line") - f ))
  else
    p=$(sed -nE 's/^\[  PASSED  \] ([0-9]+) tests?\..*/\1/p' "$log" | tail -n 1)
    f=$(sed -nE 's/^ ?([0-9]+) FAILED TESTS?$/\1/p' "$log" | tail -n 1)
    [ -n "$p$f" ] || f=1  # a suite that ran nothing counts as a failure
  fi
  passed=$(( passed + ${p:-0} ))
  failed=$(( failed + ${f:-0} ))
}

echo "== tests: g++"
run_suite ctest --test-dir build -j "$jobs" --output-on-failure
echo "== tests: clang++ with AddressSanitizer and UndefinedBehaviorSanitizer"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  run_suite ctest --test-dir build-asan -j "$jobs" --output-on-failure
echo "== tests: clang++ with ThreadSanitizer (network suite)"
# Suites run outside CTest get a time limit of their own: a sanitizer that
# stops inside its own runtime would otherwise hold the whole run.
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
  run_suite timeout 900 bash tests/net/run_network_tests.sh build-tsan/tests/net/network_tests
echo "== tests: clang++ with ThreadSanitizer (thread stress)"
VUE_STRESS_SECONDS=10 TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 run_suite timeout 300 build-tsan/tests/stress_tests
echo "== tests: clang++ with ThreadSanitizer (the service)"
# serve itself is built with ThreadSanitizer too and gets the same options: a
# race in it ends it, and the test that stops it fails.
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 run_suite timeout 600 build-tsan/service/tests/service_tests

echo "== tests: the Windows DLL under wine"
# A prefix of our own, made quietly with no display; the network suite gets a
# second one (see tests/net/run_network_tests.sh). Wine maps file names
# through the locale's character set, and a stock system sets no locale:
# without UTF-8 the non-ASCII storage paths would not survive.
export WINEPREFIX=$PWD/build-win/wineprefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" DISPLAY=
export LANG=C.UTF-8 LC_ALL=C.UTF-8
for prefix in "$WINEPREFIX" "$WINEPREFIX-netns"; do
  if [ ! -d "$prefix" ]; then
    WINEPREFIX=$prefix wineboot -i >/dev/null 2>&1 || true
    WINEPREFIX=$prefix wineserver -w
  fi
done
run_suite ctest --test-dir build-win -j "$jobs" --output-on-failure

echo "== fuzzing: libFuzzer with AddressSanitizer and UndefinedBehaviorSanitizer, ${VUE_FUZZ_SECONDS:-30} s per target"
run_suite ctest --test-dir build-fuzz --output-on-failure --verbose
echo "== benchmarks build and run (smoke)"
./build/bench/engine_bench --benchmark_min_time=0.01 >/dev/null || status=1
./build/bench/serve_bench --monitors 8 --clients 4 --requests 5 >/dev/null || status=1

if [ $status -eq 0 ] && [ $failed -eq 0 ]; then echo "== all test runs passed"; else status=1; echo "== some test runs FAILED"; fi
echo "tests: $passed passed, $failed failed"
exit $status
