#!/usr/bin/env bash
# The manual page must format without a warning from mandoc or groff.
#
#   manpage.sh PAGE
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
