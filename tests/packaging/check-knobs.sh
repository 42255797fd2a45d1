#!/usr/bin/env bash
# check-knobs.sh SOURCE_DIR QUORVEX MORVA
# Every environment variable a server reads is described where an operator
# looks: its manual page's ENVIRONMENT section, its --help, and the
# /etc/default file its unit reads. The variables are found in the sources
# by the ways the servers read them (getenv, the bind-address and
# status-endpoint helpers, and the registry's table of timeouts).
set -uo pipefail
src=$1 quorvex=$2 morva=$3
failed=0
fail() { echo "FAIL: $*"; failed=1; }

knobs() {  # PREFIX DIR...: the quoted upper-case names starting with PREFIX_ or RTI_
    local prefix=$1; shift
    grep -ohE "\"(${prefix}|RTI)_[A-Z_]+\"" "$@" 2>/dev/null | tr -d '"' | sort -u |
        grep -vx RTI_HOME  # the launcher's, not a server's
}
# The rtilib variables reach both servers; each server's own folder its own.
quorvex_knobs=$(knobs QUORVEX "$src"/registry/*.cpp "$src"/rtilib/*.cpp)
morva_knobs=$(knobs MORVA "$src"/executive/*.cpp "$src"/rtilib/*.cpp)
[ -n "$quorvex_knobs" ] && [ -n "$morva_knobs" ] || { fail "no variables found in $src"; exit 1; }

environment() {  # PAGE: the tags of its ENVIRONMENT section
    awk '/^\.SH / { on = ($0 ~ /ENVIRONMENT/); next } on && /^\.B [A-Z_]+$/ { print $2 }' "$1"
}
check() {  # PROGRAM BINARY DEFAULT-FILES KNOBS
    local program=$1 binary=$2 defaults=$3 knobs=$4 help page
    help=$("$binary" --help)
    page=$(environment "$src/man/$program.1.in")
    for k in $knobs; do
        grep -qxF "$k" <<<"$page" || fail "$program.1 ENVIRONMENT does not describe $k"
        grep -qw -e "$k" <<<"$help" || fail "$program --help does not name $k"
        # shellcheck disable=SC2086
        grep -qE "^#?$k=" $defaults || fail "no $k in $defaults"
    done
}
check quorvex "$quorvex" "$src/packaging/default-quorvex" "$quorvex_knobs"
# The executives read /etc/default/quorvex too.
check morva "$morva" "$src/packaging/default-morva $src/packaging/default-quorvex" "$morva_knobs"

[ $failed -eq 0 ] && echo "environment variables: OK ($(echo $quorvex_knobs $morva_knobs | tr ' ' '\n' | sort -u | tr '\n' ' '))"
exit $failed
