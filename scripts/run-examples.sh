#!/usr/bin/env bash
# Sets up the machine, builds the three programs in build-release/ (preset
# "release", warnings left as warnings) and migrates fresh copies of the
# bundled example projects (never the originals) with kvmigrate-cli. Prints
# each run's lines and leaves the migrated copies in out/examples/ for a look.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake --preset release -DKV_WERROR=OFF >/dev/null
cmake --build --preset release
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
echo "The windows, on fresh copies (README, \"Open the windows\"):"
echo "  rm -rf out/examples && cp -r examples out/examples"
echo "  build-release/vb6/kvMigrate out/examples/vb6/Sample.vbp"
echo "  build-release/dotnet/kvMigrateDotNet out/examples/dotnet/Sample.sln"
exit $status
