#!/usr/bin/env bash
# examples/demo as a new user runs it: it serves the example capsule over
# TLS, the command it prints fetches the home page, and Ctrl-C (SIGINT)
# stops it together with its stunnel.
#
#   demo.sh BUILD_DIR
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=tests/integration/lib.sh
source "$here/lib.sh"

build=$(realpath "${1:?usage: demo.sh BUILD_DIR}")
require stunnel openssl node awk
[ -d "$here/node_modules/@derhuerst/gemini" ] || fail "the Gemini client is missing (run tests/install-deps)"

it_begin 120
# Job control puts the demo in a process group of its own, where SIGINT is
# not ignored as it is for a background job of a script.
set -m
port=$(free_port)
PORT=$port BUILD_DIR=$build DEMO_STATE=$it_tmp/state "$here/../../examples/demo" \
    </dev/null >"$it_tmp/demo.out" 2>&1 &
demo_pid=$!
it_pids+=("$demo_pid")
set +m

for _ in $(seq 1 300); do
    grep -q 'Press Ctrl-C to stop' "$it_tmp/demo.out" && break
    kill -0 "$demo_pid" 2>/dev/null || fail "the demo ended early:"$'\n'"$(cat "$it_tmp/demo.out")"
    sleep 0.1
done
grep -q 'Press Ctrl-C to stop' "$it_tmp/demo.out" || fail "the demo did not start:"$'\n'"$(cat "$it_tmp/demo.out")"
stunnel_pid=$(sed -n 's/.*(TLS by stunnel, pid \([0-9]*\);.*/\1/p' "$it_tmp/demo.out")
[ -n "$stunnel_pid" ] || fail "the demo did not name its stunnel"

# The fetch command exactly as the demo prints it.
fetch=$(grep -E '^ +node .*gemini-get\.mjs ' "$it_tmp/demo.out" | head -n 1)
[ -n "$fetch" ] || fail "the demo printed no fetch command"
out=$(cd "$it_tmp" && timeout 60 bash -c "$fetch")
[ "$(head -n 1 <<<"$out")" = "20 text/gemini; lang=en" ] || fail "the home page header is: $(head -n 1 <<<"$out")"
grep -q -x '# Welcome to a tolm capsule' <<<"$out" || fail "the home page has the wrong text"
if [ ! -s "$it_tmp/state/cert.pem" ] || [ ! -s "$it_tmp/state/key.pem" ]; then
    fail "no certificate in the state directory"
fi
say "ok: the demo serves the capsule and its command fetches it"

kill -INT "$demo_pid"
for _ in $(seq 1 100); do
    kill -0 "$demo_pid" 2>/dev/null || break
    sleep 0.1
done
kill -0 "$demo_pid" 2>/dev/null && fail "the demo did not stop on SIGINT"
kill -0 "$stunnel_pid" 2>/dev/null && fail "the demo's stunnel (pid $stunnel_pid) is still running"
listening "$port" && fail "port $port is still open"
grep -q 'demo: stopped' "$it_tmp/demo.out" || fail "the demo did not report stopping"
say "ok: SIGINT stops the demo and its stunnel"
