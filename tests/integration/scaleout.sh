#!/usr/bin/env bash
# examples/scale-out/haproxy.cfg balancing two hosts, each simulated on a
# loopback address of its own (127.0.0.2 and 127.0.0.3) running the shipped
# stack: nginx-stream.conf in front of tcpserver as
# tcpserver/tolm-tcpserver.service runs it, tolm chrooted into the content
# root. Both hosts have the same certificate and content, and each its own
# system log (a mount namespace with its own /dev/log). Through the
# balancer, with TLS passed through, a Gemini client fetches a few hundred
# pages; every answer must be whole and correct, both hosts must have
# served, and their logs together must hold every request once (or tolm
# must have reported it dropped by a log daemon too slow to take it); and
# a script on a host sees the address the client connects from, passed on
# by PROXY protocol headers from the balancer to nginx and from nginx to
# tolm -p.
#
#   scaleout.sh TOLM_BINARY
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=tests/integration/lib.sh
source "$here/lib.sh"

tolm=$(realpath "${1:?usage: scaleout.sh TOLM_BINARY}")
examples=$(cd "$here/../../examples" && pwd)
[ "$(id -u)" -eq 0 ] || skip "needs root (chroot, mount namespaces, haproxy)"
require haproxy nginx tcpserver setpriv openssl node unshare socat sha256sum
need_nginx_stream
[ -d "$here/node_modules/@derhuerst/gemini" ] || fail "the Gemini client is missing (run tests/install-deps)"
enter_private_namespace "$@"

it_begin 150
# The balancer's own log, kept apart from the machine's.
capture_syslog

rounds=75 # four pages each: 300 fetches
jobs=8    # at a time; each host's nginx allows 16 per client address

openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 \
    -subj /CN=localhost -addext 'subjectAltName=DNS:localhost' \
    -keyout "$it_tmp/gemini.key" -out "$it_tmp/gemini.crt" 2>/dev/null

tls_port=$(free_port)
plain_port=$(free_port)
lb_port=$(free_port)
[ "$(printf '%s\n' "$tls_port" "$plain_port" "$lb_port" | sort -u | wc -l)" -eq 3 ] || fail "free_port gave one port twice"

# Writes example $1 to $2 for the host at address $3.
render_host() {
    sed -e "s|listen 1965 |listen $3:$tls_port |" -e '/listen \[::\]:1965 /d' \
        -e "s|127.0.0.1:1966|$3:$plain_port|; s|127.0.0.1 1966 |$3 $plain_port |" \
        -e "s|/etc/nginx/gemini|$it_tmp/gemini|g" -e "s|/usr/local/sbin/tolm|$tolm|" \
        -e "s|-u _tolm|-u nobody|" -e "s|/srv/gemini|$host_dir/jail|" "$1" >"$2"
}

# Starts a host's processes in a mount namespace of its own, where
# /dev/log is the host's own log, captured in its syslog file.
host_start() { # COMMAND...
    # shellcheck disable=SC2016 # expanded by the inner shell
    unshare --mount --propagation private -- bash -c '
        set -euo pipefail
        source "$1"
        it_tmp=$2 it_name=$3
        shift 3
        capture_syslog
        "$@" &
        it_pids+=("$!")
        trap "kill \${it_pids[*]} 2>/dev/null; exit 0" TERM INT
        wait' host "$here/lib.sh" "$host_dir" "scaleout-$(basename "$host_dir")" "$@" \
        >>"$host_dir/host.out" 2>&1 &
    it_pids+=("$!")
    last_pid=$!
}

unit=$examples/tcpserver/tolm-tcpserver.service
caps=$(sed -n 's/^CapabilityBoundingSet=//p' "$unit" | tr '[:upper:]' '[:lower:]' | sed 's/cap_/+/g; s/ \+/,/g')
for address in 127.0.0.2 127.0.0.3; do
    host_dir=$it_tmp/$address
    mkdir -p "$host_dir/jail" "$host_dir/nginx"
    cp -a "$examples/capsule/." "$host_dir/jail/"
    # A script that tells the address it sees, run in the chroot by busybox.
    "$examples/chroot/populate" --busybox "$host_dir/jail" >/dev/null
    printf '#!/bin/sh\nprintf "20 text/plain\\r\\n%%s %%s\\n" "$REMOTE_ADDR" "$SERVER_NAME"\n' \
        >"$host_dir/jail/cgi-bin/addr"
    chmod 755 "$host_dir/jail/cgi-bin/addr"
    render_host "$unit" "$host_dir/tolm-tcpserver.service" "$address"
    read -r -a tcpserver_cmd < <(sed -n 's/^ExecStart=//p' "$host_dir/tolm-tcpserver.service")
    host_start setpriv --no-new-privs --bounding-set "-all,$caps" -- "${tcpserver_cmd[@]}"
    wait_listening "$plain_port" "$last_pid"

    # As examples/README.md has the hosts take the balancer's PROXY header.
    render_host "$examples/nginx-stream.conf" "$host_dir/nginx/gemini.conf" "$address"
    grep -q -x '        listen 1965 ssl;' "$examples/nginx-stream.conf" ||
        fail "nginx-stream.conf no longer holds the listen line examples/README.md changes for scale-out"
    sed -i -e "s|^\(        listen $address:$tls_port ssl\);|\1 proxy_protocol;\n        set_real_ip_from 127.0.0.1;|" \
        "$host_dir/nginx/gemini.conf"
    grep -q 'set_real_ip_from' "$host_dir/nginx/gemini.conf" || fail "the host's nginx takes no PROXY header"
    nginx_main_conf "$host_dir/nginx" 256
    nginx -p "$host_dir/nginx/" -e "$host_dir/nginx/error.log" -c "$host_dir/nginx/nginx.conf" -g "daemon off;" \
        >"$host_dir/nginx.out" 2>&1 &
    it_pids+=("$!")
    wait_listening "$tls_port" "$!"
done

sed -e "s|bind :::1965 v4v6|bind 127.0.0.1:$lb_port|" \
    -e "s|192.0.2.1:1965|127.0.0.2:$tls_port|; s|192.0.2.2:1965|127.0.0.3:$tls_port|" \
    "$examples/scale-out/haproxy.cfg" >"$it_tmp/haproxy.cfg"
for name in "bind :::1965 v4v6" 192.0.2.1:1965 192.0.2.2:1965 "mode tcp"; do
    grep -q -F -- "$name" "$examples/scale-out/haproxy.cfg" || fail "haproxy.cfg no longer holds '$name'"
done
grep -q -E '^\s*bind .*ssl' "$it_tmp/haproxy.cfg" && fail "haproxy.cfg terminates TLS; it should pass it through"
haproxy -c -q -f "$it_tmp/haproxy.cfg" >"$it_tmp/haproxy-c.out" 2>&1 || fail "haproxy rejects haproxy.cfg:"$'\n'"$(cat "$it_tmp/haproxy-c.out")"
haproxy -db -f "$it_tmp/haproxy.cfg" >"$it_tmp/haproxy.out" 2>&1 &
it_pids+=("$!")
wait_listening "$lb_port" "$!"

# Dumps what each process logged, for a failure.
logs() {
    local f
    for f in "$it_tmp/haproxy.out" "$it_tmp"/127.*/host.out "$it_tmp"/127.*/nginx/error.log "$it_tmp"/syslog; do
        [ -s "$f" ] && printf '%s\n' "--- ${f#"$it_tmp"/}" && tail -n 15 "$f"
    done
    return 0
}

base=gemini://localhost:$lb_port
pages=("/" /docs/ /about.gmi /files/gradient.png)
files=(index.gmi docs/index.gmi about.gmi files/gradient.png)
metas=("text/gemini; lang=en" "text/gemini; lang=en" "text/gemini; lang=en" image/png)
urls=()
for _ in $(seq "$rounds"); do
    for page in "${pages[@]}"; do urls+=("$base$page"); done
done
timeout 120 node "$here/gemini-get.mjs" --jobs "$jobs" --report "${urls[@]}" >"$it_tmp/got" 2>"$it_tmp/got.err" ||
    fail "fetches through the balancer failed:"$'\n'"$(head -n 5 "$it_tmp/got.err")"$'\n'"$(logs)"
[ "$(wc -l <"$it_tmp/got")" -eq "${#urls[@]}" ] || fail "$(wc -l <"$it_tmp/got") answers for ${#urls[@]} fetches"
# Every answer as the file is: header, length and hash.
for i in "${!pages[@]}"; do
    file=$examples/capsule/${files[$i]}
    want=$(printf '%s\t20\t%s\t%s\t%s' "$base${pages[$i]}" "${metas[$i]}" "$(stat -c %s "$file")" \
        "$(sha256sum <"$file" | cut -d' ' -f1)")
    got=$(grep -c -x -F -- "$want" "$it_tmp/got" || true)
    [ "$got" -eq "$rounds" ] || fail "${pages[$i]}: $got of $rounds answers whole and correct; others:"$'\n'"$(grep -v -x -F -- "$want" "$it_tmp/got" | grep -F "$base${pages[$i]}	" | head -n 3)"
done
say "ok: ${#urls[@]} fetches through haproxy, every answer whole and correct"

# The client's own address reaches a script on the host, through the
# balancer's header, the host's nginx and tolm -p; the client connects
# from another loopback address than the balancer's.
for _ in 1 2; do # leastconn may take either host
    got=$( (printf 'gemini://localhost/cgi-bin/addr\r\n'; sleep 3) |
        timeout 30 socat - "OPENSSL:127.0.0.1:$lb_port,verify=0,snihost=localhost,bind=127.0.0.5" 2>&1 | tr -d '\r' || true)
    [ "$got" = $'20 text/plain\n127.0.0.5 localhost' ] ||
        fail "a script behind the balancer sees: $got"$'\n'"$(logs)"
done
say "ok: a script on the hosts sees the client's own address, not the balancer's"

# Each host's log: one line per request it answered. A line the log daemon
# did not take within the run's allowance is dropped, and tolm says so on
# standard error, which tcpserver passes on to the host's output: on a busy
# machine the capture (a process per datagram) falls behind. Only a line
# neither logged nor reported dropped is lost.
line="\"$base/[^\"]*\" 20 [0-9]+$"
logged="^<30>tolm(\\[[0-9]+\\])?: $line"
dropped="^log daemon too slow, line dropped: $line"
count() { # PATTERN FILE
    grep -c -E -- "$1" "$2" || true
}
for _ in $(seq 1 100); do
    total=0
    for address in 127.0.0.2 127.0.0.3; do
        total=$((total + $(count "$logged" "$it_tmp/$address/syslog") + $(count "$dropped" "$it_tmp/$address/host.out")))
    done
    [ "$total" -ge "${#urls[@]}" ] && break
    sleep 0.1
done
counts=()
drops=0
for address in 127.0.0.2 127.0.0.3; do
    n=$(count "$logged" "$it_tmp/$address/syslog")
    d=$(count "$dropped" "$it_tmp/$address/host.out")
    [ $((n + d)) -gt 0 ] || fail "the host at $address served nothing:"$'\n'"$(logs)"
    counts+=("$address: $n")
    drops=$((drops + d))
done
[ "$total" -eq "${#urls[@]}" ] || fail "the hosts logged $total requests, $drops of them reported dropped, for ${#urls[@]} fetches (${counts[*]})"
say "ok: both hosts served, each request logged once or reported dropped (${counts[*]}; $drops dropped by a slow log daemon)"
