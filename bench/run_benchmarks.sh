#!/usr/bin/env bash
# The end-to-end comparison: builds the benchmark targets, measures the engine
# in memory and kvmigrate-cli against the tools a user would otherwise reach
# for, each pair side by side in the same run: a generated 1 GiB .NET solution
# and a 250 MiB one against `cp -a` of the tree followed by `sync` (and the
# large one against GNU sed and a program that only rewrites the same files);
# 100,000 small VB6 modules listed by one project against `cp -a` and `sync`;
# one 64 MiB source file against `cp` plus fsync, `sed -i` and `sd`. Writes the
# results to docs/performance.md and docs/performance.png.
#
#   bench/run_benchmarks.sh
#   bench/run_benchmarks.sh hostile   # only the hostile-input rows, updated in place
#   KV_BENCH_ONLY="one small" bench/run_benchmarks.sh
#                                     # only these rows, printed; the page is left alone
#
# Rows for KV_BENCH_ONLY: engine (in memory, with sed's throughput), tree
# (1 GiB), mid (250 MiB), small (100,000 files), one (64 MiB file), dense
# (100 MB with a million matches and with none), window.
#
# Settings (environment):
#   KV_BENCH_BUILD   build folder              (default: <repo>/build-bench)
#   KV_BENCH_WORK    scratch folder, removed   (default: ${TMPDIR:-/tmp}/kvmigrate-bench, the
#                    system's temporary folder; point it into a mounted
#                    image to measure another file system)
#   KV_BENCH_RUNS    runs of each measurement  (default: 3; the median is reported)
#   KV_BENCH_BYTES   size of the solution tree (default: 1G)
#   KV_BENCH_FILES   source files in the tree  (default: 20000)
#   KV_BENCH_SMALL   files of the small-files row (default: 100000)
#   KV_BENCH_DOC     report to write           (default: <repo>/docs/performance.md)
#   KV_BENCH_ONLY    rows to run (see above; default: all, and the page is written)
#
# Needs: cmake, ninja or make, a C++20 compiler, Google Benchmark
# (libbenchmark-dev), GNU sed, sd, findmnt, and gnuplot for the plot (without
# it the plot is skipped and the report says so). scripts/install-deps.sh
# installs them.
set -euo pipefail

MODE=${1:-all}
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${KV_BENCH_BUILD:-$ROOT/build-bench}
WORK=${KV_BENCH_WORK:-${TMPDIR:-/tmp}/kvmigrate-bench}
RUNS=${KV_BENCH_RUNS:-3}
TREE_BYTES=${KV_BENCH_BYTES:-1G}
TREE_FILES=${KV_BENCH_FILES:-20000}
SMALL_FILES=${KV_BENCH_SMALL:-100000}
DOC=${KV_BENCH_DOC:-$ROOT/docs/performance.md}
ONLY=${KV_BENCH_ONLY:-}
PLOT=$(dirname "$DOC")/performance.png
COMMAND="bench/run_benchmarks.sh"
[ "$RUNS" != 3 ] && COMMAND="KV_BENCH_RUNS=$RUNS $COMMAND"
[ "$TREE_BYTES" != 1G ] && COMMAND="KV_BENCH_BYTES=$TREE_BYTES $COMMAND"
[ "$TREE_FILES" != 20000 ] && COMMAND="KV_BENCH_FILES=$TREE_FILES $COMMAND"
[ "$SMALL_FILES" != 100000 ] && COMMAND="KV_BENCH_SMALL=$SMALL_FILES $COMMAND"
[ -n "${KV_BENCH_WORK:-}" ] && COMMAND="KV_BENCH_WORK=$WORK $COMMAND"
# want ROW: whether this run measures ROW.
want() { [ -z "$ONLY" ] || [[ " $ONLY " == *" $1 "* ]]; }

START=$(date +%s)
LOAD_START=$(cut -d' ' -f1-3 /proc/loadavg)
log() { printf '[%4ds] %s\n' $(($(date +%s) - START)) "$*" >&2; }

# ---------------------------------------------------------------------------
# Build

log "building the benchmark targets in $BUILD"
generator=()
if [ ! -f "$BUILD/CMakeCache.txt" ]; then
  command -v ninja >/dev/null && generator=(-G Ninja)
fi
# -O2: the code is written for it, and the figures in docs/performance.md
# were taken with it.
cmake -S "$ROOT" -B "$BUILD" "${generator[@]}" -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_CXX_FLAGS_RELEASE="-O2 -DNDEBUG" -DKV_BUILD_BENCH=ON -DKV_BUILD_GUI=ON \
  -DBUILD_TESTING=OFF >/dev/null
if [ "$MODE" = hostile ]; then
  cmake --build "$BUILD" --target kvbench-engine -j "$(nproc)" >/dev/null
elif [ -n "$ONLY" ] && ! want engine && ! want window; then
  cmake --build "$BUILD" --target kvbench-gen kvbench-time kvbench-floor kvmigrate-cli \
    -j "$(nproc)" >/dev/null
else
  cmake --build "$BUILD" --target kvbench -j "$(nproc)" >/dev/null
  if want window; then cmake --build "$BUILD" --target kvbench-window -j "$(nproc)" >/dev/null; fi
fi
GEN=$BUILD/bench/kvbench-gen
TIME=$BUILD/bench/kvbench-time
FLOOR=$BUILD/bench/kvbench-floor
ENGINE=$BUILD/bench/kvbench-engine
CLI=$BUILD/cli/kvmigrate-cli

rm -rf "$WORK"
mkdir -p "$WORK" "$(dirname "$DOC")"
trap 'empty_trash; rm -rf "$WORK"' EXIT
if [ "$MODE" != hostile ]; then
  "$GEN" sed-script "$WORK/rules.sed"
  "$GEN" rules "$WORK/rules.txt"
fi
export LC_ALL=C  # byte semantics for sed, as the engine has

# ---------------------------------------------------------------------------
# Helpers

median() { sort -g | awk '{v[NR] = $1} END {if (NR % 2) print v[(NR + 1) / 2]; else print (v[NR / 2] + v[NR / 2 + 1]) / 2}'; }
# Runs a command, appending "seconds max-rss-KiB status" to the file $1.
timed() {
  local out=$1
  shift
  "$TIME" "$out" "$@" >/dev/null || true  # a failure is counted from the status
}
# Field $2 of the result lines in file $1, median.
med() { awk -v f="$2" '{print $f}' "$1" | median; }
maxcol() { awk -v f="$2" 'BEGIN {m = 0} {if ($f > m) m = $f} END {print m}' "$1"; }
fmt() { awk -v x="$1" -v d="${2:-2}" 'BEGIN {printf "%.*f", d, x}'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN {printf "%.2f", a / b}'; }
# Writes a tree into $WORK/tree; prints the generator's summary line.
# Inputs that are done with go to a trash folder, emptied only at the end (by
# several processes at once: on a file system with online discard, each
# removal waits for the disk). ext4 without a journal, before it takes a free
# inode for a new file, skips each one freed in the last 60 s (six minutes
# while its record is not yet written back, which making a file whose record
# is in the same block makes it again), reading its record: right after
# thousands of files were removed, every file created in their folders'
# groups walks all of them, which no user's run meets. So nothing is removed
# between runs but by the timed commands themselves (the trash of a whole
# run takes about 20 GiB), and every timed command waits, after a sync,
# until the last such removal is KV_BENCH_SETTLE seconds old (default 61;
# 0 waits for nothing).
SETTLE=${KV_BENCH_SETTLE:-61}
LAST_FREE=0
discard() {
  [ -e "$1" ] || return 0
  mkdir -p "$WORK/trash"
  # A folder of its own each time (also when called in a subshell).
  mv "$1" "$(mktemp -d "$WORK/trash/t.XXXXXX")/"
}
# Removes the folder $1, its files by 8 processes at once (as a run removes
# the originals it replaced).
REMOVE_TREE='find "$1" -type f -print0 | xargs -0 -r -P 8 -n 4096 rm -f && rm -rf "$1"'
empty_trash() {
  [ -d "$WORK/trash" ] || return 0
  local files
  files=$(find "$WORK/trash" -type f | wc -l)
  sh -c "$REMOVE_TREE" sh "$WORK/trash"
  # A few files removed make no walk worth waiting for.
  if [ "$files" -ge 100 ]; then freed; fi
}
# Called before a timed command: flushed, and no removal younger than SETTLE.
settle() {
  sync
  local wait=$((LAST_FREE + SETTLE - $(date +%s)))
  if [ "$wait" -gt 0 ]; then sleep "$wait"; fi
}
# Called after a command that removed or replaced many files.
freed() { LAST_FREE=$(date +%s); }
make_tree() {
  discard "$WORK/tree"
  "$GEN" tree "$WORK/tree" "$@"
  sync
}
field() { tr ' ' '\n' <<<"$1" | awk -F= -v k="$2" '$1 == k {print $2}'; }

# ---------------------------------------------------------------------------
# The engine in memory (Google Benchmark)

if [ "$MODE" = hostile ] || want engine; then
  FILTER=-BM_StopInside  # its counters go to a file of their own, below
  [ "$MODE" = hostile ] && FILTER='BM_(Hostile|Ordinary)'
  log "engine benchmarks ($RUNS repetitions, filter $FILTER)"
  "$ENGINE" --benchmark_repetitions="$RUNS" --benchmark_report_aggregates_only=true \
    --benchmark_filter="$FILTER" --benchmark_format=csv 2>/dev/null | tr -d '"' >"$WORK/engine.csv"
  # The time from a stop to the run's end inside one 256 MiB file (its own file:
  # its counters are columns of their own).
  log "stop inside one large file ($RUNS repetitions of 8 stops per engine)"
  "$ENGINE" --benchmark_repetitions="$RUNS" --benchmark_report_aggregates_only=true \
    --benchmark_filter='BM_StopInside' --benchmark_format=csv 2>/dev/null | tr -d '"' >"$WORK/stop.csv"
fi
# stop_field ENGINE(0 = VB6, 1 = .NET) COLUMN -> that column of the median row
stop_field() {
  awk -F, -v e="$1" -v c="$2" 'NR == 1 {for (i = 1; i <= NF; i++) col[$i] = i; next}
    $1 ~ ("vb6_dotnet:" e "/.*_median$") {print $col[c]}' "$WORK/stop.csv"
}
# bench NAME -> "milliseconds bytes_per_second" of its median (of its only
# run when there is one)
bench() {
  awk -F, -v n="$1" '$1 == n "_median" || $1 == n "/manual_time_median" ||
    ((n == $1 || $1 == n "/manual_time") && !one[n]++) {print $3, $6}' "$WORK/engine.csv" | tail -1
}
engine_ms() { bench "$1" | awk '{print $1}'; }
engine_mbs() { bench "$1" | awk '{printf "%.0f", $2 / 1e6}'; }

# Hostile project files against ordinary ones of the same size.
HOSTILE_ROWS='ModuleLines|"Module=a" lines without ";", 16 MiB
LongLine|One line of 64 MiB
FormsOnOneLine|1,000,000 "Form=" on one line (5 MB)
OpenItems|.NET items that never close ("<Compile Include=..." lines, no ">"), 16 MiB
Nested/iterations:1|1,000,000 forms nested, each listing the next (against 1,000,000 listed by the project)'
yes_no() { awk "BEGIN {exit !($1)}" && echo "yes" || echo "**no**"; }
row() { printf '| %s | %s | %s | %s |\n' "$@"; }
hostile_worst() {
  while IFS='|' read -r key _; do
    ratio "$(engine_ms "BM_Hostile$key")" "$(engine_ms "BM_Ordinary$key")"
    echo
  done <<<"$HOSTILE_ROWS" | sort -g | tail -1
}
hostile_target_row() {
  local worst
  worst=$(hostile_worst)
  row "Hostile project files: slowest against ordinary input of the same size (below)" \
    "${worst}x" "<= 2x" "$(yes_no "$worst <= 2")"
}
hostile_section() {
  cat <<EOF
## Hostile project files

Inputs made to be slow, each against ordinary VB6 text of the same size, from
\`kvbench-engine\` (medians of $RUNS repetitions): the whole VB6 walk with the
input as the project (entry scan, text stages, every entry looked up), then
the .NET solution and project parsers and text migration on the same bytes,
over a file system held in memory. The nested chain is compared with a
project that lists the same number of files itself.

| Input | Hostile | Ordinary | Ratio | Target <= 2x |
|---|---|---|---|---|
EOF
  local key what h o r
  while IFS='|' read -r key what; do
    h=$(engine_ms "BM_Hostile$key")
    o=$(engine_ms "BM_Ordinary$key")
    r=$(ratio "$h" "$o")
    printf '| %s | %s ms | %s ms | %sx | %s |\n' "$what" "$(fmt "$h" 1)" "$(fmt "$o" 1)" "$r" \
      "$(yes_no "$r <= 2")"
  done <<<"$HOSTILE_ROWS"
  cat <<EOF

A stop (Ctrl-C, Exit) inside one 256 MiB file: a dry run through the real
file layer, the flag raised at eight moments spread over the run, the time
from raising it to the run's end (\`BM_StopInsideOneLargeFile\`, medians of
$RUNS repetitions of 8 stops; "longest gap" is the longest stretch of the run
between two looks at the flag).

| Engine | Whole run | Mean stop | Slowest stop | Longest gap | Target about 100 ms |
|---|---|---|---|---|---|
EOF
  local e name worst
  for e in 0 1; do
    name=VB6
    [ "$e" = 1 ] && name=.NET
    worst=$(stop_field "$e" max_ms)
    printf '| %s | %s ms | %s ms | %s ms | %s ms | %s |\n' "$name" \
      "$(fmt "$(stop_field "$e" run_ms)" 0)" "$(fmt "$(stop_field "$e" real_time)" 1)" \
      "$(fmt "$worst" 1)" "$(fmt "$(stop_field "$e" gap_ms)" 1)" "$(yes_no "$worst <= 100")"
  done
  echo
}

if [ "$MODE" = hostile ]; then
  # Replace the section and the target row of the last full report.
  hostile_section >"$WORK/section.md"
  hostile_target_row >"$WORK/row.md"
  awk -v sec="$WORK/section.md" -v rowf="$WORK/row.md" -v when="$(date -u '+%Y-%m-%d %H:%M UTC')" '
    function put(f,  l) { while ((getline l < f) > 0) print l; close(f) }
    /^\| Hostile project files:/ { put(rowf); done_row = 1; next }
    /^\| Runs that failed/ && !done_row { put(rowf); done_row = 1 }
    /^## Hostile project files/ { skip = 1; next }
    skip && /^## / { skip = 0 }
    skip && /^\(This section and its target row/ { next }
    skip { next }
    /^## How it is measured/ {
      put(sec)
      print "(This section and its target row: `bench/run_benchmarks.sh hostile`, " when ".)"
      print ""
    }
    { print }' "$DOC" >"$WORK/doc.md"
  cp "$WORK/doc.md" "$DOC"
  log "hostile rows written to $DOC"
  exit 0
fi

# GNU sed on the same texts (the benchmark's texts come from seed 42).
: >"$WORK/plot.dat"
if want engine; then
  log "GNU sed on the same texts"
  for size in 4096 65536 1048576 16777216 67108864; do
    "$GEN" text "$WORK/text.cs" "$size" 2048 42 >/dev/null
    : >"$WORK/sed.txt"
    for _ in $(seq "$RUNS"); do timed "$WORK/sed.txt" sed -f "$WORK/rules.sed" "$WORK/text.cs"; done
    sed_s=$(med "$WORK/sed.txt" 1)
    sed_mbs=$(awk -v b="$size" -v s="$sed_s" 'BEGIN {printf "%.1f", b / s / 1e6}')
    echo "$size $(engine_mbs "BM_ConvertDotNetFile/$size") $sed_mbs" >>"$WORK/plot.dat"
  done
  rm -f "$WORK/text.cs"
  ENGINE64=$(awk '$1 == 67108864 {print $2}' "$WORK/plot.dat")
  SED64=$(awk '$1 == 67108864 {print $3}' "$WORK/plot.dat")
fi

# ---------------------------------------------------------------------------
# End to end. Within each run the tools take turns, each on a freshly made
# input, so that a change in the machine's load between runs weighs on both
# sides of each comparison alike; each ratio is the median of the ratios
# taken run by run.

FAILED=0
# failures FILE... -> adds the runs of these result files that failed
failures() { FAILED=$((FAILED + $(awk '$3 != 0' "$@" | wc -l))); }
# Median over the runs of (first file's time / second file's time).
paired() { paste -d' ' "$1" "$2" | awk '{print $1 / $4}' | median | awk '{printf "%.2f", $1}'; }
# cp -a of the folder $1 into a new folder beside it, then sync; the copy goes
# to the trash (with $3 = keep: it stays, for remove_copy).
copy_tree() {
  settle
  timed "$2" sh -c 'cp -a "$1" "$1.copy" && sync' sh "$1"
  if [ "${3:-}" != keep ]; then discard "$1.copy"; fi
}
# Removal of the copy of the folder $1 that copy_tree kept, timed into file
# $2: its files by 8 processes at once, as a run removes the originals it
# replaced (what a run must free, and cp never does).
remove_copy() {
  sync
  timed "$2" sh -c "$REMOVE_TREE" sh "$1.copy"
  freed
}
# A timed command that replaces files: kvmigrate-cli, sed -i, sd, the floor.
timed_freeing() {
  settle
  timed "$@"
  freed
}

PROJECTS=$((TREE_FILES / 200 > 0 ? TREE_FILES / 200 : 1))
half_size() {
  awk -v t="$1" 'BEGIN {u = substr(t, length(t)); n = t + 0; m = 1
    if (u == "K" || u == "k") m = 1024; if (u == "M" || u == "m") m = 1048576
    if (u == "G" || u == "g") m = 1073741824; printf "%d", n * m / 2}'
}
HALF_BYTES=$(half_size "$TREE_BYTES")
HALF_FILES=$((TREE_FILES / 2))
HALF_PROJECTS=$((PROJECTS / 2 > 0 ? PROJECTS / 2 : 1))

# The whole tree: kvmigrate-cli, cp -a and sync, the floor, sed -i, then half
# the tree.
if want tree; then
  log "tree: $TREE_BYTES in $TREE_FILES files, $RUNS runs of each tool, and half the tree"
  : >"$WORK/cli.txt"
  : >"$WORK/floor.txt"
  : >"$WORK/sedi.txt"
  : >"$WORK/half.txt"
  : >"$WORK/cpa.txt"
  for run in $(seq "$RUNS"); do
    TREE=$(make_tree "$TREE_BYTES" "$TREE_FILES" "$PROJECTS")
    log "  run $run: kvmigrate-cli"
    timed_freeing "$WORK/cli.txt" "$CLI" --quiet "$WORK/tree/Bench.sln"
    make_tree "$TREE_BYTES" "$TREE_FILES" "$PROJECTS" >/dev/null
    log "  run $run: cp -a and sync"
    copy_tree "$WORK/tree" "$WORK/cpa.txt"
    make_tree "$TREE_BYTES" "$TREE_FILES" "$PROJECTS" >/dev/null
    log "  run $run: floor"
    timed_freeing "$WORK/floor.txt" "$FLOOR" "$WORK/tree"
    make_tree "$TREE_BYTES" "$TREE_FILES" "$PROJECTS" >/dev/null
    log "  run $run: sed -i -f"
    settle
    (cd "$WORK/tree" && timed "$WORK/sedi.txt" xargs -a Bench.files sed -i -f "$WORK/rules.sed")
    freed
    make_tree "$HALF_BYTES" "$HALF_FILES" "$HALF_PROJECTS" >/dev/null
    log "  run $run: kvmigrate-cli on half the tree"
    timed_freeing "$WORK/half.txt" "$CLI" --quiet "$WORK/tree/Bench.sln"
  done
  TREE_COUNT=$(field "$TREE" files)
  TREE_TOTAL=$(field "$TREE" bytes)
  TREE_LARGEST=$(field "$TREE" largest)
  TREE_MATCHES=$(field "$TREE" matches)
  CLI_S=$(med "$WORK/cli.txt" 1)
  FLOOR_S=$(med "$WORK/floor.txt" 1)
  SEDI_S=$(med "$WORK/sedi.txt" 1)
  HALF_S=$(med "$WORK/half.txt" 1)
  CPA_S=$(med "$WORK/cpa.txt" 1)
  CLI_RSS=$(maxcol "$WORK/cli.txt" 2)
  failures "$WORK/cli.txt" "$WORK/floor.txt" "$WORK/sedi.txt" "$WORK/half.txt" "$WORK/cpa.txt"
  CPA_RATIO=$(paired "$WORK/cli.txt" "$WORK/cpa.txt")
  SEDI_RATIO=$(paired "$WORK/sedi.txt" "$WORK/cli.txt")
  SCALE=$(paired "$WORK/cli.txt" "$WORK/half.txt")
  FLOOR_RATIO=$(paired "$WORK/cli.txt" "$WORK/floor.txt")
fi

# A 250 MiB tree of 5,000 files: kvmigrate-cli, then cp -a and sync.
MID_FILES=5000
MID_PROJECTS=25
if want mid; then
  log "tree: 250M in $MID_FILES files, $RUNS runs of kvmigrate-cli and of cp -a and sync"
  : >"$WORK/mid.txt"
  : >"$WORK/midcp.txt"
  : >"$WORK/midrm.txt"
  for run in $(seq "$RUNS"); do
    MID=$(make_tree 250M "$MID_FILES" "$MID_PROJECTS")
    copy_tree "$WORK/tree" "$WORK/midcp.txt" keep
    timed_freeing "$WORK/mid.txt" "$CLI" --quiet "$WORK/tree/Bench.sln"
    remove_copy "$WORK/tree" "$WORK/midrm.txt"
  done
  MID_TOTAL=$(field "$MID" bytes)
  MID_LARGEST=$(field "$MID" largest)
  MID_S=$(med "$WORK/mid.txt" 1)
  MIDCP_S=$(med "$WORK/midcp.txt" 1)
  MID_RSS=$(maxcol "$WORK/mid.txt" 2)
  MID_RATIO=$(paired "$WORK/mid.txt" "$WORK/midcp.txt")
  MIDRM_S=$(med "$WORK/midrm.txt" 1)
  MIDRM_RATIO=$(paired "$WORK/midrm.txt" "$WORK/midcp.txt")
  failures "$WORK/mid.txt" "$WORK/midcp.txt" "$WORK/midrm.txt"
fi

# Small files: one .vbp listing $SMALL_FILES modules of 2 KiB, each needing
# a change. The same tree is copied first (cp -a and sync), then migrated.
if want small; then
  log "small files: $SMALL_FILES modules in one project, $RUNS runs of cp -a and sync, kvmigrate-cli"
  : >"$WORK/small.txt"
  : >"$WORK/smallcp.txt"
  : >"$WORK/smallrm.txt"
  for run in $(seq "$RUNS"); do
    discard "$WORK/tree"
    SMALL=$("$GEN" vb6 "$WORK/tree" 0 "$SMALL_FILES" 2048)
    sync
    copy_tree "$WORK/tree" "$WORK/smallcp.txt" keep
    timed_freeing "$WORK/small.txt" "$CLI" --quiet "$WORK/tree/Bench.vbp"
    remove_copy "$WORK/tree" "$WORK/smallrm.txt"
  done
  SMALL_TOTAL=$(field "$SMALL" bytes)
  SMALL_LARGEST=$(field "$SMALL" largest)
  SMALL_S=$(med "$WORK/small.txt" 1)
  SMALLCP_S=$(med "$WORK/smallcp.txt" 1)
  SMALL_RSS=$(maxcol "$WORK/small.txt" 2)
  SMALL_RATIO=$(paired "$WORK/small.txt" "$WORK/smallcp.txt")
  SMALLRM_S=$(med "$WORK/smallrm.txt" 1)
  SMALLRM_RATIO=$(paired "$WORK/smallrm.txt" "$WORK/smallcp.txt")
  failures "$WORK/small.txt" "$WORK/smallcp.txt" "$WORK/smallrm.txt"
fi

# One 64 MiB source file in a one-project solution: kvmigrate-cli, cp of the
# file and an fsync of the copy (sync FILE), sed -i with the 18 rows, and sd
# with one literal pass per row (`sd -F OLD NEW FILE`, or -s in releases
# before -F, as a user would script it).
SD_VERSION=$(sd --version 2>/dev/null | head -1 || true)
# Its literal mode: -F in later releases, -s (string mode) in earlier ones.
SD_LITERAL=-F
sd --help 2>/dev/null | grep -q -- '--fixed-strings' || SD_LITERAL=-s
if want one; then
  log "one 64 MiB file: kvmigrate-cli, cp + fsync, sed -i, sd; $RUNS runs each"
  : >"$WORK/one.txt"
  : >"$WORK/onecp.txt"
  : >"$WORK/onesed.txt"
  : >"$WORK/onesd.txt"
  for _ in $(seq "$RUNS"); do
    ONE=$(make_tree 67108864 1 1)
    timed "$WORK/one.txt" "$CLI" --quiet "$WORK/tree/Bench.sln"
    make_tree 67108864 1 1 >/dev/null
    ONE_FILE=$WORK/tree/$(grep '\.cs$' "$WORK/tree/Bench.files")
    timed "$WORK/onecp.txt" sh -c 'cp "$1" "$1.copy" && sync "$1.copy"' sh "$ONE_FILE"
    discard "$ONE_FILE.copy"
    sync
    timed "$WORK/onesed.txt" sed -i -f "$WORK/rules.sed" "$ONE_FILE"
    if [ -n "$SD_VERSION" ]; then
      make_tree 67108864 1 1 >/dev/null
      timed "$WORK/onesd.txt" sh -c 'while IFS="	" read -r old new; do
        sd "$3" "$old" "$new" "$2" || exit; done <"$1"' sh "$WORK/rules.txt" "$ONE_FILE" "$SD_LITERAL"
    fi
  done
  ONE_LARGEST=$(field "$ONE" largest)
  ONE_S=$(med "$WORK/one.txt" 1)
  ONECP_S=$(med "$WORK/onecp.txt" 1)
  ONESED_S=$(med "$WORK/onesed.txt" 1)
  ONE_RSS=$(maxcol "$WORK/one.txt" 2)
  ONECP_RATIO=$(paired "$WORK/one.txt" "$WORK/onecp.txt")
  ONESED_RATIO=$(paired "$WORK/onesed.txt" "$WORK/one.txt")
  failures "$WORK/one.txt" "$WORK/onecp.txt" "$WORK/onesed.txt"
  if [ -n "$SD_VERSION" ]; then
    ONESD_S=$(med "$WORK/onesd.txt" 1)
    ONESD_RATIO=$(paired "$WORK/onesd.txt" "$WORK/one.txt")
    failures "$WORK/onesd.txt"
  fi
fi

# One 100 MB file: 1,000,000 matches against none.
if want dense; then
  log "one 100 MB file: 1,000,000 matches and none, $RUNS runs each"
  : >"$WORK/dense.txt"
  : >"$WORK/none.txt"
  : >"$WORK/densecp.txt"
  for _ in $(seq "$RUNS"); do
    BIG=$(make_tree 100000000 1 1 100)
    timed "$WORK/dense.txt" "$CLI" --quiet "$WORK/tree/Bench.sln"
    make_tree 100000000 1 1 0 >/dev/null
    timed "$WORK/none.txt" "$CLI" --quiet "$WORK/tree/Bench.sln"
    # What a run with matches writes at the least: the file's size, durably.
    BIG_FILE=$WORK/tree/$(grep '\.cs$' "$WORK/tree/Bench.files")
    timed "$WORK/densecp.txt" sh -c 'cp "$1" "$1.copy" && sync "$1.copy"' sh "$BIG_FILE"
    discard "$BIG_FILE.copy"
  done
  BIG_MATCHES=$(field "$BIG" matches)
  BIG_LARGEST=$(field "$BIG" largest)
  DENSE_S=$(med "$WORK/dense.txt" 1)
  NONE_S=$(med "$WORK/none.txt" 1)
  BIG_RSS=$(maxcol "$WORK/dense.txt" 2)
  DENSE_RATIO=$(paired "$WORK/dense.txt" "$WORK/none.txt")
  DENSECP_S=$(med "$WORK/densecp.txt" 1)
  DENSECP_RATIO=$(paired "$WORK/densecp.txt" "$WORK/none.txt")
  failures "$WORK/dense.txt" "$WORK/none.txt" "$WORK/densecp.txt"
fi
discard "$WORK/tree"
empty_trash

# The window: longest stall of its event loop while 100,000 lines stream in.
if want window; then
  log "window: 100,000 progress lines"
  for _ in $(seq "$RUNS"); do
    QT_QPA_PLATFORM=offscreen "$BUILD/bench/kvbench-window" 2>/dev/null |
      sed -n 's/.*longest_gap_ms=\([0-9]*\).*/\1/p'
  done >"$WORK/window.txt"
  WIN_GAP=$(median <"$WORK/window.txt")
fi

# ---------------------------------------------------------------------------
# Verdicts

MIB=1048576
mb() { awk -v b="$1" 'BEGIN {printf "%.1f", b / 1048576}'; }
# Peak memory may reach 1.5 times the largest file, plus 32 MiB.
mem_limit() { awk -v l="$1" 'BEGIN {printf "%d", 1.5 * l + 32 * 1048576}'; }
# mem_row WHAT RSS_KIB LARGEST_BYTES
mem_row() {
  local limit
  limit=$(mem_limit "$3")
  row "Peak resident size of kvmigrate-cli $1" "$(mb $(($2 * 1024))) MiB" \
    "<= 1.5 x largest file ($(mb "$3") MiB) + 32 MiB = $(mb "$limit") MiB" \
    "$(yes_no "$2 * 1024 <= $limit")"
}

# The rows of the targets table for what this run measured.
target_rows() {
  if want engine; then
    SED_RATIO=$(ratio "$ENGINE64" "$SED64")
    row "Engine in memory: ConvertDotNetFile on 64 MiB of C#-like text, one match per 2 KiB" \
      "$ENGINE64 MB/s" ">= 1000 MB/s on one core" "$(yes_no "$ENGINE64 >= 1000")"
    row "GNU sed -f with the 18 rows as s/old/new/gI, same text" \
      "$SED64 MB/s; engine is ${SED_RATIO}x faster" ">= 25x" "$(yes_no "$SED_RATIO >= 25")"
  fi
  if want tree; then
    row "Whole tree ($(mb "$TREE_TOTAL") MiB in $TREE_COUNT files, $TREE_MATCHES matches): kvmigrate-cli" \
      "$(fmt "$CLI_S") s" "" ""
    row "Same tree: cp -a of the whole tree, then sync" \
      "$(fmt "$CPA_S") s; kvmigrate-cli takes ${CPA_RATIO}x" "kvmigrate-cli <= 1.3x" \
      "$(yes_no "$CPA_RATIO <= 1.3")"
    row "Same tree: sed -i -f (writes without flushing to disk)" \
      "$(fmt "$SEDI_S") s; ${SEDI_RATIO}x the time of kvmigrate-cli" "kvmigrate-cli faster" \
      "$(yes_no "$SEDI_RATIO > 1")"
    row "Same tree: floor (read, write temporary file, fsync, rename, fsync folder)" \
      "$(fmt "$FLOOR_S") s; kvmigrate-cli takes ${FLOOR_RATIO}x" "kvmigrate-cli <= 1.5x" \
      "$(yes_no "$FLOOR_RATIO <= 1.5")"
    mem_row "on the tree" "$CLI_RSS" "$TREE_LARGEST"
    row "Scaling: half the tree, then the whole tree (kvmigrate-cli)" \
      "$(fmt "$HALF_S") s, $(fmt "$CLI_S") s: ${SCALE}x" "2x within 20% (1.6 to 2.4)" \
      "$(yes_no "$SCALE >= 1.6 && $SCALE <= 2.4")"
  fi
  if want mid; then
    row "Tree of $(mb "$MID_TOTAL") MiB in $MID_FILES files: kvmigrate-cli; cp -a of it, then sync" \
      "$(fmt "$MID_S") s; $(fmt "$MIDCP_S") s: kvmigrate-cli takes ${MID_RATIO}x" \
      "kvmigrate-cli <= 1.3x" "$(yes_no "$MID_RATIO <= 1.3")"
    row "Same tree: removal of the copy's files (8 processes), as a run removes the originals it replaced" \
      "$(fmt "$MIDRM_S") s; ${MIDRM_RATIO}x the time of cp -a and sync" "(for comparison)" ""
    mem_row "on that tree" "$MID_RSS" "$MID_LARGEST"
  fi
  if want small; then
    row "$SMALL_FILES small modules ($(mb "$SMALL_TOTAL") MiB) listed by one .vbp, each changed: kvmigrate-cli; cp -a, then sync" \
      "$(fmt "$SMALL_S") s; $(fmt "$SMALLCP_S") s: kvmigrate-cli takes ${SMALL_RATIO}x" \
      "kvmigrate-cli <= 1.5x" "$(yes_no "$SMALL_RATIO <= 1.5")"
    row "Same files: removal of the copy's files (8 processes), as a run removes the originals it replaced" \
      "$(fmt "$SMALLRM_S") s; ${SMALLRM_RATIO}x the time of cp -a and sync" "(for comparison)" ""
    mem_row "on the small files" "$SMALL_RSS" "$SMALL_LARGEST"
  fi
  if want one; then
    row "One 64 MiB source file in a one-project solution: kvmigrate-cli" \
      "$(fmt "$ONE_S") s" "" ""
    row "Same file: cp of the file, then fsync of the copy (sync FILE)" \
      "$(fmt "$ONECP_S") s; kvmigrate-cli takes ${ONECP_RATIO}x" "kvmigrate-cli <= 1.5x" \
      "$(yes_no "$ONECP_RATIO <= 1.5")"
    row "Same file: sed -i -f with the 18 rows" \
      "$(fmt "$ONESED_S") s; ${ONESED_RATIO}x the time of kvmigrate-cli" ">= 8x" \
      "$(yes_no "$ONESED_RATIO >= 8")"
    if [ -n "$SD_VERSION" ]; then
      row "Same file: sd $SD_LITERAL, one literal pass per row (18 runs; letter case kept, unlike the rows)" \
        "$(fmt "$ONESD_S") s; ${ONESD_RATIO}x the time of kvmigrate-cli" "(for comparison)" ""
    fi
    mem_row "on the 64 MiB file" "$ONE_RSS" "$ONE_LARGEST"
  fi
  if want dense; then
    row "One 100 MB file, end to end: $BIG_MATCHES matches against none" \
      "$(fmt "$DENSE_S") s against $(fmt "$NONE_S") s: ${DENSE_RATIO}x" "<= 3x" \
      "$(yes_no "$DENSE_RATIO <= 3")"
    row "Same file: cp of it, then fsync of the copy (the least a run with matches writes)" \
      "$(fmt "$DENSECP_S") s; ${DENSECP_RATIO}x the run with none" "(for comparison)" ""
    mem_row "on the 100 MB file" "$BIG_RSS" "$BIG_LARGEST"
  fi
  if want window; then
    row "Window: longest event-loop stall while 100,000 lines stream into List1" \
      "$WIN_GAP ms" "< 100 ms" "$(yes_no "$WIN_GAP < 100")"
  fi
  if want engine; then hostile_target_row; fi
  row "Runs that failed (non-zero exit status)" "$FAILED" "0" "$(yes_no "$FAILED == 0")"
}

LOAD_END=$(cut -d' ' -f1-3 /proc/loadavg)
CPU=$(awk -F: '/model name/ {gsub(/^ +/, "", $2); print $2; exit}' /proc/cpuinfo)
MEM=$(awk '/MemTotal/ {printf "%.0f GiB", $2 / 1048576}' /proc/meminfo)
FS_TYPE=$(findmnt -n -o FSTYPE --target "$WORK" 2>/dev/null || df -PT "$WORK" | awk 'NR == 2 {print $2}')
FS_DEVICE=$(findmnt -n -o SOURCE --target "$WORK" 2>/dev/null || echo unknown)
FS_TARGET=$(findmnt -n -o TARGET --target "$WORK" 2>/dev/null || echo unknown)
MOUNT_OPTS=$(findmnt -n -o OPTIONS --target "$WORK" 2>/dev/null || echo unknown)
MACHINE="$CPU, $(nproc) cores, $MEM memory, Linux $(uname -r)"
FS_LINE="$WORK: $FS_TYPE on $FS_DEVICE (mounted at $FS_TARGET with $MOUNT_OPTS)"

if [ -n "$ONLY" ]; then
  # Only some rows: printed, the page left as it is.
  echo
  echo "KV_BENCH_ONLY=\"$ONLY\" $COMMAND: $RUNS runs, load $LOAD_START / $LOAD_END"
  echo "Machine: $MACHINE"
  echo "Scratch files: $FS_LINE"
  echo
  echo "| Measure | Figure | Target | Met |"
  echo "|---|---|---|---|"
  target_rows
  exit 0
fi

MEM_DENSE_RATIO=$(ratio "$(engine_ms 'BM_ConvertDotNetFile100MB/matchEvery:100')" \
  "$(engine_ms 'BM_ConvertDotNetFile100MB/matchEvery:0')")
ROWS_MBS=$(engine_mbs BM_RowByRow4MiB/iterations:1)

# ---------------------------------------------------------------------------
# Plot

PLOT_NOTE="![Throughput against file size](performance.png)"
if command -v gnuplot >/dev/null; then
  gnuplot <<EOF
set terminal png size 900,540
set output "$PLOT"
set title "Throughput against file size (C#-like text, one match per 2 KiB)"
set logscale xy
set xlabel "file size (bytes)"
set ylabel "MB/s"
set grid
set key bottom right box opaque
set yrange [0.1:50000]
set xtics ("4 KiB" 4096, "64 KiB" 65536, "1 MiB" 1048576, "16 MiB" 16777216, "64 MiB" 67108864)
plot "$WORK/plot.dat" using 1:2 with linespoints lw 2 pt 7 title "engine (ConvertDotNetFile, in memory)", \
     "$WORK/plot.dat" using 1:3 with linespoints lw 2 pt 5 title "GNU sed -f, 18 s///gI (one process per file)"
EOF
else
  PLOT_NOTE="(gnuplot was not installed on the machine of this run: no plot.)"
fi

# ---------------------------------------------------------------------------
# Report

COMPILER=$(awk -F= '/^CMAKE_CXX_COMPILER:/ {print $2}' "$BUILD/CMakeCache.txt")
COMPILER_VERSION=$("$COMPILER" --version | head -1)
SED_VERSION=$(sed --version | head -1)

ELAPSED=$(($(date +%s) - START))
engine_row() {
  local name=$1 what=$2
  printf '| %s | %s ms | %s MB/s |\n' "$what" "$(fmt "$(engine_ms "$name")" 3)" "$(engine_mbs "$name")"
}

{
  cat <<EOF
# Performance

The last run of \`$COMMAND\` (from the top of the repository). It builds the
benchmark targets, generates every input (deterministic, seeded), measures,
and rewrites this page and \`performance.png\`. Each figure is the median of
$RUNS runs. In the end-to-end runs the tools take turns within each run,
each on a freshly made input (whole tree: kvmigrate-cli, cp -a and sync,
floor, sed; then half the tree; the 250 MiB tree: cp -a and sync,
kvmigrate-cli, removal of the copy; the small files: the same; one 64 MiB file: kvmigrate-cli, cp and fsync, sed -i,
sd; one 100 MB file: kvmigrate-cli with matches, with none, cp and fsync),
and each ratio is the median of
the ratios within a run. Every kvmigrate-cli run is a whole transaction: its
staged files made durable, the journal written and flushed, the renames, the
folders flushed. Throughput is in MB/s of input (10^6 bytes per
second).

- Date: $(date -u '+%Y-%m-%d %H:%M UTC'); whole run: $((ELAPSED / 60)) min $((ELAPSED % 60)) s
- Machine: $MACHINE
- Scratch files: $FS_LINE
- Compiler: $COMPILER_VERSION, Release (-O2); $SED_VERSION, with LC_ALL=C; ${SD_VERSION:-sd not installed}
- Load average at start and end: $LOAD_START / $LOAD_END. The machine may be
  shared: other work running at the same time makes single figures noisy,
  which is why medians are reported and why ratios between tools measured
  in the same run matter more than absolute times.

## Targets

| Measure | Figure | Target | Met |
|---|---|---|---|
EOF
  target_rows
  cat <<EOF

The same 100 MB comparison in memory (the engine alone, no file access):
$(fmt "$(engine_ms 'BM_ConvertDotNetFile100MB/matchEvery:100')" 1) ms with $BIG_MATCHES matches against
$(fmt "$(engine_ms 'BM_ConvertDotNetFile100MB/matchEvery:0')" 1) ms with none (${MEM_DENSE_RATIO}x): with no
match the scan runs at memory speed, while each match costs a rewrite in place
and a visit of the version stage. For comparison, applying the 18 rows one
full pass after the other (the approach the single scan replaces) runs at
$ROWS_MBS MB/s on the same kind of text.

The rule scan alone (\`BM_RuleMatcher64MiB\`, GUID and name rows, on the
64 MiB text) by scan tier: $(fmt "$(engine_ms 'BM_RuleMatcher64MiB/tier:0')" 1) ms byte by byte,
$(fmt "$(engine_ms 'BM_RuleMatcher64MiB/tier:1')" 1) ms with SSE2, $(fmt "$(engine_ms 'BM_RuleMatcher64MiB/tier:2')" 1) ms with AVX2. The AVX2 tier
tests three bytes per position and lets few positions through that match no
row; the SSE2 tier tests two, which the "re" of \`return\` and the ".T" of
\`.Text\` pass. The AVX2 tier is kept for as long as it is clearly the faster.

## Throughput against file size

$PLOT_NOTE

| File size | Engine (MB/s) | GNU sed (MB/s) | Ratio |
|---|---|---|---|
EOF
  while read -r size eng sedr; do
    printf '| %s | %s | %s | %sx |\n' "$size" "$eng" "$sedr" "$(ratio "$eng" "$sedr")"
  done <"$WORK/plot.dat"
  cat <<EOF

sed runs as one process per file, as a user's script would; on small files
its start-up dominates.

## Engine benchmarks (in memory)

From \`kvbench-engine\` (Google Benchmark), medians of $RUNS repetitions; the
time covers the engine call only.

| Benchmark | Time | Throughput |
|---|---|---|
EOF
  engine_row "BM_ConvertDotNetFile/4096" "ConvertDotNetFile, 4 KiB"
  engine_row "BM_ConvertDotNetFile/65536" "ConvertDotNetFile, 64 KiB"
  engine_row "BM_ConvertDotNetFile/1048576" "ConvertDotNetFile, 1 MiB"
  engine_row "BM_ConvertDotNetFile/16777216" "ConvertDotNetFile, 16 MiB"
  engine_row "BM_ConvertDotNetFile/67108864" "ConvertDotNetFile, 64 MiB"
  engine_row "BM_ConvertDotNetFile100MB/matchEvery:0" "ConvertDotNetFile, 100 MB, no match"
  engine_row "BM_ConvertDotNetFile100MB/matchEvery:100" "ConvertDotNetFile, 100 MB, one match per 100 bytes"
  engine_row "BM_RowByRow4MiB/iterations:1" "18 rows one pass each (for comparison), 4 MiB"
  engine_row "BM_RuleMatcher64MiB/tier:0" "Rule scan alone, byte by byte, 64 MiB"
  engine_row "BM_RuleMatcher64MiB/tier:1" "Rule scan alone, SSE2, 64 MiB"
  engine_row "BM_RuleMatcher64MiB/tier:2" "Rule scan alone, AVX2, 64 MiB"
  engine_row "BM_Vb6ReplaceReferences" "VB6 references, 16 MiB form"
  engine_row "BM_Vb6ApplyTextRules" "VB6 text rules, 16 MiB form"
  engine_row "BM_ListMemberFiles" "ListMemberFiles, project listing 20,000 files"
  engine_row "BM_GetSolutionEntries" "GetSolutionEntries, 2,000 projects"
  engine_row "BM_NormalizeSpaces" "NormalizeSpaces, 16 MiB"
  engine_row "BM_SplitToArray" "SplitToArray at \",\", 16 MiB"
  echo
  hostile_section
  cat <<EOF
## How it is measured

- Inputs come from \`kvbench-gen\`: C#-like source (classes, methods,
  statements, comments, generics and lambdas) with one line holding a rule
  match every 2 KiB, in varying letter case; noise that never matches but
  holds the near misses real code has ("return", ".Text", ".Active...").
  The tree is \`Bench.sln\` with $PROJECTS Visual Studio .NET 2003 C# projects,
  each listing its sources (.cs, one .resx in eight, and an .ico that is not
  migrated) and referencing the three old libraries, file sizes between a
  fifth and twice the mean.
- Every end-to-end run starts from a freshly generated tree, flushed to disk
  with \`sync\` before the clock starts; the page cache is warm. Times and
  peak resident sizes come from \`kvbench-time\` (wall clock, \`wait4\`).
- kvmigrate-cli runs with \`--quiet\`: no progress lines, no summary,
  and so no search of the folders for leftovers (a run that shows its
  summary reads every file of the tree once more for it). sed runs as
  \`xargs -a Bench.files sed -i -f rules.sed\` over the same files (the
  projects and their listed sources), one \`s/old/new/gI\` per row.
  \`kvbench-floor\` reads and rewrites each file on its own, durably: whole
  file read, temporary file beside it, fsync, rename, fsync of the folder.
- A kvmigrate-cli run is one transaction: changed files are staged beside
  their originals (after every 64 MiB staged, a second thread flushes the
  file system while the run goes on), and at the end made durable together
  (one \`syncfs\` for many files, an fsync each for up to 64), recorded in a
  flushed journal, swapped in, their folders made durable (one flush of the
  file system for many folders), and the old bytes removed (several
  removals at a time).
  \`cp -a\` followed by \`sync\` writes the same amount of data durably
  but frees nothing; on a file system mounted with online discard, each
  freed file costs the disk a discard, which only kvmigrate-cli, sed -i and
  the floor pay.
- The file system matters. ext4 without a journal, before it takes a free
  inode for a new file, skips each one freed in the last 60 s (six minutes
  while its record is not yet written back), reading its record: right
  after a tree was removed, each file created in the groups of its folders
  walks thousands of them, which a user's run over a project
  that has been there a while never meets. Inputs done with are therefore
  moved aside and removed only at the end, and each timed command waits
  until the last removal of many files by a timed command is $SETTLE s old
  (\`KV_BENCH_SETTLE\`).
  With online discard (\`discard\` among the mount options), each freed file
  costs the disk a discard, and without a journal the removal waits for
  it: kvmigrate-cli removes the old bytes of every file it replaced (several
  removals at a time), which \`cp -a\` never has to. The rows "removal of
  the copy's files" time that part alone: the copy \`cp -a\` made before
  the run, removed after it by 8 processes at once.
- A record not yet written back is one in a block of inode records that
  was written since the last flush: making a file dirties the block of its
  record, so in a folder where many files were removed in the last six
  minutes, the new files of a run walk those removed in the same blocks
  again, however long the wait before the run. That is why the inputs
  are only removed at the end.
- Memory matters too. The benchmark machine is a virtual machine that
  reports free memory back to its host in blocks of 2 MiB; touching such a
  block again costs the host a fault, several times the cost of zeroing
  it. Huge pages and large page-cache blocks are taken from exactly these
  blocks: a 64 MiB file written in calls of 4 MiB, or read into a buffer
  advised to use huge pages, ran two to five times slower at random.
  kvmigrate-cli touches as little fresh memory as it can: a .NET source
  file of 1 MiB or more is mapped read-only (its pages are already in the
  page cache), the rule replacements are planned on the mapping, and the
  migrated text is written from the mapping and the replacements, the
  short pieces gathered in one reused 256 KiB buffer, in calls of at most
  256 KiB; it is never built in memory of its own. (A text whose migration
  may hold a version key, and project files, are still migrated in a
  string.) Over a large file it also has the disk start writing each 4 MiB
  as soon as it is staged, leaving less for the flush at the commit.
- sed -i neither flushes its output to disk nor makes the rename durable.
- For the single 64 MiB file, \`cp\` then \`sync FILE\` (an fsync of the
  copy) is the floor of any durable rewrite; sed -i runs the 18 rows over it.
  sd runs once per row, \`sd $SD_LITERAL OLD NEW FILE\` (a literal pass, as a user
  would script it); it keeps letter case, so it replaces fewer occurrences
  than the rows do, and like sed -i it does not flush what it writes.
- The small-files row is one \`.vbp\` listing $SMALL_FILES modules of about
  2 KiB, each holding a reference to rewrite; \`cp -a\` and \`sync\` copy the
  same tree just before.
- To repeat a run: \`scripts/install-deps.sh\`, then \`$COMMAND\` from the
  top of the repository; \`KV_BENCH_ONLY="one small"\` runs only the rows
  named (engine, tree, mid, small, one, dense, window) and prints them
  instead of rewriting this page; \`KV_BENCH_WORK\` puts the scratch files
  on another file system (a loop-mounted image, say).
EOF
} >"$DOC"

log "done in ${ELAPSED}s: $DOC"
if [ -f "$PLOT" ]; then log "plot: $PLOT"; fi
