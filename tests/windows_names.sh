#!/bin/sh
# The Windows kvmigrate-cli with names outside ASCII: the project is named on
# the command line in another letter case (é for É), and lists its form in
# Windows-1252 bytes, again in another case; both are found and migrated.
# Usage: windows_names.sh WORK COMMAND... (the emulator and the .exe)
set -eu
work=$1
shift
rm -rf "$work"
mkdir -p "$work"
cd "$work"
printf 'Form=F\351n.frm\r\n' >'Café.vbp'
printf 'x.PenColor = 1\r\n' >'FÉN.frm'
out=$(LC_ALL=C.UTF-8 "$@" 'CAFÉ.VBP')
expected=$(printf 'Found Form [F\351n.frm]\nFinish...')
[ "$out" = "$expected" ] || { echo "FAIL: printed"; echo "$out" | od -c; exit 1; }
[ "$(cat 'FÉN.frm')" = "$(printf 'x.PenColor.ColorIndex = 1\r')" ] || { echo "FAIL: not migrated"; exit 1; }
echo "found and migrated through Windows-1252 names in other letter cases"
