#!/bin/sh
# The Windows kvmigrate-cli with names outside ASCII and in other letter
# cases: found, migrated and kept within the project's folder.
# Usage: windows_names.sh WORK COMMAND... (the emulator and the .exe)
set -eu
work=$1
shift
rm -rf "$work"
mkdir -p "$work"
cd "$work"
migrated=$(printf 'x.PenColor.ColorIndex = 1\r')

# check NAME EXPECTED-LINES FORM ARGUMENTS... : runs, compares the lines, checks the form
check() {
  name=$1 expected=$(printf "$2") form=$3
  shift 3
  out=$(LC_ALL=C.UTF-8 "$@") || { echo "FAIL: $name: exit status $?"; exit 1; }
  [ "$out" = "$expected" ] || { echo "FAIL: $name: printed"; echo "$out" | od -c; exit 1; }
  [ "$(cat "$form")" = "$migrated" ] || { echo "FAIL: $name: $form not migrated"; exit 1; }
  echo "ok: $name"
}

# The project named on the command line in another letter case (é for É), its
# form listed in Windows-1252 bytes, again in another case.
printf 'Form=F\351n.frm\r\n' >'Café.vbp'
printf 'x.PenColor = 1\r\n' >'FÉN.frm'
check "Windows-1252 names in other letter cases" 'Found Form [F\351n.frm]\nFinish...' 'FÉN.frm' \
  "$@" 'CAFÉ.VBP'

# --codepage CP932: the project named in Japanese (0x83 0x41), its form listed
# in Shift-JIS, whose second byte 0x5C is part of the character, not a "\".
printf 'Form=\203\134.frm\r\n' >'ア.vbp'
printf 'x.PenColor = 1\r\n' >'ソ.frm'
check "--codepage CP932" 'Found Form [\203\134.frm]\nFinish...' 'ソ.frm' \
  "$@" --codepage CP932 'ア.vbp'

# Without --codepage: a form listed in code page 936, whose character code
# page 1252 cannot write, found by trying each ANSI code page in turn.
printf 'Form=\326\367.frm\r\n' >'Zh.vbp'
printf 'x.PenColor = 1\r\n' >'主.frm'
check "code page 936 found without --codepage" 'Found Form [\326\367.frm]\nFinish...' '主.frm' \
  "$@" 'Zh.vbp'

# The project's folder typed in another letter case, and named so again by the
# form's entry: the form is inside that folder, so --confine takes it.
mkdir Proj
printf 'Form=..\\PROJ\\f.FRM\r\n' >Proj/P.vbp
printf 'x.PenColor = 1\r\n' >Proj/F.frm
check "folder in another letter case, confined" 'Found Form [..\\PROJ\\f.FRM]\nFinish...' \
  Proj/F.frm "$@" --confine --no-scan 'proj\p.VBP'
