#!/usr/bin/env bash
# Installs what is missing, builds everything with AddressSanitizer and UndefinedBehaviorSanitizer in
# build/, the libFuzzer targets with clang in build-fuzz/, and runs every test
# through ctest (each fuzz target for KV_FUZZ_SECONDS, default 30). Arguments
# go to ctest; --build-only stops before it.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake -G Ninja -S . -B build-fuzz -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DKV_BUILD_FUZZ=ON -DKV_BUILD_TESTS=OFF -DKV_BUILD_GUI=OFF >/dev/null
cmake --build build-fuzz --target fuzz
cmake -G Ninja -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKV_SANITIZE=ON -DKV_BUILD_BENCH=ON \
  -DKV_FUZZ_BUILD_DIR="$PWD/build-fuzz" -DKV_FUZZ_SECONDS="${KV_FUZZ_SECONDS:-30}" >/dev/null
cmake --build build
if [ "${1:-}" = "--build-only" ]; then exit 0; fi
ctest --test-dir build --output-on-failure --timeout 900 "$@"
