#!/usr/bin/env bash
# The search benchmark: a private Dovecot with 200 folders x 500 messages (5 000 hits for
# "needle" in the subject and "haystack" in the body), searched with one and with four
# connections, directly and through a proxy adding 10 ms each way.
#
#   scripts/bench-searchrun.sh [--delay-ms N]
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=$root/build-bench
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" --target bench_searchrun >/dev/null
dir=$build/bench-dovecot
trap 'bash "$root/scripts/dovecot-fixture.sh" stop "$dir" >/dev/null 2>&1 || true' EXIT
FQ_FIXTURE_MAILBOX_CMD="python3 $root/scripts/gen-bench-mailbox.py" \
    bash "$root/scripts/dovecot-fixture.sh" start "$dir" maildir
# Let Dovecot build its indexes once, so that both measured runs see the same server.
"$build/bench/bench_searchrun" --server "127.0.0.1:$(cat "$dir/port")" --delay-ms 0 >/dev/null
"$build/bench/bench_searchrun" --server "127.0.0.1:$(cat "$dir/port")" "$@"
