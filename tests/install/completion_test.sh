#!/usr/bin/env bash
# The bash completion of both programs, sourced into this shell and asked for a few prefixes as
# bash asks it on Tab: each case gives the words so far and the completions it must offer (and
# a word it must not, after "!").
#   completion_test.sh COMPLETION_DIR
set -u
dir=$1
source "$dir/qm4720ctl" || exit 1
source "$dir/qm4720sim" || exit 1

failed=0
check() { # COMMAND_LINE EXPECTED...
    local line=$1
    shift
    read -r -a COMP_WORDS <<<"$line"
    # A line that ends in a space asks for the next word.
    [[ $line == *" " ]] && COMP_WORDS+=("")
    COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
    COMP_LINE=$line COMP_POINT=${#line}
    COMPREPLY=()
    local function
    function=$(complete -p "${COMP_WORDS[0]}" | sed -n 's/.*-F \([^ ]*\) .*/\1/p')
    if [ -z "$function" ]; then
        echo "FAILED: no completion for ${COMP_WORDS[0]}"; failed=1; return
    fi
    "$function" "${COMP_WORDS[0]}" "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
    local want got=" ${COMPREPLY[*]} "
    for want in "$@"; do
        if [[ $want == !* ]]; then
            [[ $got == *" ${want#!} "* ]] && { echo "FAILED: '$line' offers ${want#!}:$got"; failed=1; }
        else
            [[ $got == *" $want "* ]] || { echo "FAILED: '$line' lacks $want:$got"; failed=1; }
        fi
    done
}

check "qm4720ctl " read write poll probe ports tables check-station parse register history demo
check "qm4720ctl re" read register !write
check "qm4720ctl --format " text csv json jsonl
check "qm4720ctl read PV --par" --parity !--port
check "qm4720ctl read PV --parity " none odd even mark space
check "qm4720ctl tables --model " QM4720N
check "qm4720ctl read " PV SP OP !--station
check "qm4720ctl write SP=1 --" --verify --station --port !--count
check "qm4720ctl poll PV --" --interval --count --station
check "qm4720ctl --v" --version
check "qm4720ctl history --" --db --since --until --register !--port
check "qm4720ctl history --register P" PV PR !OP
check "qm4720sim --" --station --fault --device --version
check "qm4720sim --fault " timeout= bad-bcc= split= noise= nak= non-numeric= lone-stx=
check "qm4720sim --parity e" even !odd
[ $failed -eq 0 ] && echo "every completion case passed"
exit $failed
