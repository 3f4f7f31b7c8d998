#!/usr/bin/env bash
# Takes the windows' screenshots in docs/: each window, on a virtual X
# display, migrates a fresh copy of its example and shows its report.
# Usage: scripts/screenshots.sh [BUILD_DIR]   (default: build)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
cmake --build "$build" --target kvMigrate kvMigrateDotNet
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp -r examples "$work/examples"

shoot() {  # PROGRAM TITLE PROJECT PNG TABS (from the path box to the action button)
  xvfb-run -a -s "-screen 0 780x560x24" bash -c '
    "$1" & app=$!
    win=$(xdotool search --sync --name "$2" | head -n 1)
    xdotool windowsize --sync "$win" 760 540
    xdotool windowfocus --sync "$win"
    xdotool key --window "$win" ctrl+a
    xdotool type --window "$win" --delay 2 "$3"
    for _ in $(seq "$5"); do xdotool key --window "$win" Tab; done
    xdotool key --window "$win" space
    sleep 3
    import -window root -crop 760x540+0+0 "$4"
    kill "$app"
  ' shoot "$@"
}
shoot "$build/vb6/kvMigrate" "Visual Basic Migration" "$work/examples/vb6/Sample.vbp" docs/kvMigrate-report.png 4
shoot "$build/dotnet/kvMigrateDotNet" "DotNet Migration" "$work/examples/dotnet/Sample.sln" docs/kvMigrateDotNet-report.png 3
echo "docs/kvMigrate-report.png docs/kvMigrateDotNet-report.png"
