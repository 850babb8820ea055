#!/usr/bin/env bash
# Real client programs against the real front ends, one row per client,
# front end and request. Over plain TCP to tcpserver, xinetd and nginx's
# stream proxy in front of tcpserver: netcat (-N), socat, ncat and a Python
# socket that keeps its side open, one that shuts it down after the line
# and one that sends more bytes after the line. Over TLS to stunnel in exec
# mode and nginx in front of tcpserver: openssl s_client and the Gemini
# client, and to stunnel also socat and ncat, which end their side once
# the line is sent (socat with a close_notify, ncat with a bare TCP end).
# Requests: a small file, a 4 MiB file, a missing file, a listing, and
# scripts that answer at once, after 2 s, and with 4 MiB.
#
# Most of these clients shut their sending side down once the line is
# sent, and every one of them must still get the whole answer. Each row
# checks the exact bytes the client got, its exit status (a reset or a
# truncated TLS stream fails it), tolm's exit status as its front end
# reports it, and exactly one request line in the captured system log
# with the byte count handed over. The front ends run side by side, each
# through its rows in turn, so that every exit report belongs to one row.
#
#   clients.sh TOLM_BINARY
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=tests/integration/lib.sh
source "$here/lib.sh"

tolm=$(realpath "${1:?usage: clients.sh TOLM_BINARY}")
[ "$(id -u)" -eq 0 ] || skip "needs root (private mount namespace for /dev/log, xinetd)"
require nc ncat socat /usr/bin/python3 openssl stunnel tcpserver xinetd nginx node unshare awk cmp
need_nginx_stream
[ -d "$here/node_modules/@derhuerst/gemini" ] || fail "the Gemini client is missing (run tests/install-deps)"
enter_private_namespace "$@"

it_begin 200
capture_syslog

# --- Content root and the answers it gives -------------------------------

root=$it_tmp/root
mkdir -p "$root/dir/sub" "$root/cgi-bin"
printf '# A small page\n\n=> dir/ Some files\n' >"$root/small.gmi"
head -c $((4 << 20)) /dev/urandom >"$root/big.bin"
printf 'alpha\n' >"$root/dir/a.txt"
printf '#!/bin/sh\nprintf "20 text/plain\\r\\nat once\\n"\n' >"$root/cgi-bin/now"
printf '#!/bin/sh\nsleep 2\nprintf "20 text/plain\\r\\nafter a pause\\n"\n' >"$root/cgi-bin/pause"
printf '#!/bin/sh\nprintf "20 application/octet-stream\\r\\n"\nexec cat %s\n' "$root/big.bin" >"$root/cgi-bin/big"
chmod 755 "$root/cgi-bin/"*

# Each request: name, path, header line, body, and the code its log line
# carries (0 for a script, which wrote the header itself); a body "@FILE"
# is that file's content. The answer as sent goes to want/NAME; the Gemini
# client prints the header with a line feed alone: want/NAME.lf.
requests=(
    "small small.gmi|20 text/gemini|@$root/small.gmi|20"
    "big big.bin|20 application/octet-stream|@$root/big.bin|20"
    "missing missing.gmi|51 file not found||51"
    "listing dir/|20 text/gemini|=> .. ../\n=> ./a.txt a.txt\n=> ./sub/ sub/\n|20"
    "now cgi-bin/now|20 text/plain|at once\n|0"
    "pause cgi-bin/pause|20 text/plain|after a pause\n|0"
    "bigcgi cgi-bin/big|20 application/octet-stream|@$root/big.bin|0"
)
want=$it_tmp/want
mkdir "$want"
declare -A path logcode
for r in "${requests[@]}"; do
    IFS='|' read -r name_path header body code <<<"$r"
    read -r name p <<<"$name_path"
    path[$name]=$p
    logcode[$name]=$code
    # shellcheck disable=SC2059 # the body is a printf format
    if [[ $body == @* ]]; then cat "${body#@}"; else printf "$body"; fi >"$want/$name.body"
    { printf '%s\r\n' "$header" && cat "$want/$name.body"; } >"$want/$name"
    { printf '%s\n' "$header" && cat "$want/$name.body"; } >"$want/$name.lf"
done

# --- Front ends ---------------------------------------------------------

openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 \
    -subj /CN=localhost -addext 'subjectAltName=DNS:localhost,IP:127.0.0.1' \
    -keyout "$it_tmp/key.pem" -out "$it_tmp/cert.pem" 2>/dev/null
ports=()
for _ in 1 2 3 4 5 6 7; do
    p=$(free_port)
    while [[ " ${ports[*]} " == *" $p "* ]]; do p=$(free_port); done
    ports+=("$p")
done
read -r tcp_port xinetd_port stunnel_port nginx_port nginx_tls_port behind_nginx behind_nginx_tls <<<"${ports[*]}"
args=(-d "$root" -i -c cgi-bin)

start() { # log file, then the command line; records the pid
    "${@:2}" >"$1" 2>&1 &
    it_pids+=("$!")
    last_pid=$!
}

# tcpserver reports each end as "end PID status WAITSTATUS" with -v. One
# instance for the clients, one behind each nginx listener, so that each
# has the exit reports of its own rows.
for entry in "tcpserver $tcp_port" "behind-nginx $behind_nginx" "behind-nginx-tls $behind_nginx_tls"; do
    read -r name p <<<"$entry"
    start "$it_tmp/$name.log" tcpserver -v -RHl0 127.0.0.1 "$p" "$tolm" "${args[@]}"
    wait_listening "$p" "$last_pid"
done

cat >"$it_tmp/xinetd.conf" <<EOF
defaults
{
    log_type       = FILE $it_tmp/xinetd.log
    log_on_success = PID EXIT
}
service tolm
{
    type        = UNLISTED
    socket_type = stream
    protocol    = tcp
    wait        = no
    flags       = REUSE
    user        = root
    bind        = 127.0.0.1
    port        = $xinetd_port
    server      = $tolm
    server_args = ${args[*]}
    instances   = 20
}
EOF
start "$it_tmp/xinetd.out" xinetd -dontfork -filelog "$it_tmp/xinetd.msg" -f "$it_tmp/xinetd.conf" \
    -pidfile "$it_tmp/xinetd.pid"
wait_listening "$xinetd_port" "$last_pid"

# TIMEOUTclose is how long stunnel still relays the answer once the client
# has ended its side (a close_notify or a bare TCP end): with 0, as in
# examples/stunnel.conf, such a client (socat, ncat) gets nothing at all,
# and ends with status 0. Level info logs each child's exit status.
cat >"$it_tmp/stunnel.conf" <<EOF
foreground = yes
syslog = no
pid =
debug = info
[tolm]
accept = 127.0.0.1:$stunnel_port
cert = $it_tmp/cert.pem
key = $it_tmp/key.pem
exec = $tolm
execArgs = tolm ${args[*]}
TIMEOUTbusy = 30
TIMEOUTidle = 30
TIMEOUTclose = 30
EOF
start "$it_tmp/stunnel.log" stunnel "$it_tmp/stunnel.conf"
wait_listening "$stunnel_port" "$last_pid"

# The plain listener passes the client's end of input on to tcpserver
# (proxy_half_close): without it nginx 1.22 ends the whole connection
# then, and a client that shuts its sending side down gets nothing from
# anything behind it. The TLS listener is left as shipped: with it, nginx
# would end the TLS stream without a close_notify.
mkdir "$it_tmp/nginx"
cat >"$it_tmp/nginx/gemini.conf" <<EOF
stream {
    server {
        listen 127.0.0.1:$nginx_port;
        proxy_half_close on;
        proxy_timeout 30s;
        proxy_pass 127.0.0.1:$behind_nginx;
    }
    server {
        listen 127.0.0.1:$nginx_tls_port ssl;
        ssl_certificate $it_tmp/cert.pem;
        ssl_certificate_key $it_tmp/key.pem;
        proxy_timeout 30s;
        proxy_pass 127.0.0.1:$behind_nginx_tls;
    }
}
EOF
nginx_main_conf "$it_tmp/nginx" 64
start "$it_tmp/nginx/nginx.out" nginx -p "$it_tmp/nginx/" -e "$it_tmp/nginx/error.log" \
    -c "$it_tmp/nginx/nginx.conf" -g "daemon off;"
wait_listening "$nginx_port" "$last_pid"
wait_listening "$nginx_tls_port" "$last_pid"

# The exit reports of front end $1 so far, one a line: 0 for a clean exit,
# else what the front end says.
exits() {
    case $1 in
    tcpserver | behind-nginx | behind-nginx-tls)
        awk '$1 == "tcpserver:" && $2 == "end" { print ($5 == 0 ? 0 : "wait status " $5) }' "$it_tmp/$1.log" ;;
    xinetd)
        awk '/ EXIT: / { for (i = 1; i <= NF; i++) if ($i ~ /^(status|signal)=/) print ($i == "status=0" ? 0 : $i) }' \
            "$it_tmp/xinetd.log" ;;
    stunnel)
        awk '/Child process [0-9]+ finished with code/ { print ($NF == 0 ? 0 : "code " $NF) }
             /Child process [0-9]+ terminated/ { print "signal " $NF }' "$it_tmp/stunnel.log" ;;
    esac
}

# --- Clients ------------------------------------------------------------

# Each: port and URL; the answer on standard output, the client's own exit
# status. socat's -t is how long it waits for the answer after its own
# input ended; s_client's -quiet keeps it reading then. Python is Debian's
# own: a python3 found first on PATH may be a version manager's shim, which
# takes seconds to start on a busy machine.
client() {
    local kind=$1 port=$2 url=$3 t=(timeout 60)
    case $kind in
    nc) line "$url" | "${t[@]}" nc -N 127.0.0.1 "$port" ;;
    socat) line "$url" | "${t[@]}" socat -t 60 - "TCP:127.0.0.1:$port" ;;
    ncat) line "$url" | "${t[@]}" ncat 127.0.0.1 "$port" ;;
    py-open | py-half | py-stray) "${t[@]}" /usr/bin/python3 -I "$here/socket-client.py" "${kind#py-}" "$port" "$url" ;;
    s_client) line "$url" | "${t[@]}" openssl s_client -quiet -servername localhost -connect "127.0.0.1:$port" ;;
    gemini) "${t[@]}" node "$here/gemini-get.mjs" "$url" ;;
    socat-tls) line "$url" | "${t[@]}" socat -t 60 - "OPENSSL:127.0.0.1:$port,verify=0" ;;
    ncat-tls) line "$url" | "${t[@]}" ncat --ssl 127.0.0.1 "$port" ;;
    esac
}
line() { printf '%s\r\n' "$1"; }

# --- Rows ---------------------------------------------------------------

failed=$it_tmp/failed
: >"$failed"

# Front end $1 (its exit reports) on port $2, client $3, request $4.
row() {
    local fe=$1 port=$2 kind=$3 req=$4 url before after status problems=() expect dir logged got
    dir=$it_tmp/rows/$fe.$kind.$req
    mkdir -p "$dir"
    url="gemini://localhost/${path[$req]}?$fe.$kind"
    expect=$want/$req
    if [ "$kind" = gemini ]; then
        url="gemini://localhost:$port/${path[$req]}?$fe.$kind"
        expect=$want/$req.lf
    fi
    before=$(exits "$fe" | wc -l)
    status=0
    client "$kind" "$port" "$url" >"$dir/got" 2>"$dir/err" </dev/null || status=$?
    [ "$status" -eq 0 ] || problems+=("the client exited with status $status: $(tail -n 2 "$dir/err" | tr '\n' ' ')")
    if ! cmp -s "$expect" "$dir/got"; then
        problems+=("got $(wc -c <"$dir/got") bytes, not the $(wc -c <"$expect") expected: $( (cmp "$expect" "$dir/got" 2>&1 || true) | head -n 1)")
    fi
    for _ in $(seq 1 300); do
        after=$(exits "$fe" | wc -l)
        [ "$after" -le "$before" ] || break
        sleep 0.1
    done
    if [ "$after" -ne $((before + 1)) ]; then
        problems+=("$((after - before)) runs of tolm ended, not 1")
    elif [ "$(exits "$fe" | tail -n 1)" != 0 ]; then
        problems+=("tolm did not exit cleanly: $(exits "$fe" | tail -n 1)")
    fi
    # One request line, with the size of the whole answer as sent.
    logged="\"$url\" ${logcode[$req]} $(wc -c <"$want/$req")"
    for _ in $(seq 1 200); do
        ! grep -q -F -- "\"$url\"" "$it_tmp/syslog" || break
        sleep 0.1
    done
    got=$(grep -F -- "\"$url\"" "$it_tmp/syslog" | sed 's/^<30>tolm: //')
    [ "$got" = "$logged" ] || problems+=("logged [$got], not [$logged]")
    if [ "${#problems[@]}" -eq 0 ]; then
        say "ok: $fe, $kind, $req"
    else
        printf '%s: FAIL: %s, %s, %s:\n' "$it_name" "$fe" "$kind" "$req" >&2
        printf '    %s\n' "${problems[@]}" >&2
        echo "$fe $kind $req" >>"$failed"
    fi
}

# Front end, the port its clients use, and its clients. The clients that
# keep their side open are tried where the connection is tolm's own and
# behind nginx; those that end it, everywhere. stunnel 5.68 loses the end
# of a long answer when the client has ended its side first: once both
# directions of its connection to tolm are shut (the client's end passed
# on, then tolm's), it takes that connection as closed, drops what is
# still queued there unread, and ends the TLS stream cleanly (seen: 63 KB
# to 1.2 MB of 4 MiB missing, 1 run in 4). Such clients (kind:short) get
# only the short answers there.
frontends=(
    "tcpserver $tcp_port nc socat ncat py-open py-half py-stray"
    "xinetd $xinetd_port nc socat ncat py-half py-stray"
    "behind-nginx $nginx_port nc socat ncat py-half py-stray"
    "stunnel $stunnel_port s_client gemini socat-tls:short ncat-tls:short"
    "behind-nginx-tls $nginx_tls_port s_client gemini"
)
all=()
for r in "${requests[@]}"; do all+=("${r%% *}"); done
short=(small missing listing now pause)
rows=0
workers=()
for f in "${frontends[@]}"; do
    read -r fe port kinds <<<"$f"
    for kind in $kinds; do
        if [[ $kind == *:short ]]; then rows=$((rows + ${#short[@]})); else rows=$((rows + ${#all[@]})); fi
    done
    (
        for kind in $kinds; do
            if [[ $kind == *:short ]]; then reqs=("${short[@]}"); else reqs=("${all[@]}"); fi
            for req in "${reqs[@]}"; do row "$fe" "$port" "${kind%:short}" "$req"; done
        done
    ) &
    workers+=("$!")
    it_pids+=("$!")
done
broken=()
for w in "${workers[@]}"; do wait "$w" || broken+=("a worker ended early (pid $w)"); done

# Nothing but one request line per row, also none that came late.
if [ "$(grep -c -v -E '^<30>tolm: "gemini://' "$it_tmp/syslog")" -ne 0 ]; then
    grep -v -E '^<30>tolm: "gemini://' "$it_tmp/syslog" | head -n 20 >&2
    broken+=("unexpected lines in the system log")
fi
lines=$(grep -c -E '^<30>tolm: "gemini://' "$it_tmp/syslog" || true)
[ "$lines" -eq "$rows" ] || broken+=("$lines request lines for $rows rows")

[ ! -s "$failed" ] || broken+=("$(wc -l <"$failed") of $rows rows failed: $(paste -s -d ';' "$failed")")
[ "${#broken[@]}" -eq 0 ] || fail "$(printf '%s; ' "${broken[@]}")"
say "ok: $rows rows, each client got its whole answer"
