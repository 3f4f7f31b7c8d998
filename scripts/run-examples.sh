#!/usr/bin/env bash
# Sets up the machine, builds kvmigrate-cli and migrates fresh copies of the
# bundled example projects (never the originals). Prints each run's lines and
# leaves the migrated copies in out/examples/ for a look.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake -G Ninja -S . -B build-release -DCMAKE_BUILD_TYPE=Release -DKV_BUILD_TESTS=OFF >/dev/null
cmake --build build-release --target kvmigrate-cli
rm -rf out/examples
mkdir -p out
cp -r examples out/examples
cli=build-release/cli/kvmigrate-cli
status=0
echo "== VB6 project: out/examples/vb6/Sample.vbp"
"$cli" --diff out/examples/vb6/Sample.vbp || status=$?
if [ -d out/examples/dotnet ]; then
  sln=$(ls out/examples/dotnet/*.sln | head -n 1)
  echo
  echo "== .NET solution: $sln"
  "$cli" --diff "$sln" || status=$?
fi
echo
echo "Migrated copies are in out/examples/ (exit status $status)."
exit $status
