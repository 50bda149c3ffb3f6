#!/usr/bin/env bash
# The fault table as Markdown: every case of tst_faults' table (the scripted server closing,
# stalling, sending garbage, a nonsense status or a BYE at each step of a search and a Browse,
# and refusing a FETCH), with how the run ended and the milliseconds from its start to its end.
# The test runs with FQ_FAULT_HEAVY=1, so the oversized streams with the reader's default
# limits run too.
#
#   scripts/fault-report.sh            table in Markdown on stdout
#
# Builds into build-faults/ (FQ_BUILD_DIR overrides). Exits non-zero when a case failed (the
# table still shows what was seen).
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${FQ_BUILD_DIR:-$root/build-faults}
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" --target tst_faults >/dev/null
table=$(mktemp)
log=$(mktemp)
trap 'rm -f "$table" "$log"' EXIT

export QT_QPA_PLATFORM=offscreen TZ=UTC LC_ALL=C.UTF-8 FQ_FAULT_REPORT=$table
failed=0
FQ_FAULT_HEAVY=1 "$build/tests/tst_faults" >"$log" 2>&1 || failed=1

echo "| flow | step | fault | how it ended | ms from start to end |"
echo "|---|---|---|---|---|"
awk -F'\t' '{ outcome = $4; if (outcome == "") outcome = "(Browse ended normally)";
              gsub(/\|/, "\\|", outcome);
              printf "| %s | %s | %s | %s | %s |\n", $1, $2, $3, outcome, $5 }' "$table"
echo
grep -E '^Totals:' "$log" | sed 's/^/tests: /'
if ((failed)); then
    grep -E '^(FAIL!|   Actual|   Expected|   Loc)' "$log" >&2 || true
    exit 1
fi
