#!/usr/bin/env bash
# shellcheck disable=SC2016  # single-quoted bash -c bodies take their values as $1, $2...
# Tests for the fixture scripts themselves: the generator is repeatable and seed-dependent,
# both layouts come up and answer as their manifests say (check-fixture.py), a second start
# replaces a running server, and stop is harmless when repeated or when nothing ran.
#
#   scripts/test-fixture.sh [WORKDIR]
#
# WORKDIR (default: a new directory under /tmp) must be searchable by others when run as
# root. Servers started here are stopped on exit.
set -euo pipefail

HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
FIXTURE=$HERE/dovecot-fixture.sh
if [[ $# -ge 1 ]]; then
    WORK=$1
    mkdir -p "$WORK"
    OWN_WORK=0
else
    WORK=$(mktemp -d /tmp/fixture-test.XXXXXX)
    chmod 755 "$WORK"
    OWN_WORK=1
fi
failures=0

cleanup() {
    bash "$FIXTURE" stop "$WORK/maildir" || true
    bash "$FIXTURE" stop "$WORK/fs" || true
    if ((OWN_WORK)); then rm -rf "$WORK"; fi
}
trap cleanup EXIT

check() {
    local what=$1
    shift
    if "$@"; then
        echo "ok   $what"
    else
        echo "FAIL $what"
        failures=$((failures + 1))
    fi
}

tree_digest() {
    (cd "$1" && find . -type f -print0 | sort -z | xargs -0 sha256sum) | sha256sum | cut -d' ' -f1
}

# Generator: same seed, same bytes; another seed, other content; existing data is refused.
for layout in maildir fs; do
    g=$WORK/gen-$layout
    python3 "$HERE/gen-mailbox.py" "$g/a/mail" "$layout" --seed 7
    python3 "$HERE/gen-mailbox.py" "$g/b/mail" "$layout" --seed 7
    python3 "$HERE/gen-mailbox.py" "$g/c/mail" "$layout" --seed 8
    check "$layout: same seed gives identical files" \
        test "$(tree_digest "$g/a/mail")" == "$(tree_digest "$g/b/mail")"
    check "$layout: same seed gives identical manifest" cmp -s "$g/a/manifest.json" "$g/b/manifest.json"
    check "$layout: another seed gives other messages" \
        test "$(tree_digest "$g/a/mail")" != "$(tree_digest "$g/c/mail")"
    check "$layout: refuses a non-empty OUTDIR" \
        bash -c '! python3 "$1" "$2" "$3" 2>/dev/null' _ "$HERE/gen-mailbox.py" "$g/a/mail" "$layout"
done

# Both layouts, checked against their manifests by a live IMAP session.
for layout in maildir fs; do
    check "$layout: start" bash "$FIXTURE" start "$WORK/$layout" "$layout"
    check "$layout: server matches manifest" python3 "$HERE/check-fixture.py" "$WORK/$layout"
done

# A second start replaces the running server with a fresh one.
old_pid=$(<"$WORK/maildir/run/master.pid")
check "restart: start over a running server" bash "$FIXTURE" start "$WORK/maildir" maildir
new_pid=$(<"$WORK/maildir/run/master.pid")
check "restart: a new master runs" test "$old_pid" != "$new_pid"
check "restart: the old master is gone" bash -c '! [[ -d /proc/$1 ]] || grep -q "^[0-9]* (.*) Z" /proc/$1/stat' _ "$old_pid"
check "restart: fresh server matches manifest" python3 "$HERE/check-fixture.py" "$WORK/maildir"

# stop: removes the port file, can be repeated, and accepts a directory that never ran.
check "stop: stops" bash "$FIXTURE" stop "$WORK/maildir"
check "stop: port file removed" test ! -e "$WORK/maildir/port"
check "stop: nothing listens on the old port any more" \
    python3 -c 'import socket, sys
try:
    socket.create_connection(("127.0.0.1", int(sys.argv[1])), timeout=2).close()
except OSError:
    sys.exit(0)
sys.exit(1)' "$(grep -o 'port = [0-9]*' "$WORK/maildir/dovecot.conf" | head -1 | cut -d' ' -f3)"
check "stop: second stop is harmless" bash "$FIXTURE" stop "$WORK/maildir"
check "stop: never-started directory is harmless" bash "$FIXTURE" stop "$WORK/never-started"

# Unsafe directory names are refused before anything is written.
check "start: refuses a path with a colon" bash -c '! bash "$1" start "$2" maildir 2>/dev/null' _ "$FIXTURE" "$WORK/a:b"
check "start: refuses an unknown layout" bash -c '! bash "$1" start "$2" mbox 2>/dev/null' _ "$FIXTURE" "$WORK/x"

if ((failures)); then
    echo "$failures failed"
    exit 1
fi
echo "all passed"
