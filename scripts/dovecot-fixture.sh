#!/usr/bin/env bash
# Private Dovecot IMAP server for end-to-end tests and the demo.
#
#   dovecot-fixture.sh start DIR maildir|fs [--seed N] [--tls] [--cert NAME] [--listen ADDR]
#                                          [--oauth2] [--max-connections N]
#   dovecot-fixture.sh stop DIR
#   dovecot-fixture.sh certs DIR
#   dovecot-fixture.sh recert DIR
#
# start stops any server running from DIR, writes a standalone DIR/dovecot.conf, a fresh sample
# mailbox in DIR/mail (gen-mailbox.py, manifest in DIR/manifest.json; with FQ_FIXTURE_MAILBOX_CMD
# set, that command gets the mail directory and there is no manifest) and serves it on 127.0.0.1
# on a free port written to DIR/port (--listen: on ADDR instead of 127.0.0.1). Users "demo",
# password "demo", and "ann", password "open sesame" (a password unlike the login), share the
# mailbox. Layout maildir is Maildir++ (delimiter "."), fs is LAYOUT=fs (delimiter "/"). Sockets
# and master.pid live in DIR/run, the log in DIR/dovecot.log. As root the mail belongs to nobody
# (Dovecot refuses uid 0), so every directory above DIR must be searchable by others; otherwise
# everything runs as the caller.
#
# --tls makes certificates in DIR/tls (see certs), copies the CA to DIR/ca.pem, and adds an
# implicit-TLS listener whose port goes to DIR/imaps-port; the plain port then offers STARTTLS.
# The server presents DIR/tls/NAME.pem (--cert, server by default; selfsigned for one from no CA).
#
# recert DIR makes DIR/tls's certificates anew (so a self-signed one is replaced by another) and
# has the running server reload them; it returns once the implicit-TLS port presents the new one.
#
# --oauth2 also signs users in with OAuth 2.0 bearer tokens (AUTHENTICATE XOAUTH2 and
# OAUTHBEARER; LOGIN keeps using the password): JWTs signed RS256 with the key made at start,
# DIR/oauth2/signing.key, which Dovecot checks itself (the public half in DIR/oauth2/keys); the
# user is the token's "sub", and an expired token is refused.
#
# certs DIR writes, PEM with unencrypted keys: ca (a new throw-away CA every call), server (for
# localhost and 127.0.0.1), otherhost (other.invalid only), expired (as server, expired in 2020)
# and selfsigned (as server, not from the CA), each as NAME.pem and NAME.key.
set -euo pipefail

SCRIPT_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
TLS=0
CERT=server
LISTEN=127.0.0.1
OAUTH2=0
MAX_CONNECTIONS=200 # per user and address; tests running in parallel all log in as demo
IS_ROOT=$((EUID == 0))

die() {
    echo "dovecot-fixture: $*" >&2
    exit 1
}

usage() {
    echo "usage: $0 start DIR maildir|fs [--seed N] [--tls] [--cert NAME] [--listen ADDR] [--oauth2] [--max-connections N]" >&2
    echo "       $0 stop DIR" >&2
    echo "       $0 certs DIR" >&2
    echo "       $0 recert DIR" >&2
    exit 2
}

need() { command -v "$1" >/dev/null || die "$1 not installed (run scripts/setup.sh as root)"; }

# DIR ends up in config values and mail_location, where ':' and quotes have meaning.
resolve_dir() {
    local d
    d=$(realpath -m -- "$1")
    [[ $d =~ ^/[A-Za-z0-9._/+-]+$ ]] ||
        die "directory '$d' has characters Dovecot settings cannot carry (use [A-Za-z0-9._/+-])"
    printf '%s\n' "$d"
}

# Pid of the live (not zombie) master started with DIR's config; fails if there is none.
running_pid() {
    local pid stat
    pid=$(cat "$1/run/master.pid" 2>/dev/null) && [[ $pid =~ ^[0-9]+$ ]] || return 1
    [[ $(tr '\0' ' ' 2>/dev/null <"/proc/$pid/cmdline") == *" -c $1/dovecot.conf "* ]] || return 1
    stat=$(cat "/proc/$pid/stat" 2>/dev/null) || return 1
    stat=${stat##*) }
    [[ ${stat%% *} != Z ]] && printf '%s\n' "$pid"
}

# Sends the master of DIR SIGTERM and waits up to 8 s for it to go, then kills it.
do_stop() {
    local pid i
    if pid=$(running_pid "$1"); then
        kill -TERM "$pid" 2>/dev/null || true
        for ((i = 0; i < 160; i++)); do
            running_pid "$1" >/dev/null || break
            sleep 0.05
        done
        ! running_pid "$1" >/dev/null || kill -KILL "$pid" 2>/dev/null || true
    fi
    rm -f "$1/port" "$1/imaps-port"
}

free_port() {
    python3 -c 'import socket, sys; a = sys.argv[1]; s = socket.socket(socket.AF_INET6 if ":" in a else socket.AF_INET); s.bind((a, 0)); print(s.getsockname()[1])' "$LISTEN"
}

# Succeeds once an IMAP greeting can be read from port $1 of $LISTEN, fails early when the master
# named by pid file $2 has gone. With a CA file as $3 the port speaks TLS with a certificate for
# localhost from that CA; with "any" it speaks TLS with whatever certificate.
wait_greeting() {
    python3 - "$LISTEN" "$@" <<'EOF'
import os, socket, ssl, sys, time
host, port, pidfile, cafile = sys.argv[1], int(sys.argv[2]), sys.argv[3], (sys.argv[4:] or [None])[0]
tls = None
if cafile == "any":
    tls = ssl._create_unverified_context()
elif cafile:
    tls = ssl.create_default_context(cafile=cafile)
deadline = time.monotonic() + 20
while time.monotonic() < deadline:
    try:
        with open(pidfile) as fh:
            os.kill(int(fh.read().strip()), 0)
    except FileNotFoundError:
        pass  # the daemonised master writes it a moment after "dovecot" returns
    except (OSError, ValueError):
        sys.exit("dovecot master exited")
    try:
        with socket.create_connection((host, port), timeout=2) as raw:
            s = tls.wrap_socket(raw, server_hostname="localhost") if tls else raw
            if s.makefile("rb").readline().startswith((b"* OK", b"* PREAUTH")):
                sys.exit(0)
    except ssl.SSLCertVerificationError as e:
        sys.exit("TLS port %d: %s" % (port, e))
    except OSError:
        pass
    time.sleep(0.05)
sys.exit("no IMAP greeting on port %d within 20 s" % port)
EOF
}

# The certificates listed at the top, made in a scratch directory under $1 and moved into it.
make_certs() {
    local out=$1 work name
    need openssl
    mkdir -p "$out"
    work=$(mktemp -d "$out/.ca.XXXXXX")
    (cd "$work" && make_certs_in_cwd) || { rm -rf "$work"; die "could not make the test certificates in $out"; }
    for name in ca server otherhost expired selfsigned; do
        mv -f "$work/$name.pem" "$work/$name.key" "$out/"
        chmod 644 "$out/$name.pem"
    done
    rm -rf "$work"
}

make_certs_in_cwd() {
    umask 077
    : >index.txt
    cat >ca.cnf <<'CNF'
[ca]
default_ca = fixture
[fixture]
database = index.txt
new_certs_dir = .
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
subjectAltName = $ENV::SAN
CNF
    local key=(-newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes) san=DNS:localhost,IP:127.0.0.1
    openssl req -x509 "${key[@]}" -keyout ca.key -out ca.pem -days 30 \
        -subj "/CN=Fernquill test CA $(date +%s)-$$" -addext basicConstraints=critical,CA:TRUE \
        -addext keyUsage=critical,keyCertSign,cRLSign 2>/dev/null
    sign() { # name, common name, subjectAltName, further options of "openssl ca"
        openssl req "${key[@]}" -keyout "$1.key" -out "$1.csr" -subj "/CN=$2" 2>/dev/null
        SAN=$3 openssl ca -batch -notext -create_serial -config ca.cnf -extensions server_ext -in "$1.csr" \
            -out "$1.pem" "${@:4}" 2>/dev/null
    }
    sign server localhost "$san"
    sign otherhost other.invalid DNS:other.invalid
    sign expired localhost "$san" -startdate 20200101000000Z -enddate 20200102000000Z
    openssl req -x509 "${key[@]}" -keyout selfsigned.key -out selfsigned.pem -days 30 \
        -subj /CN=localhost -addext "subjectAltName=$san" 2>/dev/null
}

# The RS256 key tokens are signed with, and where Dovecot looks up its public half
# (shared/<azp>/<alg>/<kid>, the dict's "shared/" left out).
make_oauth2_key() {
    local out=$1/oauth2
    need openssl
    mkdir -p "$out/keys/default/RS256"
    (umask 077 && openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out "$out/signing.key" 2>/dev/null) ||
        die "could not make the token signing key"
    openssl pkey -in "$out/signing.key" -pubout -out "$out/keys/default/RS256/default"
    chmod -R a+rX "$out/keys"
    printf '%s\n' 'introspection_mode = local' "local_validation_key_dict = fs:posix:prefix=$out/keys/" \
        'username_attribute = sub' >"$out/dovecot-oauth2.conf.ext"
}

write_config() {
    local dir=$1 layout=$2 port=$3 imaps_port=$4 location=maildir:$1/mail separator=. ssl=no users
    local mechanisms='plain login' oauth2=''
    if ((OAUTH2)); then
        mechanisms+=' xoauth2 oauthbearer'
        printf -v oauth2 '%s\n' 'passdb {' '    driver = oauth2' '    mechanisms = xoauth2 oauthbearer' \
            "    args = $dir/oauth2/dovecot-oauth2.conf.ext" '}'
    fi
    [[ $layout == maildir ]] || { location+=:LAYOUT=fs; separator=/; }
    ((!TLS)) || printf -v ssl 'yes\nssl_cert = <%s\nssl_key = <%s' "$dir/tls/$CERT.pem" "$dir/tls/$CERT.key"
    if ((IS_ROOT)); then
        printf -v users 'mail_uid = %s\nmail_gid = %s' "$MAIL_USER" "$MAIL_GROUP"
    else # and no chroot for the services that would need root for it
        printf -v users '%s\n' "default_login_user = $MAIL_USER" "default_internal_user = $MAIL_USER" \
            "default_internal_group = $MAIL_GROUP" 'service ipc {' '    chroot =' '}' 'service anvil {' \
            '    chroot =' '}'
    fi
    cat >"$dir/dovecot.conf" <<EOF
# Generated by dovecot-fixture.sh; complete, reads no other configuration.
instance_name = fixture-$(printf '%s' "$dir" | cksum | cut -d' ' -f1)
base_dir = $dir/run
state_dir = $dir/state
log_path = $dir/dovecot.log
protocols = imap
listen = $LISTEN
ssl = $ssl
disable_plaintext_auth = no
auth_mechanisms = $mechanisms
# Failed logins answer at once and earn no brute-force penalty (anvil-auth-penalty below),
# so tests that try a wrong password do not slow down the logins after them.
login_trusted_networks = 127.0.0.0/8
auth_failure_delay = 0
auth_verbose = yes
mail_location = $location
$users
namespace inbox {
    inbox = yes
    prefix =
    separator = $separator
}
${oauth2}passdb {
    driver = passwd-file
    mechanisms = plain login
    args = scheme=PLAIN username_format=%u $dir/users
}
userdb {
    driver = static
    args = home=$dir/home
}
service anvil {
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
        port = $port
    }
    inet_listener imaps {
        port = $imaps_port
    }
}
EOF
}

do_start() {
    local dir=$1 layout=$2 seed=$3 p attempt port imaps_port=0 note='' check=any
    need dovecot
    [[ $CERT =~ ^(server|otherhost|expired|selfsigned)$ ]] || die "no certificate named $CERT"
    [[ $CERT != server ]] || check=$dir/ca.pem
    if ((IS_ROOT)); then
        MAIL_USER=nobody MAIL_GROUP=$(id -gn nobody)
    else
        MAIL_USER=$(id -un) MAIL_GROUP=$(id -gn)
    fi
    do_stop "$dir"
    # DIR and the directories made for it are searchable by everyone whatever the umask; as
    # root, say which directory above DIR keeps nobody out (logins would only fail with
    # "Temporary authentication failure").
    (umask 022 && mkdir -p "$dir")
    chmod 755 "$dir"
    p=$dir
    while ((IS_ROOT)) && [[ $p != / ]]; do
        p=$(dirname "$p")
        ((8#$(stat -c %a "$p") & 1)) || [[ $(stat -c %U "$p") == "$MAIL_USER" ]] ||
            die "$p is not searchable by $MAIL_USER (Dovecot's mail user); chmod o+x it or pick another DIR"
    done

    rm -rf "${dir:?}"/{mail,home,run,state,manifest.json,dovecot.conf,users,port,dovecot.log,tls,ca.pem,imaps-port,oauth2}
    ((!OAUTH2)) || make_oauth2_key "$dir"
    if ((TLS)); then
        make_certs "$dir/tls"
        cp "$dir/tls/ca.pem" "$dir/ca.pem"
    fi
    if [[ -n ${FQ_FIXTURE_MAILBOX_CMD:-} ]]; then
        $FQ_FIXTURE_MAILBOX_CMD "$dir/mail"
    else
        python3 "$SCRIPT_DIR/gen-mailbox.py" "$dir/mail" "$layout" --seed "$seed" --manifest "$dir/manifest.json"
    fi
    mkdir -p "$dir/home" "$dir/state" "$dir/run"
    printf '%s\n' 'demo:{PLAIN}demo::::::' 'ann:{PLAIN}open sesame::::::' >"$dir/users"
    chmod 600 "$dir/users"
    if ((IS_ROOT)); then
        chown -R "$MAIL_USER:$MAIL_GROUP" "$dir/mail" "$dir/home"
        chown "root:$(id -gn dovecot 2>/dev/null || echo root)" "$dir/users"
        chmod 640 "$dir/users"
    fi

    # A port picked as free may be taken before Dovecot binds it: then try other ones.
    for ((attempt = 1; attempt <= 5; attempt++)); do
        port=$(free_port)
        if ((TLS)); then
            imaps_port=$(free_port)
            [[ $imaps_port != "$port" ]] || continue
        fi
        write_config "$dir" "$layout" "$port" "$imaps_port"
        : >"$dir/dovecot.log"
        if dovecot -c "$dir/dovecot.conf" 2>>"$dir/dovecot.log" &&
            wait_greeting "$port" "$dir/run/master.pid" &&
            { ((!TLS)) || wait_greeting "$imaps_port" "$dir/run/master.pid" "$check"; }; then
            printf '%s\n' "$port" >"$dir/port"
            ((TLS)) && printf '%s\n' "$imaps_port" >"$dir/imaps-port" && note=", implicit TLS on port $imaps_port ($CERT)"
            echo "dovecot ($layout) on $LISTEN:$port$note"
            return 0
        fi
        do_stop "$dir"
        grep -q 'Address already in use' "$dir/dovecot.log" || break
        echo "dovecot-fixture: port taken, retrying" >&2
    done
    echo "----- $dir/dovecot.log" >&2
    cat "$dir/dovecot.log" >&2
    die "dovecot did not come up (config $dir/dovecot.conf)"
}

# New certificates for the running server of DIR, reloaded (SIGHUP) and checked on its TLS port.
do_recert() {
    local dir=$1 pid cert
    pid=$(running_pid "$dir") || die "no server running from $dir"
    [[ -f $dir/imaps-port ]] || die "the server of $dir was started without --tls"
    cert=$(sed -n 's/^ssl_cert = <//p' "$dir/dovecot.conf")
    LISTEN=$(sed -n 's/^listen = //p' "$dir/dovecot.conf")
    make_certs "$dir/tls"
    cp "$dir/tls/ca.pem" "$dir/ca.pem"
    kill -HUP "$pid"
    python3 - "$LISTEN" "$(cat "$dir/imaps-port")" "$cert" <<'EOF' || die "the server of $dir did not take the new certificate"
import socket, ssl, sys, time
host, port, path = sys.argv[1], int(sys.argv[2]), sys.argv[3]
wanted = ssl.PEM_cert_to_DER_cert(open(path).read())
deadline = time.monotonic() + 20
while time.monotonic() < deadline:
    try:
        with socket.create_connection((host, port), timeout=2) as raw:
            with ssl._create_unverified_context().wrap_socket(raw) as s:
                if s.getpeercert(binary_form=True) == wanted:
                    sys.exit(0)
    except OSError:
        pass
    time.sleep(0.1)
sys.exit(1)
EOF
}

main() {
    [[ $# -ge 2 && -n $2 ]] || usage
    local cmd=$1 dir layout=${3:-} seed=1
    dir=$(resolve_dir "$2")
    case $cmd in
    start)
        [[ $layout == maildir || $layout == fs ]] || usage
        shift 3
        while [[ $# -gt 0 ]]; do
            case $1 in
            --seed) [[ ${2:-} =~ ^[0-9]+$ ]] || usage; seed=$2; shift 2 ;;
            --max-connections) [[ ${2:-} =~ ^[0-9]+$ ]] || usage; MAX_CONNECTIONS=$2; shift 2 ;;
            --tls) TLS=1; shift ;;
            --cert) [[ -n ${2:-} ]] || usage; CERT=$2; shift 2 ;;
            --listen) [[ ${2:-} =~ ^[0-9A-Fa-f.:]+$ ]] || usage; LISTEN=$2; shift 2 ;;
            --oauth2) OAUTH2=1; shift ;;
            *) usage ;;
            esac
        done
        do_start "$dir" "$layout" "$seed"
        ;;
    stop) [[ $# -eq 2 ]] || usage; do_stop "$dir" ;;
    certs) [[ $# -eq 2 ]] || usage; make_certs "$dir" ;;
    recert) [[ $# -eq 2 ]] || usage; do_recert "$dir" ;;
    *) usage ;;
    esac
}

main "$@"
