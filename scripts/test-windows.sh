#!/usr/bin/env bash
# Builds kvmigrate-cli, the two Win32 windows and their tests for 64-bit
# Windows (mingw-w64, preset "windows", in build-win/), runs them under Wine
# through ctest (the windows made and driven in the tests' own processes),
# checks that the examples migrated by the .exe are byte for byte those
# migrated by the Linux build (preset "release", build-release/), and makes and
# tries the Windows zip and installer (silent install, a run, silent
# uninstall). Arguments go to ctest.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh --windows
cmake --preset release >/dev/null
cmake --build --preset release --target kvmigrate-cli
cmake --preset windows -DKV_HOST_CLI="$PWD/build-release/cli/kvmigrate-cli" >/dev/null
cmake --build --preset windows
# A Wine server left from an earlier run of this prefix goes first; none stays.
export WINEPREFIX="$PWD/build-win/wineprefix"
wineserver -k 2>/dev/null || true
trap 'wineserver -k 2>/dev/null || true' EXIT
ctest --preset windows "$@"
