#!/usr/bin/env bash
# Remakes the seed corpus in fuzz/corpus/ with the engine itself (see
# fuzz/make_seed_corpus.cpp). Uses the fuzz build (build-fuzz/), configuring
# it as scripts/test.sh does when it is missing.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-fuzz}
if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVUE_FUZZ=ON -DVUE_SANITIZE=address,undefined \
    -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DVUE_BUILD_TESTS=OFF -DVUE_BUILD_EXAMPLES=OFF >/dev/null
fi
cmake --build "$build" --target make_seed_corpus
# Inputs the fuzzers once found (finding-*) stay: each is also a test of
# the engine suite.
find fuzz/corpus \( -name 'engine-*' -o -name 'hand-*' \) -delete 2>/dev/null || true
"$build/fuzz/make_seed_corpus" fuzz/corpus
