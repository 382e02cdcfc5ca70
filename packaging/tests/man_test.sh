#!/bin/sh
# A man page renders without a single warning, under groff and under man as
# lintian runs it.
#   man_test.sh PAGE
set -eu
page=$1
out=$(groff -ww -z -man -t "$page" 2>&1)
out="$out$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 -l -Tutf8 -Z "$page" 2>&1 >/dev/null)"
if [ -n "$out" ]; then
    printf '%s\n' "$out"
    exit 1
fi
# Something rendered at all.
LC_ALL=C.UTF-8 MANWIDTH=80 man -l "$page" 2>/dev/null | grep -q '^SYNOPSIS' || {
    echo "$page: nothing rendered"
    exit 1
}
