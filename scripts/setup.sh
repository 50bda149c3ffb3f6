#!/usr/bin/env bash
# Install what building, testing and running the demo need on Debian 12. Run as root; safe to
# run again. When every package is already installed apt is not touched at all, so repeated
# runs are fast and work offline (then root is not needed either).
#
# The dovecot packages would start a system-wide IMAP server on ports 143/993 of every
# interface. Tests and the demo start their own private instance (scripts/dovecot-fixture.sh),
# so service starts are blocked during the install and the system service is disabled after.
set -euo pipefail

PACKAGES=(
    # build
    cmake ninja-build g++ qt6-base-dev libgl-dev pkg-config
    # reading messages (MIME structure, transfer encodings, charsets)
    libgmime-3.0-dev
    # fuzzing (libFuzzer with AddressSanitizer and UndefinedBehaviorSanitizer)
    clang libclang-rt-14-dev
    # the system's certificate authorities, for encrypted connections
    ca-certificates
    # the system keyring for passwords: QtKeychain, and libsecret, which it loads at run time
    qtkeychain-qt6-dev libsecret-1-0
    # a private GNOME Keyring in a private D-Bus session for the password tests
    # (scripts/with-test-keyring.sh; gdbus waits for it, secret-tool reads it back)
    gnome-keyring dbus-daemon libglib2.0-bin libsecret-tools
    # the xcb platform plugin, for running the program under X or xvfb
    qt6-qpa-plugins
    # private IMAP server for end-to-end tests and the demo
    dovecot-imapd python3 openssl
    # headless display and fonts for the demo, GUI tests and screenshots
    xvfb xauth fonts-dejavu-core
    # Debian package (dpkg-shlibdeps) and checks of the desktop file and AppStream metainfo
    dpkg-dev desktop-file-utils appstream
)

say() { echo "setup: $*"; }

missing=()
for pkg in "${PACKAGES[@]}"; do
    status=$(dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null || true)
    [[ $status == "install ok installed" ]] || missing+=("$pkg")
done

created_policy=0
remove_policy() {
    if ((created_policy)); then
        rm -f /usr/sbin/policy-rc.d
        created_policy=0
    fi
}
trap remove_policy EXIT

if ((${#missing[@]} == 0)); then
    say "all ${#PACKAGES[@]} packages already installed"
else
    if [[ $(id -u) -ne 0 ]]; then
        say "missing packages: ${missing[*]}" >&2
        say "run this script as root (sudo $0) to install them" >&2
        exit 1
    fi
    if [[ ! -e /usr/sbin/policy-rc.d ]]; then
        # Exit status 101 tells invoke-rc.d not to start services during the install.
        printf '#!/bin/sh\nexit 101\n' >/usr/sbin/policy-rc.d
        chmod 755 /usr/sbin/policy-rc.d
        created_policy=1
    fi
    export DEBIAN_FRONTEND=noninteractive
    say "apt-get update"
    apt-get update -qq
    say "installing: ${missing[*]}"
    apt-get install -y -qq --no-install-recommends "${missing[@]}"
    remove_policy
fi

# Keep the system-wide Dovecot off; the private instances do not need it.
if [[ $(id -u) -eq 0 ]]; then
    if [[ -d /run/systemd/system ]] && command -v systemctl >/dev/null; then
        if systemctl is-enabled --quiet dovecot 2>/dev/null || systemctl is-active --quiet dovecot 2>/dev/null; then
            say "disabling the system dovecot service"
            systemctl disable --now dovecot >/dev/null 2>&1 || true
        fi
    else
        # No systemd: keep the init script from starting it at boot, stop it if it runs.
        if [[ -x /etc/init.d/dovecot ]] && command -v update-rc.d >/dev/null; then
            update-rc.d dovecot disable >/dev/null 2>&1 || true
        fi
    fi
    if [[ -f /run/dovecot/master.pid ]] && kill -0 "$(cat /run/dovecot/master.pid)" 2>/dev/null; then
        say "stopping the system dovecot service"
        if command -v service >/dev/null; then
            service dovecot stop >/dev/null 2>&1 || true
        fi
        if kill -0 "$(cat /run/dovecot/master.pid 2>/dev/null)" 2>/dev/null; then
            dovecot -c /etc/dovecot/dovecot.conf stop >/dev/null 2>&1 || true
        fi
    fi
fi
say "done"
