#!/usr/bin/env bash
# Builds everything with AddressSanitizer and UndefinedBehaviorSanitizer in
# build/ and runs every test through ctest.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -G Ninja -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKV_SANITIZE=ON >/dev/null
cmake --build build
ctest --test-dir build --output-on-failure --timeout 600 "$@"
