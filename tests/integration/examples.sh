#!/usr/bin/env bash
# The deployment files in examples/ as shipped, with only their addresses,
# paths and account replaced: stunnel.conf (exec mode), stunnel-proxy.conf
# in front of xinetd.d/tolm, and the systemd units. They serve the example
# capsule inside the chroot layout of examples/chroot/populate, and a real
# Gemini client checks what the capsule's home page promises.
#
#   examples.sh TOLM_BINARY
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=tests/integration/lib.sh
source "$here/lib.sh"

tolm=$(realpath "${1:?usage: examples.sh TOLM_BINARY}")
examples=$(cd "$here/../../examples" && pwd)
[ "$(id -u)" -eq 0 ] || skip "needs root (chroot, xinetd)"
require stunnel openssl xinetd node awk sha256sum
[ -d "$here/node_modules/@derhuerst/gemini" ] || fail "the Gemini client is missing (run tests/install-deps)"
id stunnel4 >/dev/null 2>&1 || fail "the account stunnel4 is missing (reinstall stunnel4)"

it_begin 120
client() { timeout 60 node "$here/gemini-get.mjs" "$@"; }

# The example capsule in the chroot layout: the content root becomes /,
# and the shell CGI script needs /bin/sh with its libraries inside it.
jail=$it_tmp/jail
mkdir "$jail"
cp -a "$examples/capsule/." "$jail/"
"$examples/chroot/populate" "$jail" /bin/sh

openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 \
    -subj /CN=localhost -addext 'subjectAltName=DNS:localhost,IP:127.0.0.1' \
    -keyout "$it_tmp/gemini.key" -out "$it_tmp/gemini.crt" 2>/dev/null
chmod 644 "$it_tmp/gemini.key"

# Writes example $1 to $2 with the deployment's names replaced by the
# test's ($3 is the TLS port). The names that follow must all be in the
# example, so that a changed example cannot silently go untested.
render() {
    local from=$1 to=$2 port=$3 name
    shift 3
    for name in "$@"; do
        grep -q -F -- "$name" "$from" || fail "$(basename "$from") no longer holds '$name'"
    done
    sed -e "s|:::1965|127.0.0.1:$port|" \
        -e "s|127.0.0.1:1966|127.0.0.1:$xinetd_port|; s|= 1966$|= $xinetd_port|" \
        -e "s|/etc/stunnel/gemini|$it_tmp/gemini|g" \
        -e "s|/usr/local/sbin/tolm|$tolm|" \
        -e "s|-u gemini|-u nobody|" \
        -e "s|/srv/gemini|$jail|" \
        "$from" >"$to"
}

# The capsule's promises, fetched at base URL $1.
check_capsule() {
    local base=$1 what=$2 got
    client --report "$base/" "$base/docs" "$base/docs/" "$base/old-about.gmi" "$base/files/" \
        "$base/files/gradient.png" "$base/cgi-bin/hello" "$base/cgi-bin/hello?tolm%20user" \
        >"$it_tmp/got" || fail "$what: a fetch failed"
    got=$(cut -f2,3 "$it_tmp/got")
    local want
    want=$(printf '%s\n' \
        $'20\ttext/gemini; lang=en' $'31\t/docs/' $'20\ttext/gemini; lang=en' \
        $'30\tgemini://localhost/about.gmi' $'20\ttext/gemini' $'20\timage/png' \
        $'10\tWhat is your name?' $'20\ttext/gemini; lang=en')
    [ "$got" = "$want" ] || fail "$what: headers differ:"$'\n'"$got"$'\n'"want:"$'\n'"$want"
    [ "$(sed -n 6p "$it_tmp/got" | cut -f5)" = "$(sha256sum <"$examples/capsule/files/gradient.png" | cut -d' ' -f1)" ] ||
        fail "$what: the PNG arrived changed"
    [ "$(sed -n 1p "$it_tmp/got" | cut -f5)" = "$(sha256sum <"$examples/capsule/index.gmi" | cut -d' ' -f1)" ] ||
        fail "$what: the home page arrived changed"
    # The greeting is the only page whose text depends on the request.
    client "$base/cgi-bin/hello?tolm%20user" | grep -q -x '# Hello, tolm user!' ||
        fail "$what: the CGI script did not greet with the decoded query"
    say "ok: $what"
}

start() { # config file, then the command line; records the pid
    "$@" >"$it_tmp/$(basename "$1").out" 2>&1 &
    it_pids+=("$!")
    last_pid=$!
}

xinetd_port=$(free_port)
tls_port=$(free_port)
proxy_port=$(free_port)

# stunnel.conf: exec mode, one tolm per TLS connection.
render "$examples/stunnel.conf" "$it_tmp/stunnel.conf" "$tls_port" \
    :::1965 /etc/stunnel/gemini /usr/local/sbin/tolm "-u gemini" /srv/gemini
start stunnel "$it_tmp/stunnel.conf"
wait_listening "$tls_port" "$last_pid"
check_capsule "gemini://localhost:$tls_port" "stunnel.conf (exec mode, chroot as nobody)"

# stunnel-proxy.conf terminating TLS for xinetd.d/tolm.
{
    printf 'defaults\n{\n    log_type = FILE %s\n}\n' "$it_tmp/xinetd.log"
    render "$examples/xinetd.d/tolm" /dev/stdout 0 "= 1966" /usr/local/sbin/tolm "-u gemini" /srv/gemini
} >"$it_tmp/xinetd.conf"
start xinetd -dontfork -filelog "$it_tmp/xinetd.msg" -f "$it_tmp/xinetd.conf"
wait_listening "$xinetd_port" "$last_pid"
render "$examples/stunnel-proxy.conf" "$it_tmp/stunnel-proxy.conf" "$proxy_port" \
    :::1965 /etc/stunnel/gemini 127.0.0.1:1966
start stunnel "$it_tmp/stunnel-proxy.conf"
wait_listening "$proxy_port" "$last_pid"
check_capsule "gemini://localhost:$proxy_port" "stunnel-proxy.conf in front of xinetd.d/tolm"

# systemd units: no systemd runs here, so they are only verified.
if command -v systemd-analyze >/dev/null 2>&1; then
    mkdir "$it_tmp/units"
    render "$examples/systemd/tolm.socket" "$it_tmp/units/tolm.socket" 0 127.0.0.1:1966
    render "$examples/systemd/tolm@.service" "$it_tmp/units/tolm@.service" 0 /usr/local/sbin/tolm /srv/gemini
    (cd "$it_tmp/units" && systemd-analyze verify --man=no tolm.socket tolm@.service) >"$it_tmp/verify" 2>&1 ||
        true
    if [ -s "$it_tmp/verify" ]; then
        cat "$it_tmp/verify" >&2
        fail "systemd-analyze verify complains about the units"
    fi
    say "ok: systemd units verify cleanly"
else
    say "systemd-analyze is not installed: the systemd units were not verified"
fi
