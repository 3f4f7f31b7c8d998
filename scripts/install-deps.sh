#!/usr/bin/env bash
# Installs everything the project needs to build, test and run, from Debian's
# packages. Safe to run again. With --windows, also the Windows cross build and
# Wine to test it (about 1 GB, so only on request); with --package, what
# checks the packages.
set -euo pipefail
SUDO=""
if [ "$(id -u)" != 0 ]; then SUDO=sudo; fi
PACKAGES=(
  cmake ninja-build g++ pkg-config libcli11-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  qt6-base-dev qt6-base-dev-tools qt6-svg-dev libgl-dev
  clang libclang-rt-14-dev
  xvfb xauth imagemagick fonts-dejavu-core gnuplot-nox
  util-linux acl libcap2-bin sd
  python3 python3-jsonschema xdotool
)
# npm installs the SARIF Multitool for the tests (Debian's, unless one is
# installed already, e.g. with Node.js from elsewhere).
command -v npm >/dev/null 2>&1 || PACKAGES+=(npm)
for arg in "$@"; do
  case "$arg" in
    --windows) PACKAGES+=(g++-mingw-w64-x86-64 wine wine64 unzip nsis librsvg2-bin) ;;
    --package) PACKAGES+=(dpkg-dev lintian) ;;
    *) echo "install-deps.sh: unknown option $arg" >&2; exit 2 ;;
  esac
done
missing=()
for p in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
