#!/usr/bin/env bash
# The soak: 500 consecutive searches in one window (offscreen) against a private Dovecot with
# the sample mailbox. Prints resident memory and open descriptors after the 50th and the last
# search; exits non-zero when memory grew by more than 10% in between, a descriptor was left
# open, or a search did not complete with the same result as the first.
#
#   bench/soak.sh [bench_soak_searches options, e.g. --count 1000 --subject report]
#
# Builds into build-faults/ (FQ_BUILD_DIR overrides); the server runs in BUILD/soak-dovecot
# and is stopped on exit.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${FQ_BUILD_DIR:-$root/build-faults}
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" --target bench_soak_searches >/dev/null
dir=$build/soak-dovecot
trap 'bash "$root/scripts/dovecot-fixture.sh" stop "$dir" >/dev/null 2>&1 || true' EXIT
bash "$root/scripts/dovecot-fixture.sh" start "$dir" maildir >/dev/null
QT_QPA_PLATFORM=offscreen "$build/bench/bench_soak_searches" \
    --server "127.0.0.1:$(cat "$dir/port")" "$@"
