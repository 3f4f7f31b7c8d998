#!/usr/bin/env bash
# Builds the release programs in build-package/, makes the .deb with cpack and
# checks it (ctest -L package: unpacked into a scratch root, or installed with
# dpkg -i when KV_PACKAGE_INSTALL=1 and root; the packaged kvmigrate-cli run on
# an example; dpkg's file list; lintian). The package is left in
# build-package/packages/. Arguments go to ctest.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh --package
cmake -G Ninja -S . -B build-package -DCMAKE_BUILD_TYPE=Release -DKV_BUILD_TESTS=OFF >/dev/null
cmake --build build-package
ctest --test-dir build-package/packaging -L package --output-on-failure "$@"
