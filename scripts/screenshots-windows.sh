#!/usr/bin/env bash
# Takes the Win32 windows' screenshots in docs/: each program of the Windows
# build (build-win/) runs under Wine on a virtual X display, opens with its
# example named on the command line (the window as it opens), then migrates
# a fresh copy of it, driven by keys as a user would (Tab to the action
# button, space), and shows the list and the report.
# Usage: scripts/screenshots-windows.sh [BUILD_DIR]   (default: build-win)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-win}
cmake --build "$build" --target kvMigrate kvMigrateDotNet
# A prefix of its own with Wine's X11 driver (the tests' prefix has none) and
# window frames drawn by Wine, since Xvfb has no window manager.
export WINEPREFIX="$PWD/$build/wineprefix-x11" WINEDEBUG=-all WINEDLLOVERRIDES=mscoree,mshtml=
work=$(mktemp -d)
trap 'wineserver -k 2>/dev/null || true; rm -rf "$work"' EXIT

shoot() {  # PROGRAM TITLE PROJECT TABS PNG
  cp -r examples "$work/examples-$(basename "$5" .png)"
  local project="$work/examples-$(basename "$5" .png)/$3"
  xvfb-run -a -s "-screen 0 1024x768x24" bash -c '
    set -e
    wineboot --init >/dev/null 2>&1
    wine reg add "HKCU\\Software\\Wine\\X11 Driver" /v Decorated /d N /f >/dev/null 2>&1
    wine reg add "HKCU\\Software\\Wine\\X11 Driver" /v Managed /d N /f >/dev/null 2>&1
    wine "$1" "$(winepath -w "$3")" & app=$!
    win=$(xdotool search --sync --name "$2" | head -n 1)
    sleep 2
    eval "$(xdotool getwindowgeometry --shell "$win")"
    import -window root -crop "${WIDTH}x${HEIGHT}+${X}+${Y}" "${5%.png}-open.png"
    for _ in $(seq "$4"); do xdotool key Tab; sleep 0.2; done
    xdotool key space
    sleep 4
    eval "$(xdotool getwindowgeometry --shell "$win")"
    import -window root -crop "${WIDTH}x${HEIGHT}+${X}+${Y}" "$5"
    kill "$app" 2>/dev/null || true
    wineserver -k 2>/dev/null || true
  ' shoot "$1" "$2" "$project" "$4" "$5"
  mv "${5%.png}-open.png" "${5%-report.png}.png"
}
shoot "$build/vb6/kvMigrate.exe" "Visual Basic Migration" vb6/Sample.vbp 4 docs/kvMigrate-win32-report.png
shoot "$build/dotnet/kvMigrateDotNet.exe" "DotNet Migration" dotnet/Sample.sln 3 docs/kvMigrateDotNet-win32-report.png
echo docs/kvMigrate-win32.png docs/kvMigrate-win32-report.png docs/kvMigrateDotNet-win32.png docs/kvMigrateDotNet-win32-report.png
