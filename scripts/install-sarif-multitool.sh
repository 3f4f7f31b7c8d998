#!/bin/sh
# Installs the SARIF Multitool (npm package @microsoft/sarif-multitool, MIT
# licence), which the tests use to validate the logs of --sarif, into DIR
# with npm. Safe to run again: an installed tool is kept.
# Usage: install-sarif-multitool.sh DIR   (exit status 1 when it cannot be had)
set -eu
dir=$1
version=5.7.0
tool="$dir/node_modules/.bin/sarif-multitool"
if [ -x "$tool" ] && [ -f "$dir/version-$version" ]; then exit 0; fi
command -v npm >/dev/null 2>&1 || { echo "npm is not installed (scripts/install-deps.sh installs it)" >&2; exit 1; }
mkdir -p "$dir"
npm install --prefix "$dir" --no-audit --no-fund --no-save --loglevel=error \
  "@microsoft/sarif-multitool@$version" >&2 || { echo "npm could not install the SARIF Multitool" >&2; exit 1; }
# The package's own install step only makes its program executable.
chmod u+x "$dir"/node_modules/@microsoft/sarif-multitool-linux/Sarif.Multitool 2>/dev/null || true
[ -x "$tool" ] || { echo "the SARIF Multitool was not installed" >&2; exit 1; }
touch "$dir/version-$version"
