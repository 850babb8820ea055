#!/usr/bin/env bash
# tolm's log lines through real log daemons, each listening on a private
# /dev/log: rsyslog on a datagram socket (imuxsock) and on a stream socket
# (imptcp), busybox's syslogd on a datagram socket. tolm sends no time
# stamp; each daemon must stamp the line itself, with the time of the run,
# and keep facility, level, tag and message as tolm sent them.
#
#   logdaemons.sh TOLM_BINARY...
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=tests/integration/lib.sh
source "$here/lib.sh"

[ "$#" -gt 0 ] || fail "usage: logdaemons.sh TOLM_BINARY..."
binaries=()
for binary in "$@"; do
    binaries+=("$(realpath "$binary")")
done
# A private mount namespace, for a /dev/log of our own; -u needs root too.
[ "$(id -u)" -eq 0 ] || skip "needs root (private /dev/log, chroot)"
require rsyslogd busybox date awk unshare
enter_private_namespace "${binaries[@]}"

it_begin 150
private_dev
root=$it_tmp/root
mkdir -p "$root"
printf 'text\n' >"$root/a.txt"
out=$it_tmp/daemon.out

# Starts a log daemon in the foreground and waits for its /dev/log.
daemon_pid=
start_daemon() {
    rm -f /dev/log "$out"
    "$@" &
    daemon_pid=$!
    it_pids+=("$daemon_pid")
    for _ in $(seq 1 100); do
        [ -S /dev/log ] && return 0
        kill -0 "$daemon_pid" 2>/dev/null || fail "$1 ended before it made /dev/log"
        sleep 0.1
    done
    fail "$1 made no /dev/log in 10 s"
}

stop_daemon() {
    kill "$daemon_pid"
    wait "$daemon_pid" 2>/dev/null || true
    rm -f /dev/log
}

# rsyslog writes each line as "UNIX-TIME FACILITY.LEVEL TAG+MESSAGE", its
# own messages left out; $1 is the input of /dev/log.
rsyslog_conf() {
    cat <<EOF
global(workDirectory="$it_tmp/rsyslog")
module(load="$2")
$1
template(name="line" type="string"
         string="%timereported:::date-unixtimestamp% %syslogfacility-text%.%syslogseverity-text% %syslogtag%%msg%\n")
if \$syslogfacility-text != "syslog" then action(type="omfile" file="$out" template="line")
EOF
}
mkdir -p "$it_tmp/rsyslog"
rsyslog_conf 'input(type="imuxsock" socket="/dev/log")' imuxsock >"$it_tmp/rsyslog-datagram.conf"
# tolm ends each line on a stream with a NUL byte.
rsyslog_conf 'input(type="imptcp" path="/dev/log" unlink="on" fileCreateMode="0666" addtlFrameDelimiter="0")' \
    imptcp >"$it_tmp/rsyslog-stream.conf"

# Lines in the daemon's output as "UNIX-TIME FACILITY.LEVEL TAG+MESSAGE".
daemon_lines() {
    case $daemon in
    busybox)
        # "Mmm dd hh:mm:ss HOST FACILITY.LEVEL TAG+MESSAGE", in local time;
        # its own lines at syslog.* left out.
        while IFS= read -r line; do
            rest=${line:16}
            rest=${rest#* }
            [[ $rest != syslog.* ]] || continue
            printf '%s %s\n' "$(date -d "${line:0:15}" +%s)" "$rest"
        done <"$out"
        ;;
    *) cat "$out" ;;
    esac
}

# Runs tolm on request $1 with options $2, then waits for the daemon to
# write the expected lines $3... ("FACILITY.LEVEL TAG+MESSAGE"): each must
# be there, in order, stamped between the run's start and end.
expect_lines() {
    local input=$1 options=$2 before after got stamp text i
    shift 2
    local expected=("$@")
    before=$(date +%s)
    # shellcheck disable=SC2086 # the options are words
    printf '%s' "$input" | "$tolm" -d "$root" $options >/dev/null 2>&1 || true
    after=$(date +%s)
    for _ in $(seq 1 100); do
        [ -f "$out" ] && [ "$(daemon_lines | wc -l)" -ge "$((seen + ${#expected[@]}))" ] && break
        sleep 0.1
    done
    mapfile -t got < <(daemon_lines | tail -n "+$((seen + 1))")
    [ "${#got[@]}" -eq "${#expected[@]}" ] ||
        fail "$case: ${#got[@]} lines instead of ${#expected[@]}: ${got[*]}"
    for i in "${!expected[@]}"; do
        stamp=${got[$i]%% *}
        text=${got[$i]#* }
        [ "$text" = "${expected[$i]}" ] || fail "$case: line $i is '$text', not '${expected[$i]}'"
        # Whole seconds: one either side of the run.
        if [ "$stamp" -lt "$((before - 1))" ] || [ "$stamp" -gt "$((after + 1))" ]; then
            fail "$case: line $i stamped $stamp, the run was from $before to $after"
        fi
    done
    seen=$((seen + ${#expected[@]}))
}

for tolm in "${binaries[@]}"; do
    build=$(basename "$(dirname "$tolm")")
    for daemon in rsyslog-datagram rsyslog-stream busybox; do
        case $daemon in
        busybox) start_daemon busybox syslogd -n -O "$out" ;;
        *) start_daemon rsyslogd -n -f "$it_tmp/$daemon.conf" -i "$it_tmp/rsyslog.pid" ;;
        esac
        seen=0
        request="gemini://h/a.txt?$daemon-$build"
        case="$build, $daemon, answered"
        expect_lines "$request"$'\r\n' "" "daemon.info tolm: \"$request\" 20 20"
        case="$build, $daemon, refused"
        expect_lines "" "" 'daemon.info tolm: "" 59 44' "user.err tolm: request is too short and probably empty"
        case="$build, $daemon, after chroot"
        request="gemini://h/missing?$daemon-$build"
        expect_lines "$request"$'\n' "-u nobody" "daemon.info tolm: \"$request\" 51 19"
        stop_daemon
        say "ok: $build tolm through $daemon: stamped by the daemon, facility, level, tag and message as sent"
    done
done
