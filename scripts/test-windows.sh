#!/usr/bin/env bash
# Builds kvmigrate-cli and its engine and front-end tests for 64-bit Windows
# (mingw-w64, the "windows" preset, in build-win/), runs them under Wine
# through ctest, and checks that the examples migrated by the .exe are byte for
# byte those migrated by the Linux build (build-release/). Arguments go to ctest.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh --windows
cmake -G Ninja -S . -B build-release -DCMAKE_BUILD_TYPE=Release -DKV_BUILD_TESTS=OFF >/dev/null
cmake --build build-release --target kvmigrate-cli
cmake --preset windows -DKV_BUILD_TESTS=ON -DKV_HOST_CLI="$PWD/build-release/cli/kvmigrate-cli" \
  >/dev/null
cmake --build build-win
ls -l build-win/cli/kvmigrate-cli.exe
# A Wine server left from an earlier run of this prefix goes first; none stays.
export WINEPREFIX="$PWD/build-win/wineprefix"
wineserver -k 2>/dev/null || true
trap 'wineserver -k 2>/dev/null || true' EXIT
ctest --test-dir build-win --output-on-failure "$@"
