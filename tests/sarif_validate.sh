#!/bin/sh
# The logs that --sarif writes, validated by the SARIF Multitool (npm) and by
# the SARIF 2.1.0 schema it ships: one for each example project and one for a
# project whose leftovers lie outside its folder and under names that need
# escaping. Skipped (exit 77) when the Multitool cannot be installed.
# Usage: sarif_validate.sh CLI SOURCE WORK
set -eu
cli=$1 source=$2 work=$3
if ! sh "$source/scripts/install-sarif-multitool.sh" "$work/tool"; then
  echo "SKIP: the SARIF Multitool could not be installed with npm; no log was validated"
  exit 77
fi
tool="$work/tool/node_modules/.bin/sarif-multitool"
schema="$work/tool/node_modules/@microsoft/sarif-multitool-linux/sarif-2.1.0.json"
runs="$work/runs"
rm -rf "$runs"
mkdir -p "$runs/t/p" "$runs/t/shared"
cp -R "$source/examples" "$runs/examples"
printf 'Module=M; ..\\shared\\M.bas\r\n' >"$runs/t/p/P.vbp"
printf 'x.PenColor = 1\r\n' >"$runs/t/shared/M.bas"
printf 'Dim a As RUVivEvu.Layer\r\n' >"$runs/t/shared/N.bas"
printf 'x = "\351" & RUVivEvu.Layer\r\n' >"$runs/t/p/Caf\351 #1%%.bas"
status=0
n=0
for project in $(cd "$runs" && find examples t -type f \( -name '*.vbp' -o -name '*.vbg' -o -name '*.sln' \) | sort); do
  n=$((n + 1))
  log="$runs/$n.sarif"
  "$cli" --dry-run --quiet --sarif "$log" "$runs/$project" || true  # leftovers: exit status 1
  if [ ! -s "$log" ]; then
    echo "FAIL: $project: no log written"
    status=1
    continue
  fi
  python3 "$source/tests/validate_json.py" "$schema" "$log" ||
    { echo "FAIL: $project: not valid against the SARIF schema"; status=1; }
  "$tool" validate "$log" -o "$log.check" --log ForceOverwrite --quiet >/dev/null 2>&1 ||
    { echo "FAIL: $project: the Multitool did not run"; status=1; continue; }
  python3 - "$log.check" "$project" <<'PY' || status=1
import json, sys
results = json.load(open(sys.argv[1], encoding="utf-8"))["runs"][0].get("results", [])
errors = [r for r in results if r.get("level") == "error"]
for r in errors:
    print("FAIL:", sys.argv[2], r["ruleId"], r["message"].get("arguments"))
if errors:
    sys.exit(1)
print("ok:", sys.argv[2])
PY
done
exit $status
