#!/usr/bin/env bash
# Runs a command with a keyring of its own: a private D-Bus session bus with a GNOME Keyring
# daemon whose "login" collection is created and unlocked, all in a temporary folder that goes
# away afterwards. The command sees FQ_TEST_KEYRING=1 and FQ_TEST_KEYRING_PASSWORD; with no
# display, a keyring prompt fails at once. Exit status is the command's.
#   scripts/with-test-keyring.sh COMMAND [ARG...]
set -euo pipefail

if [[ $# -eq 0 ]]; then
    echo "usage: $0 COMMAND [ARG...]" >&2
    exit 2
fi

if [[ -z ${FQ_TEST_KEYRING_DIR:-} ]]; then
    dir=$(mktemp -d "${TMPDIR:-/tmp}/fq-keyring.XXXXXX")
    trap 'rm -rf "$dir"' EXIT
    FQ_TEST_KEYRING_DIR=$dir dbus-run-session -- bash "$0" "$@"
    exit 0
fi

# Inside the private session bus.
dir=$FQ_TEST_KEYRING_DIR
unset DISPLAY WAYLAND_DISPLAY
export XDG_DATA_HOME=$dir/data XDG_RUNTIME_DIR=$dir/run XDG_CONFIG_HOME=$dir/config
mkdir -p "$XDG_DATA_HOME" "$XDG_CONFIG_HOME"
mkdir -m 700 "$XDG_RUNTIME_DIR"
export FQ_TEST_KEYRING_PASSWORD=fernquill-test

printf '%s' "$FQ_TEST_KEYRING_PASSWORD" |
    gnome-keyring-daemon --foreground --unlock --components=secrets >"$dir/daemon.log" 2>&1 &
daemon=$!
stop_daemon() {
    kill "$daemon" 2>/dev/null || true
    wait "$daemon" 2>/dev/null || true
}
trap stop_daemon EXIT

if ! gdbus wait --session --timeout 20 org.freedesktop.secrets; then
    echo "with-test-keyring: the keyring daemon did not come up" >&2
    cat "$dir/daemon.log" >&2
    exit 1
fi

export FQ_TEST_KEYRING=1
"$@" # under set -e its failure is the script's exit status
