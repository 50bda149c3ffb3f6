#!/usr/bin/env bash
# The search benchmark: two private Dovecot servers, one with 1 000 folders (INBOX and 999 more,
# 20 messages each, 300 hits for "needle" in the subject), one with 201 folders (INBOX and 200
# more, 500 messages each, 5 000 hits for "needle" in the subject and "haystack" in the body),
# searched with four connections with and without extensions, directly and through a proxy that
# adds a delay each way (50 ms for the large mailbox, 10 ms for the small one).
#
#   scripts/bench-searchrun.sh [bench_searchrun options]
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=$root/build-bench
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" --target bench_searchrun >/dev/null
large=$build/bench-dovecot-large
small=$build/bench-dovecot
trap 'for d in "$large" "$small"; do bash "$root/scripts/dovecot-fixture.sh" stop "$d" >/dev/null 2>&1 || true; done' EXIT
FQ_FIXTURE_MAILBOX_CMD="python3 $root/scripts/gen-bench-mailbox.py --folders 999 --messages 20 --hits 300" \
    bash "$root/scripts/dovecot-fixture.sh" start "$large" maildir
FQ_FIXTURE_MAILBOX_CMD="python3 $root/scripts/gen-bench-mailbox.py" \
    bash "$root/scripts/dovecot-fixture.sh" start "$small" maildir
args=(--server "127.0.0.1:$(cat "$large/port")" --small-server "127.0.0.1:$(cat "$small/port")")
# Let Dovecot build its indexes once, so that every measured run sees the same server.
"$build/bench/bench_searchrun" "${args[@]}" --delay-ms 0 --small-delay-ms 0 >/dev/null
"$build/bench/bench_searchrun" "${args[@]}" "$@"
