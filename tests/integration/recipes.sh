#!/usr/bin/env bash
# The deployment recipes of examples/README.md, run as they are written
# there: each fenced block that starts with "# recipe: NAME" goes from a
# fresh machine to a fetched home page. apt-get only checks that the packages the recipe
# names are installed. Everything runs in private mount, network and
# process namespaces, with a private /dev/log that receives tolm's lines:
# what the recipes start ends with the test, and ports 1965 and 1966 are
# the test's own.
#
# Each recipe runs twice. First as on a machine with systemd: only what
# must differ is replaced, in the recipe and in the example files it copies
# alike (/etc and /srv move below a directory of the test's own, the ports
# become free ones, the TLS listener goes to the loopback address, the
# account gets a name of its own), and systemctl starts each unit's command
# line as the unit file gives it; a home page that was there before stays.
# Then, where the recipe works without systemd, unchanged: over private
# copies of /etc, /srv, /run and /var/log, the real service command and
# Debian's init scripts start the front ends, the home page is written and
# fetched, tolm's line reaches the log, a CGI script sees nothing of the
# environment the recipe ran in (a root shell's HOME and a secret) and a
# clean PATH, nginx serves nothing on port 80, the recipe's "# undo: NAME"
# block leaves nothing listening and none of the recipe's files in /etc,
# and the stop commands that the file gives end every process the recipe
# started. Last, the "# logs: rsyslog" block starts a log daemon without
# systemd that writes tolm's line to /var/log/syslog.
#
#   recipes.sh TOLM_BINARY RECIPES_FILE
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=tests/integration/lib.sh
source "$here/lib.sh"

tolm=$(realpath "${1:?usage: recipes.sh TOLM_BINARY RECIPES_FILE}")
readme=$(realpath "${2:?usage: recipes.sh TOLM_BINARY RECIPES_FILE}")
examples=$(cd "$here/../../examples" && pwd)
[ "$(id -u)" -eq 0 ] || skip "needs root (accounts, chroot, xinetd, nginx)"
require stunnel4 openssl xinetd nginx tcpserver setpriv systemd-socket-activate adduser node awk \
    unshare ip service start-stop-daemon socat rsyslogd diff
need_nginx_stream
# --kill-child: whatever ends the test, the namespace's processes end too.
if [ -z "${TOLM_IT_PRIVATE:-}" ]; then
    need_private_mounts
    exec unshare --mount --net --pid --fork --kill-child --mount-proc --propagation private -- \
        env TOLM_IT_PRIVATE=1 bash "$0" "$@"
fi
ip link set lo up

it_begin 200
capture_syslog
syslog_listener=${it_pids[-1]}
# The accounts that the recipes make go to a private copy of /etc.
mkdir "$it_tmp/etc"
cp -a /etc/. "$it_tmp/etc/"
mount --bind "$it_tmp/etc" /etc
# An account of the test's own in the first pass.
account=tolmit
id "$account" >/dev/null 2>&1 && fail "the account $account exists already"
# it_cleanup takes the test's exit status from $?: the stops must not
# replace a failure with their own success.
recipes_cleanup() {
    local status=$?
    [ -z "${run:-}" ] || stop_recipe
    [ -z "${real:-}" ] || stop_real
    umount /etc 2>/dev/null || true
    (exit "$status")
    it_cleanup
}
trap recipes_cleanup EXIT

# Each block once, by its first line ("recipe: NAME", "undo: NAME"),
# exactly as the file has it.
extract() {
    awk -v want="# $1" '
        /^```/ { if (inside) exit; fence = 1; next }
        fence && $0 == want { inside = 1 }
        fence = 0
        inside' "$readme"
}
names=(stunnel-exec xinetd inetd systemd-socket nginx-tcpserver haproxy)
for kind in recipe undo; do
    found=$(grep -c "^# $kind: " "$readme" || true)
    [ "$found" -eq "${#names[@]}" ] ||
        fail "$readme holds $found blocks '# $kind:', the test knows ${#names[@]} recipes: ${names[*]}"
done

if grep -q '^0\{31\}1 ' /proc/net/if_inet6 2>/dev/null; then loop6='[::1]'; else loop6=127.0.0.2; fi

# The test's stand-ins for the machine's names, as one sed script; $run is
# the recipe's own directory.
write_map() {
    cat >"$run/map.sed" <<EOF
s|:::1965|127.0.0.1:$tls_port|g
s|listen 1965 |listen 127.0.0.1:$tls_port |
s|listen \[::\]:1965 |listen $loop6:$tls_port |
s|localhost:1965|localhost:$tls_port|g
s|127\.0\.0\.1:1966|127.0.0.1:$plain_port|g
s|= 1966\$|= $plain_port|
s|127\.0\.0\.1 1966 |127.0.0.1 $plain_port |
s|/etc/|$run/etc/|g
s|/srv/|$run/srv/|g
s|/nonexistent _tolm\$|/nonexistent $account|
s|id _tolm |id $account |
s|/run/systemd/system|$run/systemd/system|g
s|-u _tolm |-u $account |g
s|^User=_tolm\$|User=$account|
s|^Group=_tolm\$|Group=$account|
EOF
}

# What the recipes call instead of the package manager and the service
# manager. Each started process is recorded in $run/pids.
apt-get() {
    local pkg
    for pkg in "$@"; do
        case $pkg in install | update | -y) continue ;; esac
        dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'ok installed' && continue
        # Debian's inetd packages conflict with xinetd, which the other
        # recipes need: such a package must at least be in the archive.
        if apt-cache show "$pkg" 2>/dev/null | grep -q '^Provides:.*inet-superserver'; then
            continue
        fi
        echo "the recipe installs $pkg, which tests/install-deps did not" >&2
        return 1
    done
}
spawn() { # LOG-NAME COMMAND...
    "${@:2}" >>"$run/$1.log" 2>&1 &
    echo "$!" >>"$run/pids"
    spawned=$!
}
# The value of KEY= in a unit file (the recipe copied the examples with the
# test's names in them already).
unit_value() { sed -n "s/^$2=//p" "$1"; }
systemctl() {
    local unit
    case "$*" in
    daemon-reload) return 0 ;;
    "enable --now "* | "restart "*) unit=${*: -1} ;;
    *)
        echo "systemctl $*: not emulated by the test" >&2
        return 1
        ;;
    esac
    local cmd units=$run/etc/systemd/system
    case $unit in
    stunnel@*)
        # Debian's own unit, with %i as systemd fills it in, under the
        # descriptor limit of the recipe's drop-in (systemd's default soft
        # limit, 1024, without one).
        read -r -a cmd < <(unit_value /lib/systemd/system/stunnel@.service ExecStart |
            sed -f "$run/map.sed" | sed "s|%i|${unit#stunnel@}|g")
        local nofile
        nofile=$(cat "$units/stunnel@.service.d/"*.conf 2>/dev/null | sed -n 's/^LimitNOFILE=//p' | tail -n 1)
        spawn "$unit" prlimit --nofile="${nofile:-1024}" -- "${cmd[@]}"
        wait_listening "$tls_port" "$spawned"
        ;;
    tolm-tcpserver)
        # The unit's command under the limits the unit sets: no new
        # privileges, only the capabilities in its bounding set.
        read -r -a cmd < <(unit_value "$units/tolm-tcpserver.service" ExecStart)
        local caps
        caps=$(unit_value "$units/tolm-tcpserver.service" CapabilityBoundingSet |
            tr '[:upper:]' '[:lower:]' | sed 's/cap_/+/g; s/ \+/,/g')
        spawn "$unit" setpriv --no-new-privs --bounding-set "-all,$caps" -- "${cmd[@]}"
        wait_listening "$plain_port" "$spawned"
        ;;
    tolm.socket)
        # Accept=yes: one process per connection, the connection as its
        # standard input and output, as the service's User and Group,
        # standard error to /dev/null as the service says (opened before
        # the switch, as systemd does).
        local listen user group
        listen=$(unit_value "$units/tolm.socket" ListenStream)
        user=$(unit_value "$units/tolm@.service" User)
        group=$(unit_value "$units/tolm@.service" Group)
        grep -q -x 'StandardError=null' "$units/tolm@.service" || fail "tolm@.service no longer sends standard error to null"
        read -r -a cmd < <(unit_value "$units/tolm@.service" ExecStart)
        spawn "$unit" systemd-socket-activate -l "$listen" -a --inetd \
            sh -c 'exec 2>/dev/null && exec "$@"' sh \
            setpriv --reuid="$user" --regid="$group" --init-groups --no-new-privs -- "${cmd[@]}"
        wait_listening "$plain_port" "$spawned"
        ;;
    xinetd)
        printf 'defaults\n{\n    log_type = FILE %s\n}\nincludedir %s\n' "$run/xinetd.log" "$run/etc/xinetd.d" \
            >"$run/etc/xinetd.conf"
        spawn xinetd xinetd -dontfork -f "$run/etc/xinetd.conf"
        wait_listening "$plain_port" "$spawned"
        ;;
    inetd)
        # Every service line of inetd.conf as inetd runs it: the account
        # of the line, descriptors 0, 1 and 2 all the connection, the
        # program with the line's arguments (the first is its name).
        local address socktype proto wait user program args
        while read -r address socktype proto wait user program args; do
            [ "$socktype $proto" = "stream tcp" ] || fail "inetd.conf: not a stream tcp line"
            [[ $wait == nowait* ]] || fail "inetd.conf: not a nowait line"
            read -r -a cmd <<<"$args"
            spawn inetd systemd-socket-activate -l "$address" -a --inetd \
                sh -c 'exec 2>&1 && exec "$@"' sh \
                setpriv --reuid="$user" --regid="$(id -g "$user")" --init-groups -- "$program" "${cmd[@]:1}"
            wait_listening "${address##*:}" "$spawned"
        done < <(grep -v -E '^[[:space:]]*(#|$)' "$run/etc/inetd.conf")
        ;;
    haproxy)
        # Debian's unit with what /etc/default/haproxy sets, in the
        # foreground.
        local config
        config=$(sed -n 's/^CONFIG=//p' "$run/etc/default/haproxy" | tail -n 1)
        spawn haproxy haproxy -db -f "$config"
        wait_listening "$tls_port" "$spawned"
        ;;
    nginx)
        spawn nginx nginx -p "$run/nginx/" -e "$run/nginx/error.log" -c "$run/etc/nginx/nginx.conf" -g "daemon off;"
        wait_listening "$tls_port" "$spawned"
        ;;
    *)
        echo "systemctl: unit $unit is not emulated by the test" >&2
        return 1
        ;;
    esac
}

stop_recipe() {
    local pid
    [ -f "$run/pids" ] || return 0
    while read -r pid; do kill "$pid" 2>/dev/null || true; done <"$run/pids"
    while read -r pid; do
        for _ in $(seq 1 50); do
            kill -0 "$pid" 2>/dev/null || break
            sleep 0.1
        done
        kill -KILL "$pid" 2>/dev/null || true
    done <"$run/pids"
    rm -f "$run/pids"
}

# Prints what the recipe's processes logged, for a failure.
recipe_logs() {
    local f
    for f in "$run"/*.log "$run"/nginx/error.log; do
        [ -s "$f" ] && printf '%s\n' "--- ${f#"$run"/}" && tail -n 20 "$f"
    done
    printf '%s\n' "--- recipe output" && cat "$run/out"
}

# Shell scripts of the kinds a newcomer writes first: a prompt (10) whose
# answer comes back in QUERY_STRING, decoded; a dump of the gateway's
# variables; a few common commands. Each must answer through the recipe's
# front end (under -u inside the content root, with what the recipe put
# there) exactly as tolm run by hand without -u answers on the same root.
write_scripts() { # ROOT
    mkdir -p "$1/cgi-bin"
    cat >"$1/cgi-bin/greet" <<'EOF'
#!/bin/sh
if [ -z "$QUERY_STRING" ]; then printf '10 Your name?\r\n'; exit 0; fi
printf '20 text/gemini\r\n# Hello, %s!\n' "$QUERY_STRING"
EOF
    cat >"$1/cgi-bin/vars" <<'EOF'
#!/bin/sh
printf '20 text/plain\r\n'
env | grep -E '^(GATEWAY_INTERFACE|SERVER_[A-Z]+|SCRIPT_NAME|PATH_INFO|QUERY_STRING)=' | sort
EOF
    cat >"$1/cgi-bin/tools" <<'EOF'
#!/bin/sh
printf '20 text/plain\r\n'
echo "one two three" | tr a-z A-Z | cut -d' ' -f2
printf 'b\na\nb\n' | sort | uniq -c | sed 's/^ *//'
ls | grep -c . | awk '{ print $1 * 2 }'
basename /a/b/c.txt .txt
expr 6 \* 7
date -u -d @86400 +%Y-%m-%d
head -n 2 greet | tail -n 1 | wc -c
EOF
    chmod 755 "$1/cgi-bin/greet" "$1/cgi-bin/vars" "$1/cgi-bin/tools"
}
check_scripts() { # RECIPE ROOT PORT
    local path got want
    write_scripts "$2"
    for path in greet 'greet?Ada%20Lovelace' 'vars/a%20b?x%3Dy' tools; do
        got=$(printf 'gemini://localhost/cgi-bin/%s\r\n' "$path" |
            timeout 20 openssl s_client -quiet -connect "localhost:$3" 2>/dev/null | od -An -c) || true
        want=$(printf 'gemini://localhost/cgi-bin/%s\r\n' "$path" |
            env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin "$tolm" -d "$2" -c cgi-bin 2>/dev/null | od -An -c) || true
        [[ $want == *" 1   0  "* || $want == *" 2   0  "* ]] ||
            fail "recipe $1: cgi-bin/$path fails without -u:"$'\n'"$want"
        [ "$got" = "$want" ] ||
            fail "recipe $1: cgi-bin/$path answers otherwise than without -u:"$'\n'"$got"$'\n'"--- without -u:"$'\n'"$want"$'\n'"$(tail -n 5 "$it_tmp/syslog")"
    done
    say "ok: recipe $1: shell scripts (a prompt, the variables, common commands) answer as without -u"
}

for name in "${names[@]}"; do
    run=$it_tmp/$name
    tls_port=$(free_port)
    plain_port=$(free_port)
    while [ "$plain_port" = "$tls_port" ]; do plain_port=$(free_port); done
    mkdir -p "$run/etc/stunnel" "$run/etc/xinetd.d" "$run/etc/haproxy" "$run/etc/default" "$run/etc/systemd/system" "$run/etc/nginx/modules-enabled" \
        "$run/srv" "$run/doc" "$run/nginx" "$run/bin" "$run/systemd/system"
    : >"$run/etc/inetd.conf"
    write_map
    # What the packages would have left: the examples where the package
    # puts them, nginx.conf as Debian's begins (its http part, with port
    # 80, left out), and tolm on the PATH.
    cp -a "$examples" "$run/doc/"
    find "$run/doc/examples" -type f -exec sed -i -f "$run/map.sed" {} +
    echo "load_module $nginx_stream;" >"$run/etc/nginx/modules-enabled/50-mod-stream.conf"
    sed -f "$run/map.sed" >"$run/etc/nginx/nginx.conf" <<EOF
user www-data;
worker_processes auto;
pid /etc/nginx/nginx.pid;
include /etc/nginx/modules-enabled/*.conf;
events {
    worker_connections 768;
}
EOF
    ln -s "$tolm" "$run/bin/tolm"
    # A capsule that is there already keeps its home page.
    mkdir -p "$run/srv/gemini"
    printf '# My capsule\nWritten before the recipe.\n' >"$run/srv/gemini/index.gmi"
    extract "recipe: $name" | sed -f "$run/map.sed" >"$run/recipe.sh"
    [ -s "$run/recipe.sh" ] || fail "$readme has no recipe $name"

    status=0
    (
        cd "$run/doc"
        # shellcheck disable=SC2030 # for the recipe alone
        PATH=$run/bin:$PATH
        # shellcheck disable=SC1091 # written above
        source "$run/recipe.sh"
    ) >"$run/out" 2>&1 </dev/null || status=$?
    [ "$status" -eq 0 ] || fail "recipe $name failed with status $status:"$'\n'"$(recipe_logs)"
    if ! grep -q -x $'20 text/gemini; lang=en\r' "$run/out" || ! grep -q -x '# My capsule' "$run/out"; then
        fail "recipe $name did not fetch the home page:"$'\n'"$(recipe_logs)"
    fi
    grep -q -x 'Written before the recipe.' "$run/out" ||
        fail "recipe $name overwrote the home page that was there:"$'\n'"$(recipe_logs)"
    say "ok: recipe $name serves the home page that was there"
    check_scripts "$name" "$run/srv/gemini" "$tls_port"
    stop_recipe
done
id "$account" >/dev/null 2>&1 || fail "the recipes did not create the account"

# --- Without systemd --------------------------------------------------------

# What the file says stops each front end that a recipe started through
# service or start-stop-daemon; any process left afterwards fails the test.
stop_real() {
    local name
    for name in gemini gemini-proxy; do
        [ ! -f "/etc/stunnel/$name.conf" ] || service stunnel4 stop "$name" >>"$real/stop.log" 2>&1 || true
    done
    [ ! -f /run/xinetd.pid ] || service xinetd stop >>"$real/stop.log" 2>&1 || true
    [ ! -f /run/nginx.pid ] || service nginx stop >>"$real/stop.log" 2>&1 || true
    [ ! -f /run/haproxy.pid ] || service haproxy stop >>"$real/stop.log" 2>&1 || true
    [ ! -f /run/tolm-tcpserver.pid ] ||
        start-stop-daemon --stop --retry 5 --pidfile /run/tolm-tcpserver.pid >>"$real/stop.log" 2>&1 || true
    for name in /var/log /run /srv /etc; do umount "$name" 2>/dev/null || true; done
    real=
}
# The processes of the namespace but this test's own (the test, its
# watchdog, the log listener and their children).
strangers() {
    local pid comm
    ps -e -o pid=,comm= | while read -r pid comm; do
        case $comm in bash | sh | sleep | socat | awk | ps) continue ;; esac
        echo "$pid $comm"
    done
}
# Runs block $1 as a root shell would, output to $2.
run_block() {
    (
        cd "$real/doc"
        # shellcheck disable=SC2031 # the PATH of the pass before stayed in its subshell
        PATH=$real/bin:$PATH
        export HOME=/root TOLM_RECIPE_SECRET=from-the-root-shell
        # shellcheck disable=SC1090 # written by the test
        source "$1"
    ) >"$2" 2>&1 </dev/null
}
# What the copy of /etc that a recipe started from and /etc after its undo
# block differ in, but for what the blocks leave on purpose: the account,
# Debian's default web site, nginx's connections per worker.
etc_left() {
    local base=$1
    diff -r --no-dereference -x passwd -x passwd- -x group -x group- -x shadow -x shadow- \
        -x gshadow -x gshadow- -x subuid -x subgid -x nginx.conf "$base" /etc |
        grep -v -x -F "Only in $base/nginx/sites-enabled: default" || true
    local kept='^\s*worker_connections '
    diff <(grep -v -E "$kept" "$base/nginx/nginx.conf") <(grep -v -E "$kept" /etc/nginx/nginx.conf) || true
}
for name in stunnel-exec xinetd nginx-tcpserver haproxy; do
    real=$it_tmp/real-$name
    mkdir -p "$real/etc" "$real/srv" "$real/doc" "$real/bin"
    # The machine's /etc as it is, so that the init scripts find their
    # packages' files; a tmpfs for /run (pid files) and /var/log.
    cp -a /etc/. "$real/etc/"
    mount --bind "$real/etc" /etc
    mount --bind "$real/srv" /srv
    mount -t tmpfs -o mode=755 tolm-run /run
    mount -t tmpfs -o mode=755 tolm-log /var/log
    mkdir /var/log/nginx
    cp -a "$examples" "$real/doc/"
    ln -s "$tolm" "$real/bin/tolm"
    extract "recipe: $name" >"$real/recipe.sh"
    extract "undo: $name" >"$real/undo.sh"
    [ -s "$real/undo.sh" ] || fail "$readme has no undo block for recipe $name"
    before=$(grep -c -E 'tolm(\[[0-9]+\])?: "gemini://localhost/" 20 [0-9]+$' "$it_tmp/syslog" || true)
    status=0
    run_block "$real/recipe.sh" "$real/out" || status=$?
    [ "$status" -eq 0 ] || fail "recipe $name without systemd failed with status $status:"$'\n'"$(cat "$real/out")"
    if ! grep -q -x $'20 text/gemini; lang=en\r' "$real/out" || ! grep -q -x '# My capsule' "$real/out"; then
        fail "recipe $name without systemd did not fetch the home page:"$'\n'"$(cat "$real/out")"
    fi
    wait_syslog $((before + 1)) 10 'tolm(\[[0-9]+\])?: "gemini://localhost/" 20 [0-9]+$' ||
        fail "recipe $name without systemd: tolm's line did not reach the log"
    grep -q 'Nothing listens on /dev/log' "$real/out" && fail "recipe $name says nothing listens on /dev/log"
    say "ok: recipe $name without systemd serves the home page through service, and tolm's line reaches the log"
    # The descriptor limits a burst needs reach the running front ends, as
    # the files set them: stunnel takes 125/256 of its limit in clients at
    # once, and an nginx worker one a connection.
    for pid in $(pgrep -x stunnel4 || true) $(pgrep -f '^nginx: worker' || true); do
        if [ "$(cat "/proc/$pid/comm")" = stunnel4 ]; then
            want=$(sed -n 's/.*RLIMITS="-n \([0-9]*\)".*/\1/p' "$readme" | head -n 1)
        else
            want=$(sed -n 's/^worker_rlimit_nofile \([0-9]*\);$/\1/p' "$examples/nginx-stream.conf")
        fi
        got=$(awk '/^Max open files/ { print $4 }' "/proc/$pid/limits")
        [ -n "$want" ] && [ "$got" = "$want" ] ||
            fail "recipe $name: $(cat "/proc/$pid/comm") may open $got descriptors, the files set ${want:-none}"
    done
    say "ok: recipe $name without systemd: the front ends run with the descriptor limits the files set"
    # The recipe's content root as the recipe left it, with a CGI script
    # that shows its environment inside the chroot.
    check_scripts "$name without systemd" /srv/gemini 1965
    mkdir -p /srv/gemini/cgi-bin
    printf '#!/bin/sh\nprintf "20 text/plain\\r\\n"\nexport -p\n' >/srv/gemini/cgi-bin/env
    chmod 755 /srv/gemini/cgi-bin/env
    printf 'gemini://localhost/cgi-bin/env\r\n' | timeout 20 openssl s_client -quiet -connect localhost:1965 \
        >"$real/env.out" 2>/dev/null || true
    grep -q "^export SCRIPT_NAME='env'" "$real/env.out" || fail "recipe $name: the CGI script did not run:"$'\n'"$(cat "$real/env.out")"
    if grep -E "^export (HOME|TOLM_RECIPE_SECRET)=" "$real/env.out" ||
        ! grep -q -x "export PATH='/usr/sbin:/usr/bin:/sbin:/bin'" "$real/env.out"; then
        fail "recipe $name: the CGI script got the environment of the shell that ran the recipe:"$'\n'"$(cat "$real/env.out")"
    fi
    say "ok: recipe $name: a CGI script gets a clean environment"
    if [ "$name" = haproxy ]; then
        # The script knows the client by its certificate's fingerprint,
        # and gets none without a certificate.
        openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 \
            -subj /CN=visitor -keyout "$real/client.key" -out "$real/client.crt" 2>/dev/null
        fp=$(openssl x509 -in "$real/client.crt" -outform der | sha256sum | cut -d' ' -f1)
        printf 'gemini://localhost/cgi-bin/env\r\n' | timeout 20 openssl s_client -quiet -connect localhost:1965 \
            -cert "$real/client.crt" -key "$real/client.key" >"$real/cert.out" 2>/dev/null || true
        if ! grep -q -x "export TLS_CLIENT_HASH='$fp'" "$real/cert.out" ||
            ! grep -q -x "export REMOTE_USER='visitor'" "$real/cert.out"; then
            fail "recipe haproxy: the script did not get the certificate's fingerprint:"$'\n'"$(cat "$real/cert.out")"
        fi
        # localhost is ::1 where /etc/hosts says so first, as on a fresh
        # Debian, and 127.0.0.1 elsewhere: the client's own address either way.
        if ! grep -q -x -E "export REMOTE_ADDR='(127\.0\.0\.1|::1)'" "$real/env.out" || grep -q TLS_CLIENT_HASH "$real/env.out"; then
            fail "recipe haproxy: without a certificate the script saw:"$'\n'"$(cat "$real/env.out")"
        fi
        say "ok: recipe haproxy: a script knows a client certificate by its fingerprint"
        # A client that finishes its handshake and sends nothing holds no
        # connection to tcpserver, so no tolm; once it sends its request it
        # is answered. A fetch after its handshake shows haproxy has gone
        # past it, and a loopback connect is established at once.
        mkfifo "$real/idle.in"
        timeout 60 openssl s_client -brief -quiet -connect localhost:1965 <"$real/idle.in" \
            >"$real/idle.out" 2>"$real/idle.err" &
        idle=$!
        it_pids+=("$idle")
        exec {hold}>"$real/idle.in"
        for _ in $(seq 300); do
            grep -q 'CONNECTION ESTABLISHED' "$real/idle.err" && break
            sleep 0.1
        done
        grep -q 'CONNECTION ESTABLISHED' "$real/idle.err" ||
            fail "recipe haproxy: the idle client's handshake did not finish:"$'\n'"$(cat "$real/idle.err")"
        printf 'gemini://localhost/\r\n' | timeout 20 openssl s_client -quiet -connect localhost:1965 \
            >"$real/after.out" 2>/dev/null || true
        grep -q -x '# My capsule' "$real/after.out" || fail "recipe haproxy: a fetch beside an idle client failed"
        held=$(ss -Htn state established '( dport = :1966 )' | wc -l)
        [ "$held" -eq 0 ] || fail "recipe haproxy: a client that sent nothing holds $held connection(s) to tcpserver"
        printf 'gemini://localhost/\r\n' >&"$hold"
        exec {hold}>&-
        wait "$idle" || true
        grep -q -x '# My capsule' "$real/idle.out" ||
            fail "recipe haproxy: the client that waited before its request got:"$'\n'"$(cat "$real/idle.out")"
        say "ok: recipe haproxy: a client that sends nothing holds no tolm, and is answered once it asks"
    fi
    ! listening 80 || fail "recipe $name leaves a web server on port 80"
    status=0
    run_block "$real/undo.sh" "$real/undo.out" || status=$?
    [ "$status" -eq 0 ] || fail "the undo block of recipe $name failed with status $status:"$'\n'"$(cat "$real/undo.out")"
    for port in 1965 1966; do
        ! listening "$port" || fail "after the undo block of recipe $name, port $port still listens"
    done
    left=$(etc_left "$it_tmp/etc")
    [ -z "$left" ] || fail "the undo block of recipe $name leaves in /etc:"$'\n'"$left"
    left=$(find /srv/gemini -name busybox -o -lname '*busybox')
    [ -z "$left" ] || fail "the undo block of recipe $name leaves busybox in the content root:"$'\n'"$left"
    say "ok: the undo block of recipe $name leaves nothing listening and none of its files in /etc or the content root"
    stop_real
    left=$(strangers)
    [ -z "$left" ] || fail "the stop commands left processes of recipe $name:"$'\n'"$left"
    say "ok: the file's stop commands end what recipe $name started"
done

# --- Logs without systemd ----------------------------------------------------

# The block as written, over private copies of /etc, /run, /var/log and
# rsyslog's work directory, in place of the test's own listener on
# /dev/log. The copy of /etc loads no kernel log input (it would read the
# host's kernel messages) and no drop-in (haproxy's makes a socket outside
# the namespace).
real=$it_tmp/real-logs
mkdir -p "$real/etc" "$real/doc" "$real/bin" "$real/root"
cp -a /etc/. "$real/etc/"
sed -i 's/^module(load="imklog")/#&/' "$real/etc/rsyslog.conf"
rm -f "$real/etc/rsyslog.d/"*.conf
mount --bind "$real/etc" /etc
mount -t tmpfs -o mode=755 tolm-run /run
mount -t tmpfs -o mode=755 tolm-log /var/log
mount -t tmpfs -o mode=700 tolm-spool /var/spool/rsyslog
kill "$syslog_listener"
rm -f /dev/log
extract "logs: rsyslog" >"$real/logs.sh"
[ -s "$real/logs.sh" ] || fail "$readme has no block '# logs: rsyslog'"
status=0
run_block "$real/logs.sh" "$real/logs.out" || status=$?
[ "$status" -eq 0 ] || fail "the logs block failed with status $status:"$'\n'"$(cat "$real/logs.out")"
for _ in $(seq 1 100); do
    [ -S /dev/log ] && break
    sleep 0.1
done
[ -S /dev/log ] || fail "after the logs block nothing listens on /dev/log:"$'\n'"$(cat "$real/logs.out")"
printf 'gemini://localhost/logs\r\n' | "$tolm" -d "$real/root" >/dev/null 2>&1 || true
for _ in $(seq 1 100); do
    grep -q -E 'tolm(\[[0-9]+\])?: "gemini://localhost/logs" 51 [0-9]+$' /var/log/syslog 2>/dev/null && break
    sleep 0.1
done
grep -q -E 'tolm(\[[0-9]+\])?: "gemini://localhost/logs" 51 [0-9]+$' /var/log/syslog ||
    fail "tolm's line is not in /var/log/syslog:"$'\n'"$(cat /var/log/syslog 2>/dev/null)"
say "ok: the logs block starts rsyslogd without systemd, and tolm's line is in /var/log/syslog"
kill "$(cat /run/rsyslogd.pid)"
for _ in $(seq 1 50); do
    [ -z "$(strangers)" ] && break
    sleep 0.1
done
left=$(strangers)
[ -z "$left" ] || fail "the stop line of the logs block left processes:"$'\n'"$left"
for name in /var/spool/rsyslog /var/log /run /etc; do umount "$name"; done
real=
say "ok: the stop line of the logs block ends rsyslogd"
