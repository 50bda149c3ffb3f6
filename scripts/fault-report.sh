#!/usr/bin/env bash
# The fault matrix as a table: every case of tst_faults (the scripted server closing, stalling
# or sending garbage at each step of a search and a Browse, a BYE, notices, oversized lines,
# literals and responses, including the runs with the reader's default limits that stream
# hundreds of megabytes) and of tst_e2e_faults (Dovecot's process for the connection frozen or
# killed at a step), with the status the window showed and the milliseconds from the fault to
# that status.
#
#   scripts/fault-report.sh            table in Markdown on stdout
#
# Builds into build-faults/ (FQ_BUILD_DIR overrides); a private Dovecot runs in
# BUILD/report-dovecot while the Dovecot cases run. Exits non-zero when a case failed (the
# table still shows what was seen).
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${FQ_BUILD_DIR:-$root/build-faults}
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" --target tst_faults tst_e2e_faults >/dev/null
dir=$build/report-dovecot
table=$(mktemp)
log=$(mktemp)
trap 'bash "$root/scripts/dovecot-fixture.sh" stop "$dir" >/dev/null 2>&1 || true; rm -f "$table" "$log"' EXIT
bash "$root/scripts/dovecot-fixture.sh" start "$dir" maildir >/dev/null

export QT_QPA_PLATFORM=offscreen TZ=UTC LC_ALL=C.UTF-8 FQ_FAULT_REPORT=$table
failed=0
FQ_FAULT_HEAVY=1 "$build/tests/tst_faults" >"$log" 2>&1 || failed=1
FQ_DOVECOT_MAILDIR=$dir "$build/tests/tst_e2e_faults" >>"$log" 2>&1 || failed=1

echo "| flow | step | fault | status shown | time to recover (ms) |"
echo "|---|---|---|---|---|"
awk -F'\t' '{ status = $4; if (status == "") status = "(empty: Browse ended normally)";
              gsub(/\|/, "\\|", status);
              printf "| %s | %s | %s | %s | %s |\n", $1, $2, $3, status, $5 }' "$table"
echo
grep -E '^Totals:' "$log" | sed 's/^/tests: /'
if ((failed)); then
    grep -E '^(FAIL!|   Actual|   Expected|   Loc)' "$log" >&2 || true
    exit 1
fi
