#!/usr/bin/env bash
# tolm behind stunnel in exec mode, one process per TLS connection, fetched
# by a real Gemini client: pages, a listing, redirects, CGI, not found, a
# 10 MiB file byte for byte, 20 fetches at once, and the same through the
# chroot (-u) layout that examples/chroot/populate builds. The system log
# is captured in a private mount namespace: every request must leave
# exactly one request line with its code and byte count.
#
#   tls.sh TOLM_BINARY
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=tests/integration/lib.sh
source "$here/lib.sh"

tolm=$(realpath "${1:?usage: tls.sh TOLM_BINARY}")
[ "$(id -u)" -eq 0 ] || skip "needs root (private mount namespace for /dev/log, chroot)"
require stunnel openssl socat node unshare awk sha256sum
[ -d "$here/node_modules/@derhuerst/gemini" ] || fail "the Gemini client is missing (run tests/install-deps)"
enter_private_namespace "$@"

it_begin 150
capture_syslog
client() { timeout 60 node "$here/gemini-get.mjs" "$@"; }

# --- Content roots -----------------------------------------------------

root=$it_tmp/root
mkdir -p "$root/dir/sub" "$root/cgi-bin" "$root/conc"
printf '# Fixture home\n\n=> dir/ A listing\n' >"$root/index.gmi"
printf 'alpha\n' >"$root/dir/a.txt"
printf '# b c\n' >"$root/dir/b c.gmi"
ln -s 'gemini://example.org/new-home' "$root/moved"
head -c 10485760 /dev/urandom >"$root/big.bin"
cat >"$root/cgi-bin/env" <<'EOF'
#!/bin/sh
printf '20 text/plain\r\n'
printf 'query=%s\nscript=%s\npath=%s\nserver=%s\n' "${QUERY_STRING:-}" "${SCRIPT_NAME:-}" "${PATH_INFO:-}" "${SERVER_NAME:-}"
EOF
chmod 755 "$root/cgi-bin/env"
for n in $(seq -w 1 20); do
    # Sizes differ, so a body delivered for the wrong request shows.
    for _ in $(seq 1 "$((10#$n * 7))"); do printf 'line of file %s\n' "$n"; done >"$root/conc/$n.gmi"
done

# The chroot layout: the content root is the new /, and a shell script
# needs /bin/sh with its libraries inside it.
jail=$it_tmp/jail
mkdir -p "$jail/cgi-bin"
cp -p "$root/cgi-bin/env" "$jail/cgi-bin/env"
printf '# Jailed home\n' >"$jail/index.gmi"
"$here/../../examples/chroot/populate" "$jail" /bin/sh
[ ! -e "$jail/dev/log" ] || fail "the jail must not need /dev/log"

# --- TLS terminator ----------------------------------------------------

openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 \
    -subj /CN=localhost -addext 'subjectAltName=DNS:localhost,IP:127.0.0.1' \
    -keyout "$it_tmp/key.pem" -out "$it_tmp/cert.pem" 2>/dev/null
port=$(free_port)
jail_port=$(free_port)
[ "$port" != "$jail_port" ] || jail_port=$(free_port)
cat >"$it_tmp/stunnel.conf" <<EOF
foreground = quiet
syslog = no
output = $it_tmp/stunnel.log
pid =
debug = info

[files]
accept = 127.0.0.1:$port
cert = $it_tmp/cert.pem
key = $it_tmp/key.pem
exec = $tolm
execArgs = tolm -d $root -i -c cgi-bin -l en
TIMEOUTbusy = 30
TIMEOUTidle = 30
TIMEOUTclose = 5

[jail]
accept = 127.0.0.1:$jail_port
cert = $it_tmp/cert.pem
key = $it_tmp/key.pem
exec = $tolm
execArgs = tolm -u nobody -d $jail -c cgi-bin -l en
TIMEOUTbusy = 30
TIMEOUTidle = 30
TIMEOUTclose = 5
EOF
stunnel "$it_tmp/stunnel.conf" &
stunnel_pid=$!
it_pids+=("$stunnel_pid")
wait_listening "$port" "$stunnel_pid"
wait_listening "$jail_port" "$stunnel_pid"

# --- Cases -------------------------------------------------------------

# Each case: URL, code, meta, file holding the expected body, and the code
# the request line in the log carries (0 for CGI: the script wrote the
# header). Expected report lines and log lines are derived from them.
expected_report=$it_tmp/expected.report
expected_log=$it_tmp/expected.log
: >"$expected_log"
urls=()
bodies=$it_tmp/bodies
mkdir -p "$bodies"
case_() {
    local url=$1 code=$2 meta=$3 body=$4 logcode=${5:-$2} size header
    size=$(stat -c %s "$body")
    header=$(printf '%s %s\r\n' "$code" "$meta" | wc -c)
    printf '%s\t%s\t%s\t%s\t%s\n' "$url" "$code" "$meta" "$size" "$(sha256sum <"$body" | cut -d' ' -f1)" \
        >>"$expected_report"
    printf '"%s" %s %s\n' "$url" "$logcode" "$((header + size))" >>"$expected_log"
    urls+=("$url")
}
body() {
    local file
    file=$(mktemp "$bodies/XXXXXX")
    # shellcheck disable=SC2059 # the arguments are a format and its values
    printf "$@" >"$file"
    echo "$file"
}
none=$(body '')

# Compares what the client reports for the collected URLs with the table.
check_fetches() {
    local what=$1
    client --report "${urls[@]}" >"$it_tmp/got.report" || true
    if ! diff -u "$expected_report" "$it_tmp/got.report"; then
        fail "$what: responses differ from the table (- expected, + received)"
    fi
    say "ok: $what (${#urls[@]} fetches)"
    urls=()
    : >"$expected_report"
}

base=gemini://localhost:$port
: >"$expected_report"
case_ "$base/" 20 "text/gemini; lang=en" "$root/index.gmi"
case_ "$base/dir/b%20c.gmi" 20 "text/gemini; lang=en" "$root/dir/b c.gmi"
case_ "$base/dir/a.txt" 20 "text/plain" "$root/dir/a.txt"
case_ "$base/dir/" 20 "text/gemini" \
    "$(body '=> .. ../\n=> ./a.txt a.txt\n=> ./b%%20c.gmi b c.gmi\n=> ./sub/ sub/\n')"
case_ "$base/dir" 31 "/dir/" "$none"
case_ "$base/moved" 30 "gemini://example.org/new-home" "$none"
case_ "$base/missing.gmi" 51 "file not found" "$none"
case_ "$base/cgi-bin/env/extra?a%20b" 20 "text/plain" \
    "$(body 'query=a b\nscript=env\npath=/extra\nserver=localhost\n')" 0
case_ "$base/big.bin" 20 "application/octet-stream" "$root/big.bin"
check_fetches "pages, listing, redirects, CGI, not found, 10 MiB file"

for n in $(seq -w 1 20); do
    case_ "$base/conc/$n.gmi" 20 "text/gemini; lang=en" "$root/conc/$n.gmi"
done
check_fetches "20 concurrent fetches"

jbase=gemini://localhost:$jail_port
case_ "$jbase/" 20 "text/gemini; lang=en" "$jail/index.gmi"
case_ "$jbase/cgi-bin/env?jailed" 20 "text/plain" \
    "$(body 'query=jailed\nscript=env\npath=\nserver=localhost\n')" 0
case_ "$jbase/bin" 31 "/bin/" "$none"
check_fetches "chroot as nobody, shell CGI inside the root"

# --- System log ----------------------------------------------------------

# A request line is "<30>" (daemon.info), the tag "tolm: ", and the request,
# code and byte count: no time stamp, which the log daemon adds.
prefix='^<30>tolm(\[[0-9]+\])?: '
want=$(wc -l <"$expected_log")
wait_syslog "$want" 10 "$prefix" || true
grep -E -- "$prefix" "$it_tmp/syslog" | sed -E "s/$prefix//" | sort >"$it_tmp/got.log"
sort "$expected_log" >"$it_tmp/want.log"
if ! diff -u "$it_tmp/want.log" "$it_tmp/got.log"; then
    fail "the system log does not hold exactly one request line per request (- expected, + logged)"
fi
if grep -v -E -- "$prefix" "$it_tmp/syslog" | grep -q .; then
    grep -v -E -- "$prefix" "$it_tmp/syslog" >&2
    fail "unexpected messages in the system log"
fi
say "ok: one request line per request in the system log ($want lines)"
