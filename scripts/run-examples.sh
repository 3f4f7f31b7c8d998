#!/usr/bin/env bash
# Sets up the machine, builds the three programs in build-release/ (preset
# "release", warnings left as warnings) and migrates fresh copies of the
# bundled example projects (never the originals) with kvmigrate-cli, every
# member kind followed and the web project taken from its local folder.
# Prints each run's lines, checks that no old GUID, library name or member
# text is left in a migrated member file, and leaves the copies in
# out/examples/ for a look.
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
run() {
  echo
  echo "== $*"
  "$cli" --diff "$@" || status=$?
}
run --all-modules out/examples/vb6/Sample.vbp
run --all-modules out/examples/vb6group/Group.vbg
run out/examples/dotnet/Sample.sln
run --web-root out/examples/dotnet2005/wwwroot out/examples/dotnet2005/Portal.sln
# Names in the project written in code page 936, the files named in UTF-8.
run out/examples/vb6intl/Palette.vbp
# A solution folder, and an SDK-style project whose sources are not listed.
run out/examples/dotnet2019/Canvas.sln

# What the runs migrated: no old GUID in any project file, and nothing old in
# any member file of the new examples (the project files keep the library
# names in the paths that name their members).
leftovers=$({
  grep -rlE '830C3FD1-54A5|E21B186C-2923|742E88D2-DC33' --include='*.vbp' --include='*.csproj' \
    out/examples/vb6group out/examples/dotnet2005 out/examples/vb6intl out/examples/dotnet2019
  grep -rliE '830C3FD1-54A5|E21B186C-2923|742E88D2-DC33|(REDidIzo|RUVivEvu|VUVedaZir)([^5]|$)|\.WMFSaveSize|\.(Grip|OSnap|Pen|ActiveFill|Active|ActiveFillBk|FillBk|Fill|Text|ExtLine)Color([^.]|$)|\.BkColorEx([^.]|$)' \
    --include='*.frm' --include='*.bas' --include='*.cls' --include='*.ctl' --include='*.cs' \
    --include='*.resx' out/examples/vb6group out/examples/dotnet2005 out/examples/vb6intl \
    out/examples/dotnet2019
} || true)
if [ -n "$leftovers" ]; then
  echo "Left unmigrated:" $leftovers
  status=1
fi
echo
echo "Migrated copies are in out/examples/ (exit status $status)."
echo "The windows, on fresh copies (README, \"Open the windows\"):"
echo "  rm -rf out/examples && cp -r examples out/examples"
echo "  build-release/vb6/kvMigrate out/examples/vb6/Sample.vbp"
echo "  build-release/dotnet/kvMigrateDotNet out/examples/dotnet/Sample.sln"
exit $status
