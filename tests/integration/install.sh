#!/usr/bin/env bash
# "cmake --install" puts the program in sbin and the manual page in
# share/man/man8, below the prefix and DESTDIR.
#
#   install.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=tests/integration/lib.sh
source "$here/lib.sh"

build=${1:?usage: install.sh BUILD_DIR SOURCE_DIR}
source_dir=${2:?usage: install.sh BUILD_DIR SOURCE_DIR}
it_begin 60

prefix=/opt/tolm-test
DESTDIR=$it_tmp/dest cmake --install "$build" --prefix "$prefix" >"$it_tmp/install.log" ||
    fail "cmake --install failed: $(cat "$it_tmp/install.log")"
bin=$it_tmp/dest$prefix/sbin/tolm
man=$it_tmp/dest$prefix/share/man/man8/tolm.8
[ -x "$bin" ] || fail "no executable at sbin/tolm"
[ -f "$man" ] || fail "no manual page at share/man/man8/tolm.8"
cmp -s "$man" "$source_dir/man/tolm.8" || fail "the installed manual page differs from man/tolm.8"
[ ! -e "$prefix" ] || fail "the install wrote outside DESTDIR"
# The installed program answers a request.
got=$(printf 'http://x\r\n' | "$bin" 2>/dev/null || true)
[ "$got" = $'59 Malformed request\r' ] || fail "the installed program answered: $got"
say "ok: sbin/tolm and share/man/man8/tolm.8 installed"
