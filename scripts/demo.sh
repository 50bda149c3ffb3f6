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
# The demo connects with implicit TLS (imaps://127.0.0.1:PORT). The server's certificate comes
# from a CA made for this run, and the program trusts only the system's CA store, checked as
# always. So the program runs in a private mount namespace where /etc/ssl/certs is a copy of the
# system's store plus the demo CA: only this one process sees it, the system store is never
# changed, and it is gone when the program exits. (Qt 6.4 looks up CAs in fixed directories such
# as /etc/ssl/certs and does not read OpenSSL's SSL_CERT_FILE or SSL_CERT_DIR, so an
# environment variable cannot do this.) As root this uses "unshare --mount"; otherwise a user
# namespace as well ("unshare --map-root-user --mount": root inside it only, with no more rights
# outside than the user). Where neither is allowed, the demo says so and uses the plain port as
# imap+plain://127.0.0.1:PORT: the server is on this machine, so the program sends the password
# without asking, and does not meet the demo certificate (which it would have to be told to trust)
# through STARTTLS.
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
bash "$ROOT/scripts/dovecot-fixture.sh" start "$TMP/dovecot" maildir --tls
PORT=$(<"$TMP/dovecot/port")
IMAPS_PORT=$(<"$TMP/dovecot/imaps-port")

# The private trust store: the system's CAs (links and all) plus the demo CA under its hash
# name, which is how OpenSSL finds a CA in a directory.
STORE=$TMP/certs
SYSTEM_STORE=/etc/ssl/certs
mkdir -p "$STORE"
if [[ -d $SYSTEM_STORE ]]; then
    cp -a "$SYSTEM_STORE/." "$STORE/"
fi
cp "$TMP/dovecot/ca.pem" "$STORE/fernquill-demo-ca.pem"
HASH=$(openssl x509 -hash -noout -in "$TMP/dovecot/ca.pem")
n=0
while [[ -e $STORE/$HASH.$n || -L $STORE/$HASH.$n ]]; do n=$((n + 1)); done
ln -s fernquill-demo-ca.pem "$STORE/$HASH.$n"
if [[ $(id -u) -eq 0 ]]; then
    NAMESPACE=(unshare --mount --propagation private)
else
    NAMESPACE=(unshare --map-root-user --mount --propagation private)
fi
# shellcheck disable=SC2016  # $1 and $2 belong to the inner shell
BIND_STORE='mount --bind "$1" /etc/ssl/certs && shift && exec "$@"'
if [[ -d $SYSTEM_STORE ]] && "${NAMESPACE[@]}" sh -c "$BIND_STORE" sh "$STORE" true 2>/dev/null; then
    SERVER="imaps://127.0.0.1:$IMAPS_PORT"
    LAUNCH=("${NAMESPACE[@]}" sh -c "$BIND_STORE" sh "$STORE")
else
    say "cannot give the program a private trust store here (no mount namespace); using the plain port"
    SERVER="imap+plain://127.0.0.1:$PORT"
    LAUNCH=()
fi

# Private settings: the program finds the server and login prefilled. The password is in
# clear, so the directory and file are the owner's only. Qt names the file Fernquill.conf
# (native format) or Fernquill.ini (INI format); both are written so either store finds it.
CONFIG=$TMP/config
mkdir -m 700 "$CONFIG" "$CONFIG/Fernquill"
for name in Fernquill.conf Fernquill.ini; do
    (
        umask 077
        printf '[LastUse]\nServer=%s\nLogin=demo\npw=demo\n' "$SERVER" >"$CONFIG/Fernquill/$name"
    )
    chmod 600 "$CONFIG/Fernquill/$name"
done

say "server $SERVER, login demo / demo; try searching for \"report\" or \"zanzibar\""
# The program runs as a background job that the script waits for, so that an interrupt or
# termination of the script reaches the traps at once; cleanup then ends the program too.
status=0
# No session bus: the demo password stays in the private settings file, out of your keyring.
DBUS_SESSION_BUS_ADDRESS=disabled: XDG_CONFIG_HOME=$CONFIG "${LAUNCH[@]}" "$BIN" &
APP_PID=$!
wait "$APP_PID" || status=$?
APP_PID=""
say "fernquill exited with status $status"
exit "$status"
