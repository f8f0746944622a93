#!/bin/bash
# Loads the bash completion file $1 into a plain bash (no bash-completion package) and checks what
# it offers in a folder of logs and databases.
set -eu
file=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() {
    echo "completion test: $*" >&2
    exit 1
}

bash -n "$file" || fail "syntax error in $file"
# shellcheck source=/dev/null
source "$file"
[[ $(complete -p loglathe) == "complete -F _loglathe loglathe" ]] || fail "loglathe has no completion"

cd "$work"
mkdir dbc logs
touch vehicle.dbc body.DBC notes.md dbc/j1939.dbc logs/1.txt logs/2.TXT logs/old.csv

# Completes the words as readline would hand them over and prints the replies, sorted, one a line.
reply() {
    COMP_WORDS=("$@")
    COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
    COMPREPLY=()
    _loglathe 2>/dev/null
    printf '%s\n' "${COMPREPLY[@]}" | LC_ALL=C sort
}
expect() {
    local want=$1
    shift
    local got
    got=$(reply "$@")
    [[ $got == "$want" ]] || fail "for '$*': expected [$want], got [$got]"
}
nl=$'\n'

# "--dbc-can1=" split at "=" (bash's default word breaks): .dbc files in any case and folders.
expect "body.DBC${nl}dbc${nl}logs${nl}vehicle.dbc" loglathe --dbc-can1 =
expect "body.DBC${nl}dbc${nl}logs${nl}vehicle.dbc" loglathe --dbc-can1 = ""
expect "vehicle.dbc" loglathe --dbc-can12 = v
expect "dbc/j1939.dbc" loglathe --dbc-can2 = dbc/
# The same with "=" not a word break: the option stays in the reply.
expect "--dbc-can1=body.DBC${nl}--dbc-can1=dbc/${nl}--dbc-can1=logs/${nl}--dbc-can1=vehicle.dbc" \
    loglathe --dbc-can1=
expect "--dbc-can3=vehicle.dbc" loglathe --dbc-can3=ve
# Options, and the "=" after a channel number.
expect "--dbc-can1=" loglathe --dbc-can1
expect "--dbc-can1=${nl}--dbdump${nl}--delete-converted" loglathe --d
expect "--no-pgn-dst-merge${nl}--no-pgn-src-merge" loglathe --no-pgn
expect "--non-interactive" loglathe --non
# Option values.
expect "dbc${nl}logs" loglathe -O ""
expect "dbc${nl}logs" loglathe --output-directory = ""
expect "0${nl}1${nl}2${nl}3${nl}4" loglathe --verbosity = ""
# Inputs: folders and .txt logs in any case.
expect "logs/1.txt${nl}logs/2.TXT" loglathe --dbc-can1=vehicle.dbc logs/
expect "dbc${nl}logs" loglathe --non-interactive ""
