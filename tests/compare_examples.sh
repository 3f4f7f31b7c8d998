#!/bin/sh
# Migrates fresh copies of every example project with two builds of
# kvmigrate-cli and checks that they print the same lines, exit alike and leave
# byte-identical trees.
# Usage: compare_examples.sh HOST_CLI EXAMPLES WORK TARGET_COMMAND...
# (TARGET_COMMAND: the other build, with its emulator, e.g. wine kvmigrate-cli.exe)
set -eu
# File names outside ASCII (vb6intl) are UTF-8 on this system: Wine maps them
# so only in a UTF-8 locale.
export LC_ALL=C.UTF-8
host=$1 examples=$2 work=$3
shift 3
rm -rf "$work"
mkdir -p "$work"
cp -R "$examples" "$work/host"
cp -R "$examples" "$work/target"
status=0
run() {  # run NAME COMMAND... : migrates NAME's copy of $project; lines and status in NAME.out
  name=$1 rc=0
  shift
  (cd "$work/$name" && "$@" "$project") >"$work/$name.out" 2>&1 || rc=$?
  echo "exit $rc" >>"$work/$name.out"
}
# Paths differ only in how each system writes them: in the list of what was
# left over ("PATH:LINE:COL: ...") a "\" counts as "/"; a file outside the
# project's folder is named by its absolute path ("... (PATH)"), taken here
# below the tree, with or without a drive letter.
normalise() {  # normalise NAME
  awk -v tree="$work/$1" '
    /^[^:]*:[0-9]+:[0-9]+: / {
      i = index($0, ":"); p = substr($0, 1, i - 1); gsub(/\\/, "/", p); $0 = p substr($0, i)
    }
    /^kvmigrate-cli: outside the project.s folder/ && match($0, /[(][^()]*[)]$/) {
      p = substr($0, RSTART + 1, RLENGTH - 2); gsub(/\\/, "/", p); sub(/^[A-Za-z]:/, "", p)
      if (index(p, tree "/") == 1) p = "TREE" substr(p, length(tree) + 1)
      $0 = substr($0, 1, RSTART) p ")"
    }
    { print }' "$work/$1.out" >"$work/$1.n"
  mv "$work/$1.n" "$work/$1.out"
}
for project in $(cd "$examples" && find . -type f \( -name '*.vbp' -o -name '*.vbg' -o -name '*.sln' \) | sort); do
  project=${project#./}
  run host "$host"
  run target "$@"
  normalise host
  normalise target
  if cmp -s "$work/host.out" "$work/target.out"; then
    echo "same output: $project"
  else
    echo "DIFFERENT output: $project"
    diff "$work/host.out" "$work/target.out" || true
    status=1
  fi
done
if diff -r "$work/host" "$work/target"; then
  echo "same trees: $(cd "$work/host" && find . -type f | wc -l) files byte for byte"
else
  status=1
fi
exit $status
