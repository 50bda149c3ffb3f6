#!/usr/bin/env bash
# Build Fernquill and run it against a private Dovecot holding a sample mailbox.
#
#   scripts/demo.sh [--no-setup] [--no-build] [--build-dir DIR]
#
# Steps: scripts/setup.sh (packages), configure and build in <repo>/build (RelWithDebInfo,
# Ninja), start the fixture server (Maildir++ layout) in a private temporary directory,
# prefill the program's settings with that server and the demo/demo login, run the program.
# When the program exits, or on Ctrl+C, the server is stopped and the temporary directory,
# settings included, is removed. The user's own settings are never read or touched.
#
# Needs a display. Without one: xvfb-run -a scripts/demo.sh
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD=build
RUN_SETUP=1
RUN_BUILD=1

say() { echo "demo: $*"; }
die() {
    echo "demo: $*" >&2
    exit 1
}

while [[ $# -gt 0 ]]; do
    case $1 in
    --no-setup) RUN_SETUP=0 ;;
    --no-build) RUN_BUILD=0 ;;
    --build-dir)
        [[ -n ${2:-} ]] || die "--build-dir needs a directory"
        BUILD=$2
        shift
        ;;
    -h | --help)
        sed -n '2,12p' "${BASH_SOURCE[0]}" | sed 's/^# \{0,1\}//'
        exit 0
        ;;
    *) die "unknown option $1 (try --help)" ;;
    esac
    shift
done
[[ $BUILD == /* ]] || BUILD=$ROOT/$BUILD

if [[ -z ${DISPLAY:-} && -z ${WAYLAND_DISPLAY:-} && -z ${QT_QPA_PLATFORM:-} ]]; then
    die "no display (neither DISPLAY nor WAYLAND_DISPLAY is set); run it as: xvfb-run -a scripts/demo.sh"
fi

if ((RUN_SETUP)); then
    "$ROOT/scripts/setup.sh"
fi

BIN=$BUILD/src/fernquill
if ((RUN_BUILD)); then
    say "configuring $BUILD"
    (cd "$ROOT" && cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null) ||
        die "cmake configure failed"
    say "building fernquill"
    cmake --build "$BUILD" --target fernquill || die "build failed"
fi
[[ -x $BIN ]] || die "$BIN not found; build it first (drop --no-build)"

TMP=""
APP_PID=""
# shellcheck disable=SC2317  # called from the traps below
cleanup() {
    trap - EXIT INT TERM
    if [[ -n $APP_PID ]] && kill -0 "$APP_PID" 2>/dev/null; then
        kill -TERM "$APP_PID" 2>/dev/null || true
        wait "$APP_PID" 2>/dev/null || true
    fi
    if [[ -n $TMP && -d $TMP ]]; then
        bash "$ROOT/scripts/dovecot-fixture.sh" stop "$TMP/dovecot" || true
        rm -rf "$TMP"
        say "server stopped, $TMP removed"
    fi
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

TMP=$(mktemp -d "${TMPDIR:-/tmp}/fernquill-demo.XXXXXX")
# Searchable but not listable: the server's mail user has to reach $TMP/dovecot.
chmod 711 "$TMP"
bash "$ROOT/scripts/dovecot-fixture.sh" start "$TMP/dovecot" maildir
PORT=$(<"$TMP/dovecot/port")

# Private settings: the program finds the server and login prefilled. The password is in
# clear, so the directory and file are the owner's only. Qt names the file Fernquill.conf
# (native format) or Fernquill.ini (INI format); both are written so either store finds it.
CONFIG=$TMP/config
mkdir -m 700 "$CONFIG" "$CONFIG/Fernquill"
for name in Fernquill.conf Fernquill.ini; do
    (
        umask 077
        printf '[LastUse]\nServer=127.0.0.1:%s\nLogin=demo\npw=demo\n' "$PORT" >"$CONFIG/Fernquill/$name"
    )
    chmod 600 "$CONFIG/Fernquill/$name"
done

say "server 127.0.0.1:$PORT, login demo / demo; try searching for \"report\" or \"zanzibar\""
# The program runs as a background job that the script waits for, so that an interrupt or
# termination of the script reaches the traps at once; cleanup then ends the program too.
status=0
XDG_CONFIG_HOME=$CONFIG "$BIN" &
APP_PID=$!
wait "$APP_PID" || status=$?
APP_PID=""
say "fernquill exited with status $status"
exit "$status"
