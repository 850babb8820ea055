#!/usr/bin/env bash
# The deployment files in examples/ as shipped, with only their addresses,
# paths and account replaced: stunnel.conf (exec mode), stunnel-proxy.conf
# in front of xinetd.d/tolm, nginx-stream.conf in front of tcpserver as
# tcpserver/tolm-tcpserver.service runs it, and the systemd units. They
# serve the example capsule inside the chroot layout of
# examples/chroot/populate, and a real Gemini client checks what the
# capsule's home page promises. The terminators must send no session
# ticket and resume no session, and a CGI script shows what stunnel's exec
# mode (with and without a client certificate) and tcpserver put in its
# environment.
#
#   examples.sh TOLM_BINARY
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=tests/integration/lib.sh
source "$here/lib.sh"

tolm=$(realpath "${1:?usage: examples.sh TOLM_BINARY}")
examples=$(cd "$here/../../examples" && pwd)
[ "$(id -u)" -eq 0 ] || skip "needs root (chroot, xinetd, tcpserver, nginx)"
require stunnel openssl xinetd nginx tcpserver setpriv node awk sha256sum unshare socat
need_nginx_stream
[ -d "$here/node_modules/@derhuerst/gemini" ] || fail "the Gemini client is missing (run tests/install-deps)"
id stunnel4 >/dev/null 2>&1 || fail "the account stunnel4 is missing (reinstall stunnel4)"
# tolm's log lines, and stunnel's, are kept to be shown when a case fails.
enter_private_namespace "$@"

it_begin 120
capture_syslog
client() { timeout 60 node "$here/gemini-get.mjs" "$@"; }

# The example capsule in the chroot layout: the content root becomes /,
# and the shell CGI script needs /bin/sh with its libraries inside it.
jail=$it_tmp/jail
mkdir "$jail"
cp -a "$examples/capsule/." "$jail/"
"$examples/chroot/populate" "$jail" /bin/sh
# A CGI script that shows the environment it gets, one variable a line.
printf '#!/bin/sh\nprintf "20 text/plain\\r\\n"\nexport -p\n' >"$jail/cgi-bin/env"
chmod 755 "$jail/cgi-bin/env"

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
        -e "s|listen 1965 |listen 127.0.0.1:$port |; s|listen \[::\]:1965 |listen $loop6:$port |" \
        -e "s|127.0.0.1:1966|127.0.0.1:$plain_port|; s|= 1966$|= $plain_port|" \
        -e "s|127.0.0.1 1966 |127.0.0.1 $plain_port |" \
        -e "s|/etc/stunnel/gemini|$it_tmp/gemini|g; s|/etc/nginx/gemini|$it_tmp/gemini|g" \
        -e "s|/usr/local/sbin/tolm|$tolm|" \
        -e "s|-u _tolm|-u nobody|" \
        -e "s|/srv/gemini|$jail|" \
        "$from" >"$to"
}

# The capsule's promises, fetched at base URL $1.
check_capsule() {
    local base=$1 what=$2 got
    # The redirect's target names no host and no port: the client resolves
    # it against the address it asked, whatever the port.
    client --report "$base/" "$base/docs" "$base/docs/" "$base/old-about.gmi" "$base/files/" \
        "$base/files/gradient.png" "$base/cgi-bin/hello" "$base/cgi-bin/hello?tolm%20user" \
        "$base$(readlink "$examples/capsule/old-about.gmi")" \
        >"$it_tmp/got" || fail "$what: a fetch failed"
    got=$(cut -f2,3 "$it_tmp/got")
    local want
    want=$(printf '%s\n' \
        $'20\ttext/gemini; lang=en' $'31\t/docs/' $'20\ttext/gemini; lang=en' \
        $'30\t/about.gmi?from=old-about' $'20\ttext/gemini' $'20\timage/png' \
        $'10\tWhat is your name?' $'20\ttext/gemini; lang=en' $'20\ttext/gemini; lang=en')
    [ "$got" = "$want" ] || fail "$what: headers differ:"$'\n'"$got"$'\n'"want:"$'\n'"$want"
    [ "$(sed -n 6p "$it_tmp/got" | cut -f5)" = "$(sha256sum <"$examples/capsule/files/gradient.png" | cut -d' ' -f1)" ] ||
        fail "$what: the PNG arrived changed"
    [ "$(sed -n 1p "$it_tmp/got" | cut -f5)" = "$(sha256sum <"$examples/capsule/index.gmi" | cut -d' ' -f1)" ] ||
        fail "$what: the home page arrived changed"
    [ "$(sed -n 9p "$it_tmp/got" | cut -f5)" = "$(sha256sum <"$examples/capsule/about.gmi" | cut -d' ' -f1)" ] ||
        fail "$what: the redirect does not lead to the about page"
    # The greeting is the only page whose text depends on the request.
    client "$base/cgi-bin/hello?tolm%20user" | grep -q -x '# Hello, tolm user!' ||
        fail "$what: the CGI script did not greet with the decoded query"
    say "ok: $what"
}

# The CGI environment through base URL $1: each expected NAME=VALUE in the
# rest must be set exactly so ("NAME=~REGEX" for a pattern, "!NAME" for a
# variable that must be unset). Client options go before the URL in
# $env_client_options.
check_env() {
    local base=$1 what=$2 want name value
    shift 2
    # shellcheck disable=SC2086 # options split at blanks on purpose
    client ${env_client_options:-} "$base/cgi-bin/env" >"$it_tmp/env.out" || fail "$what: the env script failed"
    head -n 1 "$it_tmp/env.out" | grep -q -x '20 text/plain' || fail "$what: the env script's header: $(head -n 1 "$it_tmp/env.out")"
    # dash writes "export NAME='VALUE'", with ' inside as '"'"'.
    sed -n "s/^export \([A-Za-z_0-9]*\)='\(.*\)'\$/\1=\2/p; s/^export \([A-Za-z_0-9]*\)=\([^']*\)\$/\1=\2/p" "$it_tmp/env.out" |
        sed "s/'\"'\"'/'/g" >"$it_tmp/env.vars"
    for want in "$@"; do
        case $want in
        !*)
            ! grep -q "^${want#!}=" "$it_tmp/env.vars" || fail "$what: ${want#!} is set: $(grep "^${want#!}=" "$it_tmp/env.vars")"
            ;;
        *=~*)
            name=${want%%=~*}
            value=$(sed -n "s/^$name=//p" "$it_tmp/env.vars")
            [[ $value =~ ${want#*=~} ]] || fail "$what: $name is '$value', not like ${want#*=~}"
            ;;
        *)
            name=${want%%=*}
            value=$(sed -n "s/^$name=//p" "$it_tmp/env.vars")
            [ "$value" = "${want#*=}" ] || fail "$what: $name is '$value', not '${want#*=}'"
            ;;
        esac
    done
    say "ok: $what: $(cut -d= -f1 "$it_tmp/env.vars" | grep -E '^(REMOTE_|SSL_CLIENT|TCP|PROTO)' | tr '\n' ' ')"
}

# Every handshake on port $1 is a full one: the server sends no session
# ticket (TLS 1.3 and 1.2) and does not resume a session it saw.
check_no_resumption() {
    local port=$1 what=$2 version tickets resumed
    for version in tls1_3 tls1_2; do
        tickets=$( (printf 'gemini://localhost/\r\n' && sleep 1) |
            timeout 20 openssl s_client -"$version" -msg -sess_out "$it_tmp/session" -connect "127.0.0.1:$port" 2>&1 |
            grep -c NewSessionTicket || true)
        [ "$tickets" -eq 0 ] || fail "$what: $tickets session tickets over $version"
        resumed=$( (printf 'gemini://localhost/\r\n' && sleep 1) |
            timeout 20 openssl s_client -"$version" -sess_in "$it_tmp/session" -connect "127.0.0.1:$port" 2>/dev/null |
            grep -c '^Reused,' || true)
        [ "$resumed" -eq 0 ] || fail "$what: a session was resumed over $version"
    done
    say "ok: $what: no session tickets, no resumption"
}

start() { # config file, then the command line; records the pid
    "$@" >"$it_tmp/$(basename "$1").out" 2>&1 &
    it_pids+=("$!")
    last_pid=$!
}

# The plain TCP port of the super-server in front of tolm; nginx's IPv6
# listener goes to ::1, or to a second loopback address without IPv6.
plain_port=$(free_port)
if grep -q '^0\{31\}1 ' /proc/net/if_inet6 2>/dev/null; then loop6='[::1]'; else loop6=127.0.0.2; fi
tls_port=$(free_port)
proxy_port=$(free_port)

# stunnel.conf: exec mode, one tolm per TLS connection.
render "$examples/stunnel.conf" "$it_tmp/stunnel.conf" "$tls_port" \
    :::1965 /etc/stunnel/gemini /usr/local/sbin/tolm "-u _tolm" /srv/gemini "TIMEOUTclose = 0"
start stunnel "$it_tmp/stunnel.conf"
wait_listening "$tls_port" "$last_pid"
check_capsule "gemini://localhost:$tls_port" "stunnel.conf (exec mode, chroot as nobody)"
check_no_resumption "$tls_port" stunnel.conf
check_env "gemini://localhost:$tls_port" "CGI environment under stunnel.conf" \
    REMOTE_HOST=127.0.0.1 "REMOTE_PORT=~^[0-9]+$" '!SSL_CLIENT_DN' '!SSL_CLIENT_I_DN' \
    SERVER_NAME=localhost SCRIPT_NAME=env GATEWAY_INTERFACE=CGI/1.1

# The same with a client certificate requested and presented: stunnel
# passes its subject and issuer on.
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 \
    -subj '/O=tolm tests/CN=visitor' -keyout "$it_tmp/client.key" -out "$it_tmp/client.crt" 2>/dev/null
cert_port=$(free_port)
render "$examples/stunnel.conf" "$it_tmp/stunnel-cert.conf" "$cert_port" :::1965
# Level 0: ask for a certificate and take any, as Gemini clients make their
# own.
echo "verify = 0" >>"$it_tmp/stunnel-cert.conf"
start stunnel "$it_tmp/stunnel-cert.conf"
wait_listening "$cert_port" "$last_pid"
env_client_options="--cert $it_tmp/client.crt --key $it_tmp/client.key" \
    check_env "gemini://localhost:$cert_port" "CGI environment under stunnel.conf with a client certificate" \
    REMOTE_HOST=127.0.0.1 "SSL_CLIENT_DN=O=tolm tests, CN=visitor" "SSL_CLIENT_I_DN=O=tolm tests, CN=visitor"

# stunnel-proxy.conf terminating TLS for xinetd.d/tolm.
render "$examples/xinetd.d/tolm" "$it_tmp/xinetd.service" 0 "= 1966" /usr/local/sbin/tolm "-u _tolm" /srv/gemini
{
    printf 'defaults\n{\n    log_type = FILE %s\n}\n' "$it_tmp/xinetd.log"
    cat "$it_tmp/xinetd.service"
} >"$it_tmp/xinetd.conf"
start xinetd -dontfork -filelog "$it_tmp/xinetd.msg" -f "$it_tmp/xinetd.conf"
wait_listening "$plain_port" "$last_pid"
render "$examples/stunnel-proxy.conf" "$it_tmp/stunnel-proxy.conf" "$proxy_port" \
    :::1965 /etc/stunnel/gemini 127.0.0.1:1966 "TIMEOUTclose = 0"
start stunnel "$it_tmp/stunnel-proxy.conf"
wait_listening "$proxy_port" "$last_pid"
check_capsule "gemini://localhost:$proxy_port" "stunnel-proxy.conf in front of xinetd.d/tolm"
check_no_resumption "$proxy_port" stunnel-proxy.conf

# nginx-stream.conf terminating TLS for tcpserver, started with the unit's
# command line and the limits the unit puts on it: no new privileges and
# only the capabilities in its bounding set.
unit=$examples/tcpserver/tolm-tcpserver.service
plain_port=$(free_port)
nginx_port=$(free_port)
render "$unit" "$it_tmp/tolm-tcpserver.service" 0 \
    "127.0.0.1 1966 " /usr/local/sbin/tolm "-u _tolm" /srv/gemini NoNewPrivileges=yes CapabilityBoundingSet=
read -r -a tcpserver_cmd < <(sed -n 's/^ExecStart=//p' "$it_tmp/tolm-tcpserver.service")
[ "${tcpserver_cmd[0]:-}" = /usr/bin/tcpserver ] || fail "tolm-tcpserver.service does not start /usr/bin/tcpserver"
# The unit's comment gives the same command line for a machine without
# systemd; it must not drift from ExecStart.
by_hand=$(sed -n '/^#   env -i /,/[^\\]$/p' "$unit" | sed 's/^#//; s/\\$//' | tr -s ' \n' '  ' |
    sed -n 's|.* --exec /usr/bin/tcpserver -- \(.*[^ ]\) *$|\1|p')
exec_start=$(sed -n 's|^ExecStart=/usr/bin/tcpserver ||p' "$unit")
if [ -z "$by_hand" ] || [ "$by_hand" != "$exec_start" ]; then
    fail "tolm-tcpserver.service: the command without systemd is '$by_hand', ExecStart runs '$exec_start'"
fi
# "CAP_SYS_CHROOT CAP_SETUID" as setpriv takes it: "+sys_chroot,+setuid".
caps=$(sed -n 's/^CapabilityBoundingSet=//p' "$unit" | tr '[:upper:]' '[:lower:]' | sed 's/cap_/+/g; s/ \+/,/g')
start setpriv --no-new-privs --bounding-set "-all,$caps" -- "${tcpserver_cmd[@]}"
wait_listening "$plain_port" "$last_pid"

# The top of Debian's nginx.conf around the example, with everything in the
# test's directory instead of /etc, /run and /var/log.
mkdir "$it_tmp/nginx"
render "$examples/nginx-stream.conf" "$it_tmp/nginx/gemini.conf" "$nginx_port" \
    "listen 1965 " "listen [::]:1965 " /etc/nginx/gemini 127.0.0.1:1966
nginx_main_conf "$it_tmp/nginx" 64
nginx_args=(-p "$it_tmp/nginx/" -e "$it_tmp/nginx/error.log" -c "$it_tmp/nginx/nginx.conf")
nginx -t -q "${nginx_args[@]}" >"$it_tmp/nginx-t.out" 2>&1 || {
    cat "$it_tmp/nginx-t.out" >&2
    fail "nginx rejects nginx-stream.conf"
}
start nginx "${nginx_args[@]}" -g "daemon off;"
wait_listening "$nginx_port" "$last_pid"
check_capsule "gemini://localhost:$nginx_port" "nginx-stream.conf in front of tolm-tcpserver.service"
check_no_resumption "$nginx_port" nginx-stream.conf
# Behind nginx, the client tcpserver sees is nginx on the loopback address;
# the client's own, here the same address, comes in nginx's PROXY header.
check_env "gemini://localhost:$nginx_port" "CGI environment under tolm-tcpserver.service" \
    PROTO=TCP TCPREMOTEIP=127.0.0.1 "TCPREMOTEPORT=~^[0-9]+$" TCPLOCALIP=127.0.0.1 \
    "TCPLOCALPORT=$plain_port" TCPLOCALHOST=0 '!TCPREMOTEHOST' '!TCPREMOTEINFO' \
    REMOTE_ADDR=127.0.0.1 REMOTE_HOST=127.0.0.1 "REMOTE_PORT=~^[0-9]+$" '!TLS_CLIENT_HASH'

# Both listeners and both TLS versions the example allows. (A Gemini URL
# with an IPv6 address and a port would not name a file, so the address
# goes to the connection, not into the URL.)
for row in "127.0.0.1 tls1_2" "127.0.0.1 tls1_3" "$loop6 tls1_3"; do
    read -r address version <<<"$row"
    header=$(printf 'gemini://localhost/files/\r\n' |
        timeout 20 openssl s_client -quiet -"$version" -servername localhost -connect "$address:$nginx_port" \
            2>/dev/null | head -n 1) || true
    [ "$header" = $'20 text/gemini\r' ] || fail "nginx-stream.conf at $address over $version: header '$header'"
done
say "ok: nginx-stream.conf over $loop6, TLS 1.2 and TLS 1.3"

# systemd units: no systemd runs here, so they are only verified.
if command -v systemd-analyze >/dev/null 2>&1; then
    mkdir "$it_tmp/units"
    render "$examples/systemd/tolm.socket" "$it_tmp/units/tolm.socket" 0 127.0.0.1:1966
    render "$examples/systemd/tolm@.service" "$it_tmp/units/tolm@.service" 0 /usr/local/sbin/tolm /srv/gemini
    cp "$it_tmp/tolm-tcpserver.service" "$it_tmp/units/"
    (cd "$it_tmp/units" && systemd-analyze verify --man=no tolm.socket tolm@.service tolm-tcpserver.service) \
        >"$it_tmp/verify" 2>&1 ||
        true
    if [ -s "$it_tmp/verify" ]; then
        cat "$it_tmp/verify" >&2
        fail "systemd-analyze verify complains about the units"
    fi
    say "ok: systemd units verify cleanly"
else
    say "systemd-analyze is not installed: the systemd units were not verified"
fi
