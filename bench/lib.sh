# shellcheck shell=bash disable=SC2154 # the paths and settings bench/run exports
# Sourced by bench/run and by each section in bench/run.d/: the figures'
# arithmetic and the summary rows. The driver exports the paths and
# settings the sections read (see bench/run).

say() { printf '\n=== %s\n' "$*"; }

# A / B to two places, or n/a.
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (a != "" && b > 0) printf "%.2f", a / b; else printf "n/a" }'; }

# The median of the numbers on standard input, one a line.
median() { sort -g | awk '{ v[NR] = $1 } END { if (NR) print v[int((NR + 1) / 2)]; else print "n/a" }'; }

# The value of KEY=VALUE in each line of standard input.
kv() { sed -n "s/.* $1=\([^ ]*\).*/\1/p"; }

# Field N of the RESULT line for NAME in a drive output file.
field() { awk -v n="$2" -v f="$3" '$1 == "RESULT" && $2 == n { print $f }' "$1"; }

# A summary row: the four contenders, then tolm/floor (musl), musl tolm
# against glibc tolm, and glibc tolm/floor.
row() { # LABEL TOLM FLOOR TOLM-GLIBC FLOOR-GLIBC
    printf '%-44s %10s %10s %11s %11s %9s %9s %9s\n' "$1" "$2" "$3" "$4" "$5" \
        "$(ratio "$2" "$3")" "$(ratio "$2" "$4")" "$(ratio "$4" "$5")" >>"$tmp/summary"
}

# The same from field N of a drive output for the four contenders.
row_of() { # LABEL FILE FIELD
    row "$1" "$(field "$2" tolm "$3")" "$(field "$2" floor "$3")" \
        "$(field "$2" tolm-glibc "$3")" "$(field "$2" floor-glibc "$3")"
}

# A line of the summary that is not a row of the four contenders.
note() { printf '%s\n' "$*" >>"$tmp/notes"; }
