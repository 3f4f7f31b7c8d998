#!/usr/bin/env bash
# Installs what is missing, builds the libFuzzer targets with clang in
# build-fuzz/ (preset "fuzz") and everything with AddressSanitizer,
# UndefinedBehaviorSanitizer and warnings as errors in build/ (preset "dev"),
# and runs every test through ctest (each fuzz target for KV_FUZZ_SECONDS,
# default 30). Arguments go to ctest; --build-only stops before it. CI runs
# this script as it is (.ci/run).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz
cmake --preset dev -DKV_FUZZ_BUILD_DIR="$PWD/build-fuzz" \
  -DKV_FUZZ_SECONDS="${KV_FUZZ_SECONDS:-30}" >/dev/null
cmake --build --preset dev
if [ "${1:-}" = "--build-only" ]; then exit 0; fi
ctest --preset dev "$@"
