# Shared by the integration tests: temporary directory, processes ended by
# their pid, a watchdog, loopback ports and a private /dev/log. When a test
# fails, the logs its servers left in the temporary directory (*.log,
# *.msg, *.out and the captured system log, where tolm's lines go) are
# shown before the directory goes; TOLM_IT_KEEP=1 keeps the directory.
# shellcheck shell=bash

it_name=$(basename "$0" .sh)
it_pids=()
it_tmp=

say() { printf '%s: %s\n' "$it_name" "$*"; }
fail() {
    printf '%s: FAIL: %s\n' "$it_name" "$*" >&2
    exit 1
}
skip() {
    printf '%s: SKIP: %s\n' "$it_name" "$*"
    exit 77
}

# The servers' own logs in the temporary directory, each under its name,
# the last lines of a long one.
it_show_logs() {
    local log lines
    [ -n "$it_tmp" ] && [ -d "$it_tmp" ] || return 0
    while IFS= read -r log; do
        lines=$(wc -l <"$log")
        if [ "$lines" -gt 60 ]; then
            printf '%s: --- %s (last 60 of %d lines)\n' "$it_name" "$log" "$lines" >&2
        else
            printf '%s: --- %s\n' "$it_name" "$log" >&2
        fi
        tail -n 60 "$log" >&2
    done < <(find "$it_tmp" -maxdepth 2 -type f -size +0 \( -name '*.log' -o -name '*.msg' -o -name '*.out' \
        -o -name syslog \) | sort)
}

# On every exit: ends the servers, shows their logs if the test failed,
# runs the test's own it_after_stop if it has one, removes the directory.
# A server's own children (socat's per-datagram ones, the shells and awk
# they start) go with it: left behind, they keep the test's output open
# and ctest waits for them.
descendants() {
    local child
    for child in $(pgrep -P "$1"); do
        descendants "$child"
        echo "$child"
    done
}

it_cleanup() {
    # A name of its own: it_after_stop runs in its scope and may set status.
    local it_status=$? pid
    local -a children=()
    for pid in "${it_pids[@]}"; do
        mapfile -t -O "${#children[@]}" children < <(descendants "$pid")
    done
    for pid in "${it_pids[@]}"; do
        kill "$pid" 2>/dev/null || true
    done
    for pid in "${children[@]}"; do
        kill "$pid" 2>/dev/null || true
    done
    for pid in "${it_pids[@]}"; do
        for _ in $(seq 1 50); do
            kill -0 "$pid" 2>/dev/null || break
            sleep 0.1
        done
        kill -KILL "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
    if [ "$it_status" -ne 0 ] && [ "$it_status" -ne 77 ]; then
        it_show_logs
    fi
    if declare -F it_after_stop >/dev/null; then
        it_after_stop || it_status=1
    fi
    if [ -n "$it_tmp" ] && [ -n "${TOLM_IT_KEEP:-}" ]; then
        umount -R "$it_tmp/dev" 2>/dev/null || true
        printf '%s: kept %s\n' "$it_name" "$it_tmp" >&2
    elif [ -n "$it_tmp" ]; then
        # A tmpfs mounted below it must go first (a no-op outside the
        # private namespace, where nothing was mounted); should that fail,
        # the removal stays out of whatever is still mounted there.
        umount -R "$it_tmp/dev" 2>/dev/null || true
        rm -rf --one-file-system "$it_tmp"
    fi
    exit "$it_status"
}

# Starts the test proper: a temporary directory, cleanup on every exit, and
# a watchdog that ends the test (and so every server it started) after
# $1 seconds, before ctest's own limit kills it without cleanup.
it_begin() {
    it_tmp=$(mktemp -d "${TMPDIR:-/tmp}/tolm-$it_name.XXXXXX")
    chmod 755 "$it_tmp"
    trap it_cleanup EXIT
    trap 'fail "interrupted or out of time"' TERM INT
    # A command that fails outside fail() says which one it was.
    trap 'printf "%s: FAIL: line %s: %s (status %s)\n" "$it_name" "$LINENO" "$BASH_COMMAND" "$?" >&2' ERR
    (
        trap 'kill "$nap" 2>/dev/null; exit 0' TERM
        sleep "$1" &
        nap=$!
        wait "$nap" && kill -TERM $$ 2>/dev/null
    ) &
    it_pids+=("$!")
}

# Tools are installed by tests/install-deps: a missing one is a failure,
# not a reason to skip.
require() {
    local tool
    for tool in "$@"; do
        command -v "$tool" >/dev/null 2>&1 || fail "$tool is missing (run tests/install-deps)"
    done
}

# A TCP port on 127.0.0.1 that nothing listens on at the moment, below the
# ephemeral range so that no outgoing connection holds it.
free_port() {
    node -e '
        const net = require("net");
        const tryPort = (left) => {
            const port = 20000 + Math.floor(Math.random() * 12000);
            const s = net.createServer();
            s.once("error", () => left > 0 ? tryPort(left - 1) : process.exit(1));
            s.listen(port, "127.0.0.1", () => { console.log(port); s.close(); });
        };
        tryPort(50);'
}

# Whether something listens on TCP port $1, without connecting to it.
listening() {
    local hex
    hex=$(printf ':%04X' "$1")
    awk -v p="$hex" '$4 == "0A" && substr($2, length($2) - 4) == p { found = 1 } END { exit !found }' \
        /proc/net/tcp /proc/net/tcp6
}

# Waits up to 10 s for a listener on port $1 that process $2 opens.
wait_listening() {
    for _ in $(seq 1 100); do
        listening "$1" && return 0
        kill -0 "$2" 2>/dev/null || fail "the server (pid $2) ended before it listened on port $1"
        sleep 0.1
    done
    fail "nothing listens on port $1 after 10 s"
}

# Skips the test where no private mount namespace can be made: in a chroot
# whose "/" is not a mount point, unshare cannot make the mounts private,
# and mounts made without that would show on the machine.
need_private_mounts() {
    local why
    why=$(unshare --mount --propagation private -- true 2>&1) && return 0
    mountpoint -q / || why="${why:-unshare failed}; / is not a mount point here"
    skip "no private mount namespace (${why:-unshare failed}): nothing of $it_name.sh was tested"
}

# Re-runs this script in a private mount namespace, once.
enter_private_namespace() {
    if [ -z "${TOLM_IT_PRIVATE:-}" ]; then
        need_private_mounts
        exec unshare --mount --propagation private -- env TOLM_IT_PRIVATE=1 bash "$0" "$@"
    fi
}

# Inside the private namespace: lays a fresh /dev over the real one, with
# the few devices the servers use, and receives every message that the C
# library's syslog() sends to /dev/log, one line each, in $it_tmp/syslog.
capture_syslog() {
    private_dev
    : >"$it_tmp/syslog"
    # One child per datagram; awk ends each message with a line feed and
    # writes it in one append.
    socat -u UNIX-RECVFROM:/dev/log,mode=666,fork SYSTEM:"awk 1 >>'$it_tmp/syslog'" &
    it_pids+=("$!")
    for _ in $(seq 1 50); do
        [ -S /dev/log ] && return 0
        sleep 0.1
    done
    fail "no listener on /dev/log"
}

# Waits up to $2 seconds until the capture holds at least $1 lines that
# match the extended regular expression $3.
wait_syslog() {
    for _ in $(seq 1 $(($2 * 10))); do
        [ "$(grep -c -E -- "$3" "$it_tmp/syslog" || true)" -ge "$1" ] && return 0
        sleep 0.1
    done
    return 1
}

# Inside the private namespace: lays a fresh /dev over the real one, with
# the few devices the servers use and no /dev/log.
private_dev() {
    local dev=$it_tmp/dev node
    mkdir -p "$dev"
    mount -t tmpfs -o mode=755 tolm-dev "$dev"
    for node in null zero full random urandom tty; do
        [ -e "/dev/$node" ] || continue
        touch "$dev/$node"
        mount --bind "/dev/$node" "$dev/$node"
    done
    for node in pts shm; do
        [ -d "/dev/$node" ] || continue
        mkdir "$dev/$node"
        mount --rbind "/dev/$node" "$dev/$node"
    done
    # Pseudo-terminals (apt-get and dpkg open one) from the devpts bound
    # above; a bound /dev/ptmx would look for its devpts beside itself.
    [ ! -d "$dev/pts" ] || ln -s pts/ptmx "$dev/ptmx"
    ln -s /proc/self/fd "$dev/fd"
    ln -s /proc/self/fd/0 "$dev/stdin"
    ln -s /proc/self/fd/1 "$dev/stdout"
    ln -s /proc/self/fd/2 "$dev/stderr"
    mount --rbind "$dev" /dev
}

# nginx's stream module as Debian installs it; the tests that start nginx
# fail early without it.
nginx_stream=/usr/lib/nginx/modules/ngx_stream_module.so
need_nginx_stream() {
    [ -f "$nginx_stream" ] || fail "nginx's stream module is missing (install libnginx-mod-stream)"
}

# Writes DIR/nginx.conf: one worker, pid and error log in DIR, and the
# stream configuration DIR/gemini.conf; CONNECTIONS per worker.
nginx_main_conf() {
    local dir=$1 connections=$2
    cat >"$dir/nginx.conf" <<END
load_module $nginx_stream;
user www-data;
worker_processes 1;
pid $dir/nginx.pid;
error_log $dir/error.log notice;
events { worker_connections $connections; }
include $dir/gemini.conf;
END
}
