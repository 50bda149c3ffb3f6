#!/usr/bin/env bash
# Private Dovecot IMAP server for end-to-end tests and the demo.
#
#   dovecot-fixture.sh start DIR LAYOUT [--seed N] [--tls] [--max-connections N]
#   dovecot-fixture.sh stop DIR
#   dovecot-fixture.sh certs DIR
#
# start writes a standalone config to DIR/dovecot.conf (no system conf.d), generates a fresh
# sample mailbox with gen-mailbox.py into DIR/mail (manifest in DIR/manifest.json), starts
# Dovecot on 127.0.0.1 on a free unprivileged port, waits for the IMAP greeting and writes the
# port number to DIR/port. User "demo", password "demo". LAYOUT is "maildir" (Maildir++,
# delimiter ".") or "fs" (LAYOUT=fs, delimiter "/"); INBOX is DIR/mail itself in both.
# A server already running from DIR is stopped first, so every start begins from the same
# mailbox. stop is harmless when nothing runs. With FQ_FIXTURE_MAILBOX_CMD set, that command
# (given the mail directory) writes the mailbox instead, and there is no manifest.
#
# Everything lives under DIR: config, users file, base_dir (sockets, master.pid) in DIR/run,
# state in DIR/state, log in DIR/dovecot.log. Run as root, mail is accessed as nobody:nogroup
# (Dovecot refuses uid 0), so every directory above DIR must be searchable by others. Run as
# another user, every Dovecot process runs as that user.
#
# Transport: without --tls, ssl = no and a single plain IMAP listener. With --tls, a fresh test
# CA and certificates are made for this run (see certs) in DIR/tls, Dovecot gets ssl = yes with
# the certificate for "localhost" and 127.0.0.1, and a second listener speaks implicit TLS on
# its own free port, written to DIR/imaps-port; the CA certificate that clients must trust is
# copied to DIR/ca.pem. The plain port then offers STARTTLS and still accepts LOGIN in clear.
# The other certificates in DIR/tls are there for tests that need a bad one.
#
# certs DIR only writes the certificates (PEM, keys unencrypted) into DIR:
#   ca.pem ca.key                  a throw-away CA, new on every call
#   server.pem server.key          signed by it, for localhost and 127.0.0.1
#   otherhost.pem otherhost.key    signed by it, for other.invalid only
#   expired.pem expired.key        signed by it, for localhost and 127.0.0.1, expired in 2020
#   selfsigned.pem selfsigned.key  self-signed, for localhost and 127.0.0.1, not from the CA
set -euo pipefail

SCRIPT_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
START_TIMEOUT=20   # seconds to wait for the greeting
BIND_ATTEMPTS=5    # a port picked as free may be taken before Dovecot binds it
TLS=0              # set by --tls
MAX_CONNECTIONS=200 # per user and address; tests running in parallel all log in as demo

die() {
    echo "dovecot-fixture: $*" >&2
    exit 1
}

usage() {
    echo "usage: $0 start DIR maildir|fs [--seed N] [--tls] [--max-connections N]" >&2
    echo "       $0 stop DIR" >&2
    echo "       $0 certs DIR" >&2
    exit 2
}

# DIR ends up inside config values and mail_location, where ':' and quotes have meaning, so
# only plain path characters are accepted.
resolve_dir() {
    local d=$1
    [[ -n $d ]] || die "empty directory argument"
    [[ $d == /* ]] || d="$PWD/$d"
    d=$(realpath -m -- "$d")
    [[ $d =~ ^/[A-Za-z0-9._/+-]+$ ]] ||
        die "directory '$d' has characters Dovecot settings cannot carry (use [A-Za-z0-9._/+-])"
    [[ $d != / ]] || die "refusing to use / as the fixture directory"
    printf '%s\n' "$d"
}

# Master pid if a server started from DIR is alive, else nothing.
running_pid() {
    local dir=$1 pid
    [[ -f $dir/run/master.pid ]] || return 1
    pid=$(<"$dir/run/master.pid")
    [[ $pid =~ ^[0-9]+$ ]] || return 1
    kill -0 "$pid" 2>/dev/null || return 1
    # Make sure the pid still belongs to the master started with this config and not to a
    # recycled process, and count a master that has exited but is not yet reaped (state Z)
    # as stopped.
    [[ $(tr '\0' ' ' 2>/dev/null <"/proc/$pid/cmdline") == *" -c $dir/dovecot.conf "* ]] || return 1
    local stat
    stat=$(cat "/proc/$pid/stat" 2>/dev/null) || return 1
    stat=${stat##*) }
    [[ ${stat%% *} != Z ]] || return 1
    printf '%s\n' "$pid"
}

do_stop() {
    local dir=$1 pid i
    pid=$(running_pid "$dir") || { rm -f "$dir/port" "$dir/imaps-port"; return 0; }
    if [[ -f $dir/dovecot.conf ]]; then
        dovecot -c "$dir/dovecot.conf" stop >/dev/null 2>&1 || true
    fi
    for ((i = 0; i < 100; i++)); do
        running_pid "$dir" >/dev/null || break
        sleep 0.05
    done
    if running_pid "$dir" >/dev/null; then
        echo "dovecot-fixture: master $pid did not stop, sending SIGTERM" >&2
        kill -TERM "$pid" 2>/dev/null || true
        for ((i = 0; i < 60; i++)); do
            running_pid "$dir" >/dev/null || break
            sleep 0.05
        done
        if running_pid "$dir" >/dev/null; then
            kill -KILL "$pid" 2>/dev/null || true
        fi
    fi
    rm -f "$dir/port" "$dir/imaps-port"
}

free_port() {
    python3 -c 'import socket
s = socket.socket()
s.bind(("127.0.0.1", 0))
print(s.getsockname()[1])
s.close()'
}

# Succeeds once an IMAP greeting ("* OK", "* PREAUTH") can be read from the port; fails
# early when the master named by the pid file has gone. With a CA file as fourth argument the
# port speaks TLS, and its certificate must be valid for localhost under that CA.
wait_greeting() {
    python3 - "$1" "$2" "$3" "${4:-}" <<'EOF'
import os, socket, ssl, sys, time
port, timeout, pidfile, cafile = int(sys.argv[1]), float(sys.argv[2]), sys.argv[3], sys.argv[4]
tls = ssl.create_default_context(cafile=cafile) if cafile else None
deadline = time.monotonic() + timeout
while time.monotonic() < deadline:
    try:
        with open(pidfile) as fh:
            os.kill(int(fh.read().strip()), 0)
    except FileNotFoundError:
        pass  # the daemonised master writes it a moment after "dovecot" returns
    except (OSError, ValueError):
        sys.exit("dovecot master exited")
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=2) as raw:
            raw.settimeout(2)
            s = tls.wrap_socket(raw, server_hostname="localhost") if tls else raw
            line = s.makefile("rb").readline()
            if line.startswith((b"* OK", b"* PREAUTH")):
                sys.exit(0)
    except ssl.SSLCertVerificationError as e:
        sys.exit("TLS port %d: %s" % (port, e))
    except OSError:
        pass
    time.sleep(0.05)
sys.exit("no IMAP greeting on port %d within %g s" % (port, timeout))
EOF
}

# Certificates for tests, see certs at the top. Every call makes a new CA, so a certificate
# from an earlier run is never trusted by accident.
make_certs() {
    local out=$1 work
    command -v openssl >/dev/null || die "openssl not installed (run scripts/setup.sh as root)"
    mkdir -p "$out"
    work=$(mktemp -d "$out/.ca.XXXXXX")
    if ! (cd "$work" && make_certs_in_cwd); then
        rm -rf "$work"
        die "could not make the test certificates in $out"
    fi
    local name
    for name in ca server otherhost expired selfsigned; do
        mv -f "$work/$name.pem" "$work/$name.key" "$out/"
        chmod 644 "$out/$name.pem"
        chmod 600 "$out/$name.key"
    done
    rm -rf "$work"
}

make_certs_in_cwd() {
    set -e
    umask 077
    mkdir newcerts
    : >index.txt
    echo 01 >serial
    cat >ca.cnf <<'CNF'
[ca]
default_ca = fixture
[fixture]
database = index.txt
new_certs_dir = newcerts
serial = serial
certificate = ca.pem
private_key = ca.key
default_md = sha256
default_days = 30
policy = any
copy_extensions = none
unique_subject = no
[any]
commonName = supplied
[server_ext]
basicConstraints = critical,CA:FALSE
keyUsage = critical,digitalSignature,keyEncipherment
extendedKeyUsage = serverAuth
subjectAltName = DNS:localhost,IP:127.0.0.1
[otherhost_ext]
basicConstraints = critical,CA:FALSE
keyUsage = critical,digitalSignature,keyEncipherment
extendedKeyUsage = serverAuth
subjectAltName = DNS:other.invalid
CNF
    local key=(-newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes)
    openssl req -x509 "${key[@]}" -keyout ca.key -out ca.pem -days 30 \
        -subj "/CN=Fernquill test CA $(date +%s)-$$" \
        -addext basicConstraints=critical,CA:TRUE \
        -addext keyUsage=critical,keyCertSign,cRLSign 2>/dev/null
    # name, common name, extension section, further options of "openssl ca"
    sign() {
        local name=$1 cn=$2 ext=$3
        shift 3
        openssl req "${key[@]}" -keyout "$name.key" -out "$name.csr" -subj "/CN=$cn" 2>/dev/null
        openssl ca -batch -notext -config ca.cnf -extensions "$ext" -in "$name.csr" \
            -out "$name.pem" "$@" 2>/dev/null
    }
    sign server localhost server_ext
    sign otherhost other.invalid otherhost_ext
    sign expired localhost server_ext -startdate 20200101000000Z -enddate 20200102000000Z
    openssl req -x509 "${key[@]}" -keyout selfsigned.key -out selfsigned.pem -days 30 \
        -subj /CN=localhost -addext subjectAltName=DNS:localhost,IP:127.0.0.1 2>/dev/null
}

tls_config() {
    local dir=$1
    if ((TLS)); then
        printf 'ssl = yes\nssl_cert = <%s\nssl_key = <%s\nssl_min_protocol = TLSv1.2\n' \
            "$dir/tls/server.pem" "$dir/tls/server.key"
    else
        echo "ssl = no"
    fi
}

imaps_listener() {
    local port=$1
    if ((TLS)); then
        printf '    inet_listener imaps {\n        address = 127.0.0.1\n        port = %s\n        ssl = yes\n    }\n' "$port"
    else
        printf '    inet_listener imaps {\n        port = 0\n    }\n'
    fi
}

write_config() {
    local dir=$1 layout=$2 port=$3 imaps_port=$4 location separator user_block anvil_chroot=""
    if [[ $layout == fs ]]; then
        location="maildir:$dir/mail:LAYOUT=fs"
        separator=/
    else
        location="maildir:$dir/mail"
        separator=.
    fi
    if [[ $(id -u) -eq 0 ]]; then
        user_block="mail_uid = $MAIL_USER
mail_gid = $MAIL_GROUP"
    else
        anvil_chroot="    chroot ="
        user_block="default_login_user = $MAIL_USER
default_internal_user = $MAIL_USER
default_internal_group = $MAIL_GROUP
service ipc {
    chroot =
}"
    fi
    cat >"$dir/dovecot.conf" <<EOF
# Generated by dovecot-fixture.sh; complete, reads no other configuration.
instance_name = fixture-$(printf '%s' "$dir" | cksum | cut -d' ' -f1)
base_dir = $dir/run
state_dir = $dir/state
log_path = $dir/dovecot.log
info_log_path = $dir/dovecot.log
protocols = imap
listen = 127.0.0.1
$(tls_config "$dir")
disable_plaintext_auth = no
auth_mechanisms = plain login
# Failed logins answer at once and earn no brute-force penalty (anvil-auth-penalty below),
# so tests that try a wrong password do not slow down the logins after them.
login_trusted_networks = 127.0.0.0/8
auth_failure_delay = 0
auth_verbose = yes
mail_location = $location
mail_privileged_group =
$user_block
namespace inbox {
    inbox = yes
    prefix =
    separator = $separator
}
passdb {
    driver = passwd-file
    args = scheme=PLAIN username_format=%u $dir/users
}
userdb {
    driver = static
    args = home=$dir/home
}
service anvil {
$anvil_chroot
    unix_listener anvil-auth-penalty {
        mode = 0
    }
}
protocol imap {
    mail_max_userip_connections = $MAX_CONNECTIONS
}
service imap-login {
    chroot =
    inet_listener imap {
        address = 127.0.0.1
        port = $port
    }
$(imaps_listener "$imaps_port")
}
EOF
}

# Directories above DIR that the mail user cannot search make logins fail with a bare
# "Temporary authentication failure"; say which one instead.
check_traversable() {
    local p=$1
    while [[ $p != / ]]; do
        p=$(dirname "$p")
        local mode
        mode=$(stat -c '%a' "$p")
        if ((8#$mode & 1)) || [[ $(stat -c '%U' "$p") == "$MAIL_USER" ]]; then
            continue
        fi
        die "$p is not searchable by $MAIL_USER (Dovecot's mail user); chmod o+x it or pick another DIR"
    done
}

do_start() {
    local dir=$1 layout=$2 seed=$3 port attempt
    command -v dovecot >/dev/null || die "dovecot not installed (run scripts/setup.sh as root)"
    if [[ $(id -u) -eq 0 ]]; then
        MAIL_USER=nobody
        MAIL_GROUP=$(id -gn nobody)
    else
        MAIL_USER=$(id -un)
        MAIL_GROUP=$(id -gn)
    fi

    do_stop "$dir"
    # Create DIR and the missing directories above it searchable by everyone, whatever the
    # umask; directories that already existed are only checked.
    local p=$dir created=()
    while [[ ! -e $p ]]; do
        created+=("$p")
        p=$(dirname "$p")
    done
    mkdir -p "$dir"
    ((${#created[@]} == 0)) || chmod 755 "${created[@]}"
    chmod 755 "$dir"
    [[ $(id -u) -ne 0 ]] || check_traversable "$dir"

    rm -rf "${dir:?}/mail" "${dir:?}/home" "${dir:?}/run" "${dir:?}/state" "${dir:?}/manifest.json" \
        "${dir:?}/dovecot.conf" "${dir:?}/users" "${dir:?}/port" "${dir:?}/dovecot.log" \
        "${dir:?}/tls" "${dir:?}/ca.pem" "${dir:?}/imaps-port"
    if ((TLS)); then
        make_certs "$dir/tls"
        cp "$dir/tls/ca.pem" "$dir/ca.pem"
    fi
    if [[ -n ${FQ_FIXTURE_MAILBOX_CMD:-} ]]; then
        # Another mailbox (the benchmark's): the command gets the mail directory as argument.
        $FQ_FIXTURE_MAILBOX_CMD "$dir/mail"
    else
        python3 "$SCRIPT_DIR/gen-mailbox.py" "$dir/mail" "$layout" --seed "$seed" \
            --manifest "$dir/manifest.json"
    fi
    mkdir -p "$dir/home" "$dir/state" "$dir/run"
    printf 'demo:{PLAIN}demo::::::\n' >"$dir/users"
    if [[ $(id -u) -eq 0 ]]; then
        chown -R "$MAIL_USER:$MAIL_GROUP" "$dir/mail" "$dir/home"
        chown "root:$(id -gn dovecot 2>/dev/null || echo root)" "$dir/users"
        chmod 640 "$dir/users"
    else
        chmod 600 "$dir/users"
    fi

    local imaps_port=0 ports
    for ((attempt = 1; attempt <= BIND_ATTEMPTS; attempt++)); do
        port=$(free_port)
        if ((TLS)); then
            imaps_port=$(free_port)
            [[ $imaps_port != "$port" ]] || continue
            ports="$port and $imaps_port"
        else
            ports=$port
        fi
        write_config "$dir" "$layout" "$port" "$imaps_port"
        : >"$dir/dovecot.log"
        if ! dovecot -c "$dir/dovecot.conf" 2>>"$dir/dovecot.log"; then
            if grep -q 'Address already in use' "$dir/dovecot.log"; then
                echo "dovecot-fixture: port $ports taken, retrying" >&2
                continue
            fi
            cat "$dir/dovecot.log" >&2
            die "dovecot failed to start (config $dir/dovecot.conf)"
        fi
        if wait_greeting "$port" "$START_TIMEOUT" "$dir/run/master.pid" &&
            { ((!TLS)) || wait_greeting "$imaps_port" "$START_TIMEOUT" "$dir/run/master.pid" "$dir/ca.pem"; }; then
            printf '%s\n' "$port" >"$dir/port"
            if ((TLS)); then
                printf '%s\n' "$imaps_port" >"$dir/imaps-port"
                echo "dovecot ($layout) on 127.0.0.1:$port, implicit TLS on 127.0.0.1:$imaps_port"
            else
                echo "dovecot ($layout) on 127.0.0.1:$port"
            fi
            return 0
        fi
        if grep -q 'Address already in use' "$dir/dovecot.log"; then
            do_stop "$dir"
            echo "dovecot-fixture: port $ports taken, retrying" >&2
            continue
        fi
        break
    done
    echo "----- $dir/dovecot.log" >&2
    cat "$dir/dovecot.log" >&2
    do_stop "$dir"
    die "dovecot did not come up"
}

main() {
    [[ $# -ge 2 ]] || usage
    local cmd=$1 dir
    dir=$(resolve_dir "$2")
    case $cmd in
    start)
        [[ $# -ge 3 ]] || usage
        local layout=$3 seed=1
        shift 3
        while [[ $# -gt 0 ]]; do
            case $1 in
            --seed)
                [[ ${2:-} =~ ^[0-9]+$ ]] || usage
                seed=$2
                shift 2
                ;;
            --tls)
                TLS=1
                shift
                ;;
            --max-connections)
                [[ ${2:-} =~ ^[0-9]+$ ]] || usage
                MAX_CONNECTIONS=$2
                shift 2
                ;;
            *) usage ;;
            esac
        done
        [[ $layout == maildir || $layout == fs ]] || usage
        do_start "$dir" "$layout" "$seed"
        ;;
    stop)
        [[ $# -eq 2 ]] || usage
        do_stop "$dir"
        ;;
    certs)
        [[ $# -eq 2 ]] || usage
        make_certs "$dir"
        ;;
    *) usage ;;
    esac
}

main "$@"
