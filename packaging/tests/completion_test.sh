#!/usr/bin/env bash
# The bash completions of both programs: the options they offer are exactly
# those of the programs' own --help, and values are completed where the
# programs expect files or a fixed set of kinds.
#   completion_test.sh COMPLETION_DIR PWD_CHANGER QOVA_ROUTER
set -euo pipefail
dir=$1 pwd_changer=$2 router=$3
source "$dir/pwd_changer"
source "$dir/qova-router"

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
touch "$scratch/account.db" "$scratch/site.ini"

failures=0
# complete PROGRAM WORD...: COMPREPLY, sorted, on one line, for the command
# line PROGRAM WORD... with the cursor at the end of the last word.
complete_line() {
    COMP_WORDS=("$@")
    COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
    local registration
    registration=$(complete -p "$1")  # "complete -F FUNCTION PROGRAM"
    local function=${registration#complete -F }
    "${function%% *}"
    ((${#COMPREPLY[@]} == 0)) || printf '%s\n' "${COMPREPLY[@]}" | sort | tr '\n' ' '
}
expect() {  # expect "WANTED" PROGRAM WORD...
    local wanted=$1 got
    shift
    got=$(complete_line "$@")
    if [[ $got != "$wanted" ]]; then
        echo "FAIL: $*: got '$got', wanted '$wanted'"
        failures=$((failures + 1))
    fi
}
sorted() { tr ' ' '\n' <<<"$1" | grep . | sort | tr '\n' ' '; }

# Every option the programs know, from their --help (pwd_changer goes on
# after its usage text and fails on the empty record: no address to reach).
tool_help=$("$pwd_changer" --help x </dev/null 2>/dev/null || true)
tool_options=$(grep -oE -- '(^  |\[ )-{1,2}[a-z_]+' <<<"$tool_help" | grep -oE -- '-+[a-z_]+' | tr '\n' ' ')
router_options=$("$router" --help | grep -oE -- '^  --[a-z-]+' | tr -d ' ' | tr '\n' ' ')
[[ $tool_options == *--local_pass* && $router_options == *--audit* ]] || {
    echo "FAIL: no options read from --help: '$tool_options' '$router_options'"
    exit 1
}

expect "$(sorted "$tool_options")" pwd_changer ''
expect "$(sorted "$router_options")" qova-router ''
expect '--help --host ' pwd_changer --h
expect "$scratch/site.ini " pwd_changer -i "$scratch/si"
expect "$scratch/site.ini " pwd_changer --ini = "$scratch/si"
expect '' pwd_changer --port ''
expect '' pwd_changer --local_pass ''
expect "$scratch/account.db " qova-router --db "$scratch/acc"
expect "$scratch/account.db " qova-router --password-file "$scratch/a"
expect "$scratch/account.db " qova-router --db = "$scratch/a"
expect 'interactive min moderate ' qova-router --hash-cost ''
expect 'min moderate ' qova-router --db x --hash-cost m
expect '100 169 99 ' qova-router --force-reply ''
expect '--audit ' qova-router --db x --au
expect '' qova-router --listen ''

if ((failures)); then
    echo "$failures case(s) failed"
    exit 1
fi
echo "completions: all cases passed"
