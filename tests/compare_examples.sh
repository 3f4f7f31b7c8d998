#!/bin/sh
# Migrates fresh copies of every example project with two builds of
# kvmigrate-cli and checks that they print the same lines, exit alike and leave
# byte-identical trees.
# Usage: compare_examples.sh HOST_CLI EXAMPLES WORK TARGET_COMMAND...
# (TARGET_COMMAND: the other build, with its emulator, e.g. wine kvmigrate-cli.exe)
set -eu
host=$1 examples=$2 work=$3
shift 3
rm -rf "$work"
mkdir -p "$work"
cp -R "$examples" "$work/host"
cp -R "$examples" "$work/target"
status=0
for project in $(cd "$examples" && find . -type f \( -name '*.vbp' -o -name '*.sln' \) | sort); do
  project=${project#./}
  (cd "$work/host" && "$host" "$project" >"$work/host.out" 2>&1; echo "exit $?" >>"$work/host.out")
  (cd "$work/target" && "$@" "$project" >"$work/target.out" 2>&1; echo "exit $?" >>"$work/target.out")
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
