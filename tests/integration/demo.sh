#!/usr/bin/env bash
# examples/demo as a new user runs it: it serves the example capsule over
# TLS as the recipes deploy it (chroot and -u, busybox for the scripts), the
# openssl command it prints first fetches the home page and a script's
# answer, so does its Node.js command, each request's log line
# appears in its terminal when nothing listens on /dev/log (the test runs
# it in a private /dev without one), and no other program's line does, and
# Ctrl-C (SIGINT) stops it together with its haproxy, its socat and its log
# listener; its whoami script asks for a client certificate and knows the
# visitor's by its fingerprint. Run by another user, it runs
# itself again through sudo, or says that it needs root. Run as root in a
# checkout that belongs to another user (as after sudo or su -c), what it
# makes there belongs to that user.
#
#   demo.sh BUILD_DIR
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=tests/integration/lib.sh
source "$here/lib.sh"

build=$(realpath "${1:?usage: demo.sh BUILD_DIR}")
demo=$(realpath "$here/../../examples/demo")
[ "$(id -u)" -eq 0 ] || skip "needs root (the demo listens on /dev/log)"
require haproxy openssl node awk socat unshare setpriv
[ -d "$here/node_modules/@derhuerst/gemini" ] || fail "the Gemini client is missing (run tests/install-deps)"
enter_private_namespace "$@"

it_begin 120
private_dev
# The runs as nobody below write to /dev/null, which some machines let only
# root open: a node of the private /dev's own does for them.
if ! setpriv --reuid=nobody --regid=nogroup --clear-groups -- sh -c ': >/dev/null' 2>/dev/null; then
    mknod -m 666 /dev/null.open c 1 3 && mount --bind /dev/null.open /dev/null
fi

# A checkout of nobody's with what the demo uses of it: the demo makes its
# certificate there, and everything it made must be nobody's afterwards.
# Runs as nobody start the demo there too: the checkout under test may be
# out of nobody's reach (in root's home, mode 0700).
checkout=$it_tmp/checkout
mkdir -p "$checkout/examples" "$checkout/tests/integration"
cp -a "$demo" "$here/../../examples/capsule" "$here/../../examples/chroot" "$checkout/examples/"
cp "$here/gemini-get.mjs" "$checkout/tests/integration/"
ln -s "$here/node_modules" "$checkout/tests/integration/node_modules"
chown -R -h nobody:nogroup "$checkout"
state=$checkout/examples/.demo
nobodys_demo=$checkout/examples/demo

# As another user: with sudo on the PATH the demo runs itself through it,
# with its settings; without, it says what to do.
mkdir "$it_tmp/with-sudo" "$it_tmp/without-sudo"
printf '#!/bin/sh\nprintf "%%s\\n" "$@" >%s/sudo.args\n' "$it_tmp" >"$it_tmp/with-sudo/sudo"
chmod 755 "$it_tmp/with-sudo/sudo"
install -m 666 /dev/null "$it_tmp/sudo.args"
for tool in bash dirname id; do ln -s "$(command -v "$tool")" "$it_tmp/without-sudo/$tool"; done
as_nobody() { setpriv --reuid=nobody --regid=nogroup --clear-groups -- env "$@"; }
as_nobody PATH="$it_tmp/with-sudo:$PATH" PORT=1 DEMO_STATE=/x "$nobodys_demo" >"$it_tmp/sudo.out" 2>&1 ||
    fail "the demo as nobody with sudo failed:"$'\n'"$(cat "$it_tmp/sudo.out")"
want=$(printf '%s\n' -- env PORT=1 DEMO_STATE=/x "$nobodys_demo")
[ "$(cat "$it_tmp/sudo.args" 2>/dev/null)" = "$want" ] ||
    fail "the demo ran sudo with:"$'\n'"$(cat "$it_tmp/sudo.args" 2>/dev/null)"
if as_nobody PATH="$it_tmp/without-sudo" "$nobodys_demo" >"$it_tmp/nosudo.out" 2>&1; then
    fail "the demo as nobody without sudo did not fail"
fi
grep -q 'needs root' "$it_tmp/nosudo.out" || fail "the demo without root and sudo says:"$'\n'"$(cat "$it_tmp/nosudo.out")"
say "ok: as another user the demo runs itself through sudo, or says it needs root"

# Job control puts the demo in a process group of its own, where SIGINT is
# not ignored as it is for a background job of a script.
set -m
port=$(free_port)
PORT=$port BUILD_DIR=$build "$checkout/examples/demo" </dev/null >"$it_tmp/demo.out" 2>&1 &
demo_pid=$!
it_pids+=("$demo_pid")
set +m

for _ in $(seq 1 300); do
    grep -q 'Press Ctrl-C to stop' "$it_tmp/demo.out" && break
    kill -0 "$demo_pid" 2>/dev/null || fail "the demo ended early:"$'\n'"$(cat "$it_tmp/demo.out")"
    sleep 0.1
done
grep -q 'Press Ctrl-C to stop' "$it_tmp/demo.out" || fail "the demo did not start:"$'\n'"$(cat "$it_tmp/demo.out")"
haproxy_pid=$(sed -n 's/.*(TLS by haproxy, pid \([0-9]*\);.*/\1/p' "$it_tmp/demo.out")
[ -n "$haproxy_pid" ] || fail "the demo did not name its haproxy"

# The first fetch command needs nothing a fresh machine lacks: openssl.
first=$(grep -E '^ +(printf|node) ' "$it_tmp/demo.out" | head -n 1)
[[ $first == *"openssl s_client"* ]] || fail "the demo's first fetch command is not openssl's: $first"
out=$(cd "$it_tmp" && timeout 60 bash -c "$first" | tr -d '\r')
[ "$(head -n 1 <<<"$out")" = "20 text/gemini; lang=en" ] || fail "openssl's home page header is: $(head -n 1 <<<"$out")"
# A script runs inside the chroot, with busybox as its /bin/sh.
script=${first//"gemini://localhost:$port/"/"gemini://localhost:$port/cgi-bin/hello?Ada"}
out=$(cd "$it_tmp" && timeout 60 bash -c "$script" | tr -d '\r')
if [ "$(head -n 1 <<<"$out")" != "20 text/gemini; lang=en" ] || ! grep -q -x '# Hello, Ada!' <<<"$out"; then
    fail "the demo's script answered:"$'\n'"$out"
fi
pgrep -f -- "-p -u nobody -d $state/jail " >/dev/null || fail "the demo does not run tolm with -u"
if [ ! -x "$state/jail/bin/busybox" ] || [ ! -L "$state/jail/bin/sh" ]; then
    fail "the demo's content root has no busybox"
fi
[ ! -e "$checkout/examples/capsule/bin" ] || fail "the demo wrote into the checkout's capsule"
say "ok: the demo's first command, openssl's, fetches the home page, and a script runs under -u"
# Another program's line on /dev/log is not the demo's to show.
printf '<38>groupadd[99]: group added to /etc/group: name=demo-test' |
    socat -u - UNIX-SENDTO:/dev/log 2>/dev/null || true

# The Node.js fetch command exactly as the demo prints it.
fetch=$(grep -E '^ +node .*gemini-get\.mjs ' "$it_tmp/demo.out" | head -n 1)
[ -n "$fetch" ] || fail "the demo printed no fetch command"
out=$(cd "$it_tmp" && timeout 60 bash -c "$fetch")
[ "$(head -n 1 <<<"$out")" = "20 text/gemini; lang=en" ] || fail "the home page header is: $(head -n 1 <<<"$out")"
grep -q -x '# Welcome to a tolm capsule' <<<"$out" || fail "the home page has the wrong text"
if [ ! -s "$state/cert.pem" ] || [ ! -s "$state/key.pem" ]; then
    fail "no certificate in the state directory"
fi
say "ok: the demo serves the capsule and its command fetches it"
[ -S /dev/log ] || fail "the demo does not listen on /dev/log:"$'\n'"$(cat "$it_tmp/demo.out")"
grep -q 'no system log daemon runs' "$it_tmp/demo.out" || fail "the demo does not say where the log lines go"
for _ in $(seq 1 50); do
    grep -q -F "demo: log: tolm" "$it_tmp/demo.out" && break
    sleep 0.1
done
grep -q -E "^demo: log: tolm(\[[0-9]+\])?: \"gemini://localhost:$port/\" 20 [0-9]+$" "$it_tmp/demo.out" ||
    fail "the request's log line did not appear in the demo's output:"$'\n'"$(cat "$it_tmp/demo.out")"
grep -q 'groupadd' "$it_tmp/demo.out" && fail "the demo shows another program's log line:"$'\n'"$(cat "$it_tmp/demo.out")"
say "ok: the request's log line appears in the demo's output, and no other program's"

# The certificate command as the demo prints it, and the same without one.
whoami=$(grep -E '^ +node .*--cert .*cgi-bin/whoami$' "$it_tmp/demo.out" | head -n 1)
[ -n "$whoami" ] || fail "the demo printed no command for whoami"
fp=$(openssl x509 -in "$state/visitor.pem" -outform der | sha256sum | cut -d' ' -f1)
out=$(printf 'gemini://localhost/cgi-bin/whoami\r\n' |
    timeout 30 openssl s_client -quiet -connect "127.0.0.1:$port" -servername localhost 2>/dev/null)
[ "$out" = $'60 Present a client certificate to be greeted\r' ] ||
    fail "whoami without a certificate: $(head -n 1 <<<"$out")"
out=$(cd "$it_tmp" && timeout 60 bash -c "$whoami")
if ! grep -q -x "Your certificate: SHA256:$fp" <<<"$out" || ! grep -q '^First visit' <<<"$out"; then
    fail "whoami with the visitor's certificate:"$'\n'"$out"
fi
out=$(cd "$it_tmp" && timeout 60 bash -c "$whoami")
grep -q '^Welcome back' <<<"$out" || fail "whoami did not know the certificate again:"$'\n'"$out"
say "ok: whoami asks for a certificate, and knows the visitor's by its fingerprint"
kill -INT "$demo_pid"
for _ in $(seq 1 100); do
    kill -0 "$demo_pid" 2>/dev/null || break
    sleep 0.1
done
kill -0 "$demo_pid" 2>/dev/null && fail "the demo did not stop on SIGINT"
kill -0 "$haproxy_pid" 2>/dev/null && fail "the demo's haproxy (pid $haproxy_pid) is still running"
listening "$port" && fail "port $port is still open"
grep -q 'demo: stopped' "$it_tmp/demo.out" || fail "the demo did not report stopping"
[ ! -e /dev/log ] || fail "the demo left /dev/log behind"
say "ok: SIGINT stops the demo, its haproxy and its log listener"
# Once it stopped, all it printed is there: stunnel's report of each
# closed connection would bury the log lines, and its complaint at start
# about client certificates, which the demo does not ask for, alarms.
grep -q -E 'TIMEOUTclose|No trusted certificates' "$it_tmp/demo.out" &&
    fail "the demo prints stunnel's noise:"$'\n'"$(cat "$it_tmp/demo.out")"
not_nobodys=$(find "$checkout" ! -user nobody -printf '%u %p\n')
[ -z "$not_nobodys" ] || fail "the demo, run as root, left files the checkout's owner does not own:"$'\n'"$not_nobodys"
say "ok: what the demo made in the checkout ($(find "$state" -type f -printf '%f ')) belongs to its owner"

# With a log daemon on /dev/log the demo leaves it alone and says so.
socat -u UNIX-RECVFROM:/dev/log,mode=666,fork OPEN:"$it_tmp/syslog",creat,append &
it_pids+=("$!")
for _ in $(seq 1 50); do
    [ -S /dev/log ] && break
    sleep 0.1
done
set -m
PORT=$port BUILD_DIR=$build DEMO_STATE=$it_tmp/state "$demo" </dev/null >"$it_tmp/demo2.out" 2>&1 &
demo_pid=$!
it_pids+=("$demo_pid")
set +m
for _ in $(seq 1 300); do
    grep -q 'Press Ctrl-C to stop' "$it_tmp/demo2.out" && break
    kill -0 "$demo_pid" 2>/dev/null || fail "the demo ended early:"$'\n'"$(cat "$it_tmp/demo2.out")"
    sleep 0.1
done
grep -q 'the process that listens on /dev/log' "$it_tmp/demo2.out" ||
    fail "the demo does not name the log's listener:"$'\n'"$(cat "$it_tmp/demo2.out")"
kill -INT "$demo_pid"
for _ in $(seq 1 100); do
    kill -0 "$demo_pid" 2>/dev/null || break
    sleep 0.1
done
[ -S /dev/log ] || fail "the demo removed the log daemon's /dev/log"
grep -q -F '"gemini://localhost:'"$port"'/" 20 ' "$it_tmp/syslog" || fail "the log daemon did not get the request's line"
grep -q 'demo: log:' "$it_tmp/demo2.out" && fail "the demo printed log lines that the log daemon got"
say "ok: with a log daemon running, the demo says where the lines go"
