#!/bin/sh
# Runs the libFuzzer targets for a bounded time each, starting from the seed
# corpus under tests/fuzz/corpus/, and prints the executions of each.
#
#   tests/fuzz/run_all.sh BUILD_DIR [SECONDS] [TARGET...]
#
# BUILD_DIR is a build configured with -DKV_BUILD_FUZZ=ON and clang. SECONDS
# is the time per target (default 30). Without TARGETs, all of them run, one
# after the other. New inputs go to BUILD_DIR/fuzz-work/<target>/corpus (kept
# between runs, so longer runs build on shorter ones); a failing input is
# saved as BUILD_DIR/fuzz-work/<target>/crash-* and the script exits 1.
set -u

if [ $# -lt 1 ]; then
  echo "usage: $0 BUILD_DIR [SECONDS] [TARGET...]" >&2
  exit 2
fi
build=$1
seconds=${2:-30}
[ $# -ge 2 ] && shift 2 || shift 1
here=$(cd "$(dirname "$0")" && pwd)
targets=${*:-fuzz_helpers fuzz_rules fuzz_dotnet_text fuzz_dotnet_parse fuzz_vb6 fuzz_cli_tree}

status=0
for t in $targets; do
  bin=$build/tests/fuzz/$t
  if [ ! -x "$bin" ]; then
    echo "$t: not built ($bin missing)" >&2
    status=1
    continue
  fi
  work=$build/fuzz-work/$t
  mkdir -p "$work/corpus"
  log=$work/last.log
  # The targets that take a whole tree of files get room for it.
  case $t in
    fuzz_dotnet_parse | fuzz_vb6 | fuzz_cli_tree) max_len=12288 ;;
    *) max_len=4096 ;;
  esac
  # -timeout: one input taking 10 s counts as a hang.
  "$bin" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len=$max_len \
    -dict="$here/migration.dict" -print_final_stats=1 -artifact_prefix="$work/" \
    "$work/corpus" "$here/corpus/$t" >"$log" 2>&1
  rc=$?
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
  inputs=$(ls "$work/corpus" | wc -l)
  if [ $rc -eq 0 ]; then
    echo "$t: ok, ${execs:-?} executions in ${seconds} s, corpus of $inputs inputs"
  else
    echo "$t: FAILED (exit $rc); log $log" >&2
    grep -E 'PROPERTY FAILED|ERROR: |SUMMARY|^  got|^  expected|Test unit written' "$log" | head -n 20 >&2
    status=1
  fi
done
exit $status
