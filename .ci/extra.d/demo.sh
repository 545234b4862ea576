#!/usr/bin/env bash
# The README's main command: the demo installation must check its chains and
# print a main report that exists.
set -euo pipefail
cd "$(dirname "$0")/../.."
out=$(mktemp)
trap 'scripts/demo stop >/dev/null 2>&1 || true; rm -f "$out"' EXIT
scripts/demo | tee "$out"
report=$(sed -n 's/^  Main report: *//p' "$out")
[ -n "$report" ] && [ -s "$report" ] || { echo "demo: no main report" >&2; exit 1; }
grep -q "Absence du comptage depuis" "$report" || { echo "demo: the report holds no alarm" >&2; exit 1; }
echo "demo: main report $report"
