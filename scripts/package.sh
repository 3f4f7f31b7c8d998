#!/usr/bin/env bash
# Builds the release programs (preset "release", build-release/), makes the
# .deb with cpack and checks it (ctest -L package: unpacked into a scratch
# root, or installed with dpkg -i when KV_PACKAGE_INSTALL=1 and root; the
# packaged kvmigrate-cli run on an example; dpkg's file list; lintian). The
# package is left in build-release/packages/. Arguments go to ctest.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh --package
cmake --preset release >/dev/null
cmake --build --preset release
# The release build has no tests of its own; the package test is in packaging/.
ctest --test-dir build-release/packaging -L package --output-on-failure "$@"
