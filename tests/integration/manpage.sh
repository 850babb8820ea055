#!/usr/bin/env bash
# The manual page must format without a warning from mandoc or groff, its
# example configurations must be those shipped in examples/ as the Debian
# package installs them (the program in /usr/sbin), and every file it names
# below /usr/share/doc/tolm must be one the package installs from the
# source tree.
#
#   manpage.sh PAGE [EXAMPLES_DIR]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=tests/integration/lib.sh
source "$here/lib.sh"

page=${1:?usage: manpage.sh PAGE}
require mandoc groff

# mandoc's exit status is 0 only when it found nothing at the level warning
# or above. Style notes such as "referenced manual not found" depend on
# the pages installed on the machine and do not count.
mandoc -Tlint -W warning "$page" || fail "mandoc -Tlint found problems in $page"
# -t: the page asks for tbl on its first line, as man-db reads it.
out=$(groff -t -mandoc -ww -z "$page" 2>&1)
[ -z "$out" ] || fail "groff warns about $page:"$'\n'"$out"
# Every option of the program is documented.
for opt in c d i l m p u v; do
    grep -q -E "^\.It Fl $opt( |$)" "$page" || fail "option -$opt is not documented"
done
say "ok: $page is clean"

# The configuration lines in EXAMPLES are those of the shipped files:
# each must appear in one of them, blanks aside. Commands to type are left
# out.
examples=${2:-$here/../../examples}
normalize() { sed -e 's/[[:space:]]\+/ /g; s/^ //; s/ $//'; }
find "$examples" -type f ! -name '*.png' -exec cat {} + | sed 's|/usr/local/sbin/tolm|/usr/sbin/tolm|g' |
    normalize | sort -u >"${TMPDIR:-/tmp}/tolm-manpage.$$"
trap 'rm -f "${TMPDIR:-/tmp}/tolm-manpage.$$"' EXIT
missing=$(sed -n '/^\.Sh EXAMPLES/,/^\.Sh /p' "$page" | sed -n '/^\.Bd -literal/,/^\.Ed/p' | grep -v '^\.' |
    sed 's/\\e/\\/g' | normalize |
    grep -v -E '^($|#|-|/|(openssl|adduser|id|printf|ln|mkdir|mknod|cp|tcpserver|service|apt-get|env|rsyslogd)( |$))' |
    grep -v -x -F -f "${TMPDIR:-/tmp}/tolm-manpage.$$" || true)
[ -z "$missing" ] || fail "EXAMPLES in $page has lines that no file in examples/ holds:"$'\n'"$missing"
say "ok: the configuration lines in EXAMPLES are in examples/"

# The package installs README.md and examples/ (but the capsule and the
# demo) in /usr/share/doc/tolm; every path the page names there must be
# one of them.
source_dir=$(cd "$examples/.." && pwd)
named=$(grep -o '/usr/share/doc/tolm/[^ ]*' "$page" | sed 's/[ ,.;:)]*$//' | sort -u)
[ -n "$named" ] || fail "$page names no file of /usr/share/doc/tolm"
for path in $named; do
    rel=${path#/usr/share/doc/tolm/}
    case $rel in examples/capsule* | examples/demo*) fail "$page names $path, which the package leaves out" ;; esac
    [ -e "$source_dir/$rel" ] || fail "$page names $path, which the package does not install"
done
say "ok: the page's files below /usr/share/doc/tolm are installed: $(tr '\n' ' ' <<<"$named")"
