#!/usr/bin/env bash
# The manual page must format without a warning from mandoc or groff, and
# its example configurations must be those shipped in examples/.
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
out=$(groff -mandoc -ww -z "$page" 2>&1)
[ -z "$out" ] || fail "groff warns about $page:"$'\n'"$out"
# Every option of the program is documented.
for opt in c d i l m u v; do
    grep -q -E "^\.It Fl $opt( |$)" "$page" || fail "option -$opt is not documented"
done
say "ok: $page is clean"

# The configuration lines in EXAMPLES are those of the shipped files:
# each must appear in one of them, blanks aside. Commands to type are left
# out.
examples=${2:-$here/../../examples}
normalize() { sed -e 's/[[:space:]]\+/ /g; s/^ //; s/ $//'; }
find "$examples" -type f ! -name '*.png' -exec cat {} + | normalize | sort -u >"${TMPDIR:-/tmp}/tolm-manpage.$$"
trap 'rm -f "${TMPDIR:-/tmp}/tolm-manpage.$$"' EXIT
missing=$(sed -n '/^\.Sh EXAMPLES/,/^\.Sh /p' "$page" | sed -n '/^\.Bd -literal/,/^\.Ed/p' | grep -v '^\.' |
    sed 's/\\e/\\/g' | normalize |
    grep -v -E '^($|#|-|/|(openssl|adduser|printf|ln|mkdir|cp|tcpserver) )' |
    grep -v -x -F -f "${TMPDIR:-/tmp}/tolm-manpage.$$" || true)
[ -z "$missing" ] || fail "EXAMPLES in $page has lines that no file in examples/ holds:"$'\n'"$missing"
say "ok: the configuration lines in EXAMPLES are in examples/"
