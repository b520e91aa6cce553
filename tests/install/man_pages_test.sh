#!/bin/sh
# The man pages format without a single warning, carry this build's version, and describe every
# option that the program's --help lists (subcommands' options included).
#   man_pages_test.sh MAN_DIR VERSION QM4720CTL QM4720SIM
set -u
dir=$1 version=$2 ctl=$3 sim=$4
failed=0
fail() { echo "FAILED: $*"; failed=1; }

for page in qm4720ctl.1 qm4720sim.1; do
    warnings=$(LC_ALL=C.UTF-8 groff -man -ww -z -t "$dir/$page" 2>&1)
    [ -z "$warnings" ] || fail "$page: groff says: $warnings"
    grep -q "^\.TH .*\"qm4720 $version\"" "$dir/$page" || fail "$page: no version $version in .TH"
    for section in NAME SYNOPSIS DESCRIPTION "EXIT STATUS" EXAMPLES FILES "SEE ALSO"; do
        grep -q "^\.SH \"\{0,1\}$section\"\{0,1\}$" "$dir/$page" || fail "$page: no $section section"
    done
done

# Every long option of a --help. The page writes each hyphen as \-: read it with plain hyphens.
check_options() { # PAGE HELP_TEXT
    page_text=$(sed 's/\\-/-/g' "$dir/$1")
    for option in $(printf '%s\n' "$2" | grep -o -- '--[a-z][a-z-]*' | sort -u); do
        printf '%s\n' "$page_text" | grep -q -- "$option\\b" || fail "$1: $option is not described"
    done
}
check_options qm4720sim.1 "$("$sim" --help)"
help=$("$ctl" --help)
check_options qm4720ctl.1 "$help"
for command in ports tables check-station parse register probe read write poll history demo; do
    sed 's/\\-/-/g' "$dir/qm4720ctl.1" | grep -q "^\.SS $command\b" || fail "qm4720ctl.1: no subsection on $command"
    check_options qm4720ctl.1 "$("$ctl" "$command" --help)"
done
[ $failed -eq 0 ] && echo "both man pages check out"
exit $failed
