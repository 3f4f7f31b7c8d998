#!/bin/sh
# Makes a package with cpack and checks it the way a user would meet it.
#   package_test.sh deb BUILD SOURCE
#     The .deb is extracted into a scratch root (or, with KV_PACKAGE_INSTALL=1
#     as root, installed with dpkg -i and removed again); its kvmigrate-cli
#     migrates a copy of examples/vb6; the files are listed by dpkg; lintian
#     (when present) reports no error.
#   package_test.sh zip BUILD SOURCE COMMAND...
#     The Windows zip is unpacked; the .exe in it, started with COMMAND (the
#     emulator), migrates a copy of examples/vb6.
#   package_test.sh nsis BUILD SOURCE COMMAND...
#     The Windows installer installs silently under Program Files (COMMAND
#     names the Wine prefix); the installed kvmigrate-cli.exe migrates a copy
#     of examples/vb6; the Start-menu entries and the uninstaller's record are
#     there; the uninstaller removes it all silently.
set -eu
kind=$1 build=$2 source=$3
shift 3
work=$build/package-test
rm -rf "$work" "$build/packages"
mkdir -p "$work"
fail() { echo "FAIL: $*"; exit 1; }

(cd "$build" && cpack -G "$(echo "$kind" | tr a-z A-Z)" >"$work/cpack.log" 2>&1) ||
  { cat "$work/cpack.log"; fail "cpack"; }
case $kind in
  nsis) package=$(ls "$build"/packages/*-setup.exe) ;;
  *) package=$(ls "$build"/packages/*."$kind") ;;
esac
echo "package: $(basename "$package") ($(stat -c %s "$package") bytes)"
cp -R "$source/examples/vb6" "$work/vb6"

check_run() {  # check_run COMMAND... : migrates the copy, expects a full run
  # The lines end with Finish... on standard output; the summary and what was
  # left over follow on standard error.
  (cd "$work/vb6" && "$@" Sample.vbp >"$work/run.out" 2>"$work/run.err") ||
    { cat "$work/run.out" "$work/run.err"; fail "run"; }
  tail -n 1 "$work/run.out" | grep -q '^Finish\.\.\.' ||
    { cat "$work/run.out" "$work/run.err"; fail "no Finish line"; }
  grep -q 'PenColor.ColorIndex' "$work/vb6/frmMain.frm" || fail "frmMain.frm not migrated"
  echo "the packaged kvmigrate-cli migrated examples/vb6"
}

if [ "$kind" = zip ]; then
  unzip -q "$package" -d "$work/unzipped"
  listing=$(cd "$work/unzipped" && find . -type f | sort)
  top="./$(basename "$package" .zip)"
  [ "$listing" = "$(printf '%s\n' "$top/kvMigrate.exe" "$top/kvMigrateDotNet.exe" "$top/kvmigrate-cli.exe")" ] ||
    fail "zip holds: $listing"
  check_run "$@" "$work/unzipped/$(basename "$package" .zip)/kvmigrate-cli.exe"
  exit 0
fi

if [ "$kind" = nsis ]; then
  prefix=
  for arg in "$@"; do case $arg in WINEPREFIX=*) prefix=${arg#WINEPREFIX=} ;; esac; done
  [ -n "$prefix" ] || fail "no WINEPREFIX= in the command"
  dir='C:\Program Files\kvMigrate'
  unixdir="$prefix/drive_c/Program Files/kvMigrate"
  menu="$prefix/drive_c/ProgramData/Microsoft/Windows/Start Menu/Programs/kvMigrate"
  key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\kvMigrate'
  # What an earlier test that stopped half-way left goes first.
  rm -rf "$unixdir" "$menu"
  "$@" reg delete "$key" /f >/dev/null 2>&1 || true
  "$@" reg delete 'HKLM\Software\kvMigrate developers' /f >/dev/null 2>&1 || true
  "$@" "$package" /S "/D=$dir" || fail "silent install"
  for f in kvMigrate.exe kvMigrateDotNet.exe kvmigrate-cli.exe Uninstall.exe; do
    [ -f "$unixdir/$f" ] || fail "not installed: $f"
  done
  for f in kvMigrate.lnk kvMigrateDotNet.lnk; do
    [ -f "$menu/$f" ] || fail "no Start-menu entry $f"
  done
  # A shortcut names its target in UTF-16 and as the ANSI path.
  tr -d '\000' <"$menu/kvMigrate.lnk" >"$work/links"
  grep -q 'Program Files.kvMigrate.kvMigrate.exe' "$work/links" || fail "kvMigrate.lnk points elsewhere"
  "$@" reg query "$key" /v UninstallString >"$work/reg.out" 2>&1 || { cat "$work/reg.out"; fail "no uninstaller registered"; }
  grep -q 'Uninstall.exe' "$work/reg.out" || { cat "$work/reg.out"; fail "uninstaller record"; }
  check_run "$@" "$unixdir/kvmigrate-cli.exe"
  # The uninstaller runs a copy of itself and returns at once: wait for it.
  "$@" "$unixdir/Uninstall.exe" /S || fail "silent uninstall"
  i=0
  while [ -e "$unixdir/Uninstall.exe" ] && [ $i -lt 120 ]; do sleep 0.5; i=$((i + 1)); done
  for f in kvMigrate.exe kvMigrateDotNet.exe kvmigrate-cli.exe; do
    [ ! -e "$unixdir/$f" ] || fail "left after uninstalling: $f"
  done
  [ ! -e "$menu/kvMigrate.lnk" ] || fail "Start-menu entry left after uninstalling"
  if "$@" reg query "$key" >/dev/null 2>&1; then fail "uninstaller record left"; fi
  rm -rf "$unixdir"
  echo "installed, ran and uninstalled under Wine"
  exit 0
fi

expected="usr/bin/kvmigrate-cli usr/share/man/man1/kvmigrate-cli.1.gz
usr/share/doc/kvmigrate/copyright usr/share/doc/kvmigrate/changelog.gz"
if dpkg-deb -c "$package" | grep 'usr/bin/kvMigrate$' >/dev/null; then
  expected="$expected usr/bin/kvMigrate usr/bin/kvMigrateDotNet
usr/share/applications/kvMigrate.desktop usr/share/applications/kvMigrateDotNet.desktop
usr/share/icons/hicolor/scalable/apps/kvmigrate.svg usr/share/man/man1/kvMigrate.1.gz
usr/share/man/man1/kvMigrateDotNet.1.gz"
fi
if [ "${KV_PACKAGE_INSTALL:-0}" = 1 ] && [ "$(id -u)" = 0 ]; then
  dpkg -i "$package" >"$work/dpkg.log" 2>&1 || { cat "$work/dpkg.log"; fail "dpkg -i"; }
  trap 'dpkg -r kvmigrate >/dev/null 2>&1 || true' EXIT
  dpkg -L kvmigrate >"$work/list"
  check_run /usr/bin/kvmigrate-cli
  listed="dpkg -L"
else
  dpkg -x "$package" "$work/root"
  dpkg-deb -c "$package" | awk '{print $6}' | sed 's|^\./|/|' >"$work/list"
  check_run "$work/root/usr/bin/kvmigrate-cli"
  listed="dpkg-deb -c"
fi
for f in $expected; do
  grep -qx "/$f" "$work/list" || fail "$listed does not list /$f"
done
echo "$listed lists the $(echo $expected | wc -w) expected files"

if command -v lintian >/dev/null; then
  lintian --tag-display-limit 0 "$package" >"$work/lintian.log" 2>&1 || true
  cat "$work/lintian.log"
  ! grep -q '^E:' "$work/lintian.log" || fail "lintian reports errors"
  echo "lintian: no error ($(grep -c '^W:' "$work/lintian.log" || true) warnings)"
fi
