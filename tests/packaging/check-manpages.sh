#!/usr/bin/env bash
# check-manpages.sh MAN_DIR RTICTL
# Every page renders without a single warning, and rtictl's page describes
# every command `rtictl --help` lists.
set -uo pipefail
man_dir=$1 rtictl=$2
failed=0

for page in quorvex morva morvalauncher rtictl; do
    file=$man_dir/$page.1
    if [ ! -f "$file" ]; then
        echo "FAIL: $file is missing"
        failed=1
        continue
    fi
    warnings=$(groff -man -Tutf8 -ww -z "$file" 2>&1)
    if [ -n "$warnings" ]; then
        echo "FAIL: $page.1 renders with warnings:"
        echo "$warnings"
        failed=1
    fi
done

# The command lines of the help's two command lists ("  NAME ARGS...").
commands=$("$rtictl" --help | awk '/^(Registry|Executive) commands/ { on = 1; next }
                                  /^$/ { on = 0 }
                                  on && /^  [a-z]/ { print $1 }')
if [ -z "$commands" ]; then
    echo "FAIL: no commands found in 'rtictl --help'"
    failed=1
fi
# The first word of each entry's tag (the line after .TP) in the sections
# that describe the commands, with font changes and quotes dropped.
described=$(awk '/^\.SH / { on = ($0 ~ /COMMANDS/) ; next }
                 on && tag { gsub(/\\f[BIRP]|"|^\.BI? /, ""); print $1 }
                 { tag = on && /^\.TP/ }' "$man_dir/rtictl.1")
for c in $commands; do
    if ! grep -qxF -e "$c" <<<"$described"; then
        echo "FAIL: rtictl.1 does not describe the command '$c'"
        failed=1
    fi
done

[ $failed -eq 0 ] && echo "manual pages: OK"
exit $failed
