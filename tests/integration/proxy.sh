#!/usr/bin/env bash
# tolm -p behind the real front ends that send a PROXY protocol header:
# haproxy (send-proxy-v2, with and without a client certificate), stunnel
# (protocol = proxy) and nginx's stream module (proxy_protocol on), each in
# front of tcpserver. The client connects from 127.0.0.2, the proxies from
# 127.0.0.1: a script must see the client's address, and with a
# certificate the fingerprint that openssl x509 -outform der | sha256sum
# gives; files and the log line stay as without -p.
#
#   proxy.sh TOLM_BINARY
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=tests/integration/lib.sh
source "$here/lib.sh"

tolm=$(realpath "${1:?usage: proxy.sh TOLM_BINARY}")
[ "$(id -u)" -eq 0 ] || skip "needs root (private mount namespace for /dev/log, nginx)"
require haproxy stunnel nginx tcpserver openssl socat node unshare sha256sum
[ -d "$here/node_modules/@derhuerst/gemini" ] || fail "the Gemini client is missing (run tests/install-deps)"
need_nginx_stream
enter_private_namespace "$@"

it_begin 150
capture_syslog

root=$it_tmp/root
mkdir -p "$root/cgi-bin"
chmod 755 "$root" "$root/cgi-bin"
printf '# home\n' >"$root/index.gmi"
cat >"$root/cgi-bin/who" <<'EOF'
#!/bin/sh
printf '20 text/plain\r\n'
for v in REMOTE_ADDR REMOTE_HOST REMOTE_PORT AUTH_TYPE TLS_CLIENT_HASH REMOTE_USER TLS_VERSION TCPREMOTEIP; do
    eval "[ -z \"\${$v+set}\" ] || printf '%s=%s\n' $v \"\$$v\""
done
EOF
chmod 755 "$root/cgi-bin/who"

openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 \
    -subj /CN=localhost -keyout "$it_tmp/key.pem" -out "$it_tmp/cert.pem" 2>/dev/null
cat "$it_tmp/cert.pem" "$it_tmp/key.pem" >"$it_tmp/server.pem"
# A self-made client certificate, as Gemini clients make them.
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 \
    -subj /CN=visitor -keyout "$it_tmp/client-key.pem" -out "$it_tmp/client.pem" 2>/dev/null
fingerprint=$(openssl x509 -in "$it_tmp/client.pem" -outform der | sha256sum | cut -d' ' -f1)

# One tcpserver on loopback, started as the examples start it, for every
# proxy: what it sets names the proxy, and -p must override it.
plain=$(free_port)
tcpserver -q -c 40 -H -R 127.0.0.1 "$plain" "$tolm" -p -d "$root" -c cgi-bin >"$it_tmp/tcpserver.out" 2>&1 &
it_pids+=("$!")
wait_listening "$plain" "$!"

# haproxy terminates TLS, asks for a certificate and takes any.
ha=$(free_port)
cat >"$it_tmp/haproxy.cfg" <<EOF
global
    log stdout format raw local0 err
defaults
    mode tcp
    timeout connect 5s
    timeout client 30s
    timeout server 30s
frontend gemini
    bind 127.0.0.1:$ha ssl crt $it_tmp/server.pem verify optional ca-file $it_tmp/cert.pem ca-ignore-err all crt-ignore-err all
    unique-id-format %[ssl_c_der,sha2(256),hex]
    default_backend tolm
backend tolm
    server local 127.0.0.1:$plain send-proxy-v2 proxy-v2-options unique-id,ssl,cert-cn
EOF
haproxy -db -f "$it_tmp/haproxy.cfg" >"$it_tmp/haproxy.log" 2>&1 &
it_pids+=("$!")
wait_listening "$ha" "$!"

st=$(free_port)
cat >"$it_tmp/stunnel.conf" <<EOF
foreground = quiet
syslog = no
output = $it_tmp/stunnel.log
pid =
[gemini]
accept = 127.0.0.1:$st
connect = 127.0.0.1:$plain
protocol = proxy
cert = $it_tmp/cert.pem
key = $it_tmp/key.pem
EOF
stunnel "$it_tmp/stunnel.conf" &
it_pids+=("$!")
wait_listening "$st" "$!"

ng=$(free_port)
mkdir -p "$it_tmp/nginx"
nginx_main_conf "$it_tmp/nginx" 64
cat >"$it_tmp/nginx/gemini.conf" <<EOF
stream {
    server {
        listen 127.0.0.1:$ng ssl;
        ssl_certificate $it_tmp/cert.pem;
        ssl_certificate_key $it_tmp/key.pem;
        proxy_pass 127.0.0.1:$plain;
        proxy_protocol on;
    }
}
EOF
nginx -c "$it_tmp/nginx/nginx.conf" -g 'daemon off;' &
it_pids+=("$!")
wait_listening "$ng" "$!"

# The client's side: a relay that connects to a proxy from 127.0.0.2.
from2() { # PROXY_PORT RELAY_PORT
    socat "TCP-LISTEN:$2,bind=127.0.0.1,reuseaddr,fork" "TCP:127.0.0.1:$1,bind=127.0.0.2" \
        >"$it_tmp/socat-$1.log" 2>&1 &
    it_pids+=("$!")
    wait_listening "$2" "$!"
}
ha2=$(free_port)
from2 "$ha" "$ha2"
st2=$(free_port)
from2 "$st" "$st2"
ng2=$(free_port)
from2 "$ng" "$ng2"

s_client() { # PORT URL [openssl options]
    local port=$1 url=$2
    shift 2
    printf '%s\r\n' "$url" | timeout 30 openssl s_client -quiet -connect "127.0.0.1:$port" \
        -servername localhost "$@" 2>/dev/null
}
expect_who() { # WHAT GOT WANT-LINES...
    local what=$1 got=$2
    shift 2
    local want
    want=$(printf '20 text/plain\r\n'; printf '%s\n' "$@")
    [ "$got" = "$want" ] || fail "$what: the script saw"$'\n'"$got"$'\n'"expected"$'\n'"$want"
    say "ok: $what"
}
port_of() { sed -n 's/^REMOTE_PORT=\([0-9]*\)$/\1/p' <<<"$1"; }

got=$(s_client "$ha2" gemini://localhost/cgi-bin/who -cert "$it_tmp/client.pem" -key "$it_tmp/client-key.pem")
expect_who "haproxy, openssl s_client with a certificate" "$got" REMOTE_ADDR=127.0.0.2 \
    REMOTE_HOST=127.0.0.2 "REMOTE_PORT=$(port_of "$got")" AUTH_TYPE=Certificate \
    "TLS_CLIENT_HASH=$fingerprint" REMOTE_USER=visitor TLS_VERSION=TLSv1.3 TCPREMOTEIP=127.0.0.1
[ -n "$(port_of "$got")" ] || fail "no REMOTE_PORT"

got=$(s_client "$ha2" gemini://localhost/cgi-bin/who)
expect_who "haproxy, openssl s_client without a certificate" "$got" REMOTE_ADDR=127.0.0.2 \
    REMOTE_HOST=127.0.0.2 "REMOTE_PORT=$(port_of "$got")" TLS_VERSION=TLSv1.3 TCPREMOTEIP=127.0.0.1

got=$(timeout 60 node "$here/gemini-get.mjs" --cert "$it_tmp/client.pem" --key "$it_tmp/client-key.pem" \
    "gemini://localhost:$ha2/cgi-bin/who" | tr -d '\r')
if ! grep -q -x "TLS_CLIENT_HASH=$fingerprint" <<<"$got" || ! grep -q -x REMOTE_ADDR=127.0.0.2 <<<"$got"; then
    fail "haproxy, Gemini client with a certificate: the script saw"$'\n'"$got"
fi
say "ok: haproxy, the Gemini client with a certificate"

got=$(s_client "$st2" gemini://localhost/cgi-bin/who)
expect_who "stunnel protocol = proxy" "$got" REMOTE_ADDR=127.0.0.2 REMOTE_HOST=127.0.0.2 \
    "REMOTE_PORT=$(port_of "$got")" TCPREMOTEIP=127.0.0.1

got=$(s_client "$ng2" gemini://localhost/cgi-bin/who)
expect_who "nginx proxy_protocol on" "$got" REMOTE_ADDR=127.0.0.2 REMOTE_HOST=127.0.0.2 \
    "REMOTE_PORT=$(port_of "$got")" TCPREMOTEIP=127.0.0.1

# Files and their log lines are as without -p, through each proxy.
for port in "$ha2" "$st2" "$ng2"; do
    got=$(s_client "$port" "gemini://localhost/?$port")
    [ "$got" = "$(printf '20 text/gemini\r\n# home\n')" ] || fail "a file through port $port: $got"
done
say "ok: a file through each proxy"

# Every run left one request line, none a detail.
prefix='^<30>tolm(\[[0-9]+\])?: '
wait_syslog 8 10 "$prefix" || true
grep -E -- "$prefix" "$it_tmp/syslog" | sed -E "s/$prefix//" | sort >"$it_tmp/got.log"
{
    for _ in 1 2 3 4; do echo '"gemini://localhost/cgi-bin/who" 0'; done
    echo "\"gemini://localhost:$ha2/cgi-bin/who\" 0"
    for port in "$ha2" "$st2" "$ng2"; do echo "\"gemini://localhost/?$port\" 20 23"; done
} | sort >"$it_tmp/want.log"
# A script's byte count depends on the port it printed.
sed -i -E 's/^("gemini:\/\/localhost(:[0-9]+)?\/cgi-bin\/who" 0) [0-9]+$/\1/' "$it_tmp/got.log"
diff -u "$it_tmp/want.log" "$it_tmp/got.log" || fail "the log does not hold one request line per run"
if grep -v -E -- "$prefix" "$it_tmp/syslog" | grep -q .; then
    grep -v -E -- "$prefix" "$it_tmp/syslog" >&2
    fail "unexpected messages in the system log"
fi
say "ok: one request line per run in the system log, no detail"
