#!/usr/bin/env bash
# tolm under a real super-server (xinetd, plain TCP on loopback), which
# hands the accepted connection over as descriptors 0, 1 and 2 alike. A
# failing request must give the client the header line alone: the error
# detail that tolm writes to standard error would otherwise follow it on
# the connection. A probe service first shows that descriptor 2 really is
# the connection here, and what xinetd tells a program (and so a CGI
# script) about the client.
#
#   superserver.sh TOLM_BINARY
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=tests/integration/lib.sh
source "$here/lib.sh"

tolm=$(realpath "${1:?usage: superserver.sh TOLM_BINARY}")
# xinetd switches each service to its "user", which only root may do.
[ "$(id -u)" -eq 0 ] || skip "needs root (xinetd)"
require xinetd socat node awk cmp

it_begin 90

root=$it_tmp/root
mkdir -p "$root"
printf 'hello\n' >"$root/hello.gmi"
cat >"$it_tmp/probe" <<'EOF'
#!/bin/sh
echo "fd 2 is the connection" >&2
echo "REMOTE_HOST=$REMOTE_HOST"
EOF
chmod 755 "$it_tmp/probe"

ports=()
for _ in 1 2 3; do
    p=$(free_port)
    while [[ " ${ports[*]} " == *" $p "* ]]; do p=$(free_port); done
    ports+=("$p")
done
files_port=${ports[0]} missing_port=${ports[1]} probe_port=${ports[2]}

service() {
    cat <<EOF
service $1
{
    type        = UNLISTED
    socket_type = stream
    protocol    = tcp
    wait        = no
    flags       = REUSE
    user        = root
    bind        = 127.0.0.1
    port        = $2
    server      = $3
${4:+    server_args = $4
}    instances   = 20
    per_source  = 10
}
EOF
}
{
    cat <<EOF
defaults
{
    log_type = FILE $it_tmp/xinetd.log
}
EOF
    service tolm-files "$files_port" "$tolm" "-d $root"
    service tolm-missing "$missing_port" "$tolm" "-d /nonexistent"
    service fd-probe "$probe_port" "$it_tmp/probe" ""
} >"$it_tmp/xinetd.conf"

xinetd -dontfork -filelog "$it_tmp/xinetd.msg" -f "$it_tmp/xinetd.conf" -pidfile "$it_tmp/xinetd.pid" &
xinetd_pid=$!
it_pids+=("$xinetd_pid")
for p in "${ports[@]}"; do wait_listening "$p" "$xinetd_pid"; done

# Each case: port, the bytes the client sends (printf format), the exact
# bytes it must receive (printf format), and what the case shows.
failures=0
check() {
    local port=$1 send=$2 want=$3 what=$4
    # shellcheck disable=SC2059
    printf "$want" >"$it_tmp/want"
    # shellcheck disable=SC2059
    printf "$send" | timeout 20 socat -t 10 - "TCP:127.0.0.1:$port" >"$it_tmp/got" 2>"$it_tmp/socat.err" || true
    if cmp -s "$it_tmp/want" "$it_tmp/got"; then
        say "ok: $what"
    else
        printf '%s: FAIL: %s\n  want: %q\n  got:  %q\n' "$it_name" "$what" "$(cat "$it_tmp/want")" \
            "$(cat "$it_tmp/got")" >&2
        failures=$((failures + 1))
    fi
}

check "$probe_port" '' 'fd 2 is the connection\nREMOTE_HOST=127.0.0.1\n' \
    "xinetd hands the connection over as descriptor 2 too, the client's address in REMOTE_HOST"
check "$files_port" 'gemini://localhost/hello.gmi\r\n' '20 text/gemini\r\nhello\n' \
    "a file is served over plain TCP"
check "$files_port" 'http://x\r\n' '59 Malformed request\r\n' \
    "malformed request: header line only, no detail"
check "$files_port" '' '59 request is too short and probably empty\r\n' \
    "empty request: header line only, no detail"
check "$missing_port" 'gemini://localhost/\r\n' '51 file not found\r\n' \
    "missing content root: header line only, no detail"

[ "$failures" -eq 0 ] || fail "$failures case(s) failed"
