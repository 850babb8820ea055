#!/usr/bin/env bash
# The deployment files in examples/ as shipped, with only their addresses,
# paths and account replaced: stunnel.conf (exec mode), stunnel-proxy.conf
# in front of xinetd.d/tolm, nginx-stream.conf in front of tcpserver as
# tcpserver/tolm-tcpserver.service runs it, and the systemd units. They
# serve the example capsule inside the chroot layout of
# examples/chroot/populate, and a real Gemini client checks what the
# capsule's home page promises.
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
nginx_stream=/usr/lib/nginx/modules/ngx_stream_module.so
[ -f "$nginx_stream" ] || fail "nginx's stream module is missing (install libnginx-mod-stream)"
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

# The plain TCP port of the super-server in front of tolm; nginx's IPv6
# listener goes to ::1, or to a second loopback address without IPv6.
plain_port=$(free_port)
if grep -q '^0\{31\}1 ' /proc/net/if_inet6 2>/dev/null; then loop6='[::1]'; else loop6=127.0.0.2; fi
tls_port=$(free_port)
proxy_port=$(free_port)

# stunnel.conf: exec mode, one tolm per TLS connection.
render "$examples/stunnel.conf" "$it_tmp/stunnel.conf" "$tls_port" \
    :::1965 /etc/stunnel/gemini /usr/local/sbin/tolm "-u gemini" /srv/gemini
start stunnel "$it_tmp/stunnel.conf"
wait_listening "$tls_port" "$last_pid"
check_capsule "gemini://localhost:$tls_port" "stunnel.conf (exec mode, chroot as nobody)"

# stunnel-proxy.conf terminating TLS for xinetd.d/tolm.
render "$examples/xinetd.d/tolm" "$it_tmp/xinetd.service" 0 "= 1966" /usr/local/sbin/tolm "-u gemini" /srv/gemini
{
    printf 'defaults\n{\n    log_type = FILE %s\n}\n' "$it_tmp/xinetd.log"
    cat "$it_tmp/xinetd.service"
} >"$it_tmp/xinetd.conf"
start xinetd -dontfork -filelog "$it_tmp/xinetd.msg" -f "$it_tmp/xinetd.conf"
wait_listening "$plain_port" "$last_pid"
render "$examples/stunnel-proxy.conf" "$it_tmp/stunnel-proxy.conf" "$proxy_port" \
    :::1965 /etc/stunnel/gemini 127.0.0.1:1966
start stunnel "$it_tmp/stunnel-proxy.conf"
wait_listening "$proxy_port" "$last_pid"
check_capsule "gemini://localhost:$proxy_port" "stunnel-proxy.conf in front of xinetd.d/tolm"

# nginx-stream.conf terminating TLS for tcpserver, started with the unit's
# command line and the limits the unit puts on it: no new privileges and
# only the capabilities in its bounding set.
unit=$examples/tcpserver/tolm-tcpserver.service
plain_port=$(free_port)
nginx_port=$(free_port)
render "$unit" "$it_tmp/tolm-tcpserver.service" 0 \
    "127.0.0.1 1966 " /usr/local/sbin/tolm "-u gemini" /srv/gemini NoNewPrivileges=yes CapabilityBoundingSet=
read -r -a tcpserver_cmd < <(sed -n 's/^ExecStart=//p' "$it_tmp/tolm-tcpserver.service")
[ "${tcpserver_cmd[0]:-}" = /usr/bin/tcpserver ] || fail "tolm-tcpserver.service does not start /usr/bin/tcpserver"
# "CAP_SYS_CHROOT CAP_SETUID" as setpriv takes it: "+sys_chroot,+setuid".
caps=$(sed -n 's/^CapabilityBoundingSet=//p' "$unit" | tr '[:upper:]' '[:lower:]' | sed 's/cap_/+/g; s/ \+/,/g')
start setpriv --no-new-privs --bounding-set "-all,$caps" -- "${tcpserver_cmd[@]}"
wait_listening "$plain_port" "$last_pid"

# The top of Debian's nginx.conf around the example, with everything in the
# test's directory instead of /etc, /run and /var/log.
mkdir "$it_tmp/nginx"
render "$examples/nginx-stream.conf" "$it_tmp/nginx/gemini.conf" "$nginx_port" \
    "listen 1965 " "listen [::]:1965 " /etc/nginx/gemini 127.0.0.1:1966
cat >"$it_tmp/nginx/nginx.conf" <<END
load_module $nginx_stream;
user www-data;
worker_processes 1;
pid $it_tmp/nginx/nginx.pid;
error_log $it_tmp/nginx/error.log notice;
events { worker_connections 64; }
include $it_tmp/nginx/gemini.conf;
END
nginx_args=(-p "$it_tmp/nginx/" -e "$it_tmp/nginx/error.log" -c "$it_tmp/nginx/nginx.conf")
nginx -t -q "${nginx_args[@]}" >"$it_tmp/nginx-t.out" 2>&1 || {
    cat "$it_tmp/nginx-t.out" >&2
    fail "nginx rejects nginx-stream.conf"
}
start nginx "${nginx_args[@]}" -g "daemon off;"
wait_listening "$nginx_port" "$last_pid"
check_capsule "gemini://localhost:$nginx_port" "nginx-stream.conf in front of tolm-tcpserver.service"

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
