#!/bin/sh
# The man pages format without a single warning, carry this build's version, and describe every
# option that the program's --help lists (subcommands' options included). With the service: its
# page too, and the configuration's page describes every key that the configuration reader takes.
#   man_pages_test.sh MAN_DIR VERSION QM4720CTL QM4720SIM [QM4720D CONFIG_READER_SOURCE]
set -u
dir=$1 version=$2 ctl=$3 sim=$4 service=${5:-} reader=${6:-}
failed=0
fail() { echo "FAILED: $*"; failed=1; }

check_page() { # PAGE SECTION...
    page=$1
    shift
    warnings=$(LC_ALL=C.UTF-8 groff -man -ww -z -t "$dir/$page" 2>&1)
    [ -z "$warnings" ] || fail "$page: groff says: $warnings"
    grep -q "^\.TH .*\"qm4720 $version\"" "$dir/$page" || fail "$page: no version $version in .TH"
    for section in "$@"; do
        grep -q "^\.SH \"\{0,1\}$section\"\{0,1\}$" "$dir/$page" || fail "$page: no $section section"
    done
}
for page in qm4720ctl.1 qm4720sim.1; do
    check_page $page NAME SYNOPSIS DESCRIPTION "EXIT STATUS" EXAMPLES FILES "SEE ALSO"
done
if [ -n "$service" ]; then
    check_page qm4720d.8 NAME SYNOPSIS DESCRIPTION OPTIONS SIGNALS "EXIT STATUS" FILES EXAMPLES "SEE ALSO"
    check_page qm4720d.toml.5 NAME DESCRIPTION EXAMPLES FILES "SEE ALSO"
fi

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

if [ -n "$service" ]; then
    check_options qm4720d.8 "$("$service" --help)"
    # Every key of the reader's lists of known keys is the tag of a definition (.TP or .TQ) or
    # names a table (.SS [name], [[a.name]]) in the configuration's page.
    keys=$(tr '\n' ' ' <"$reader" | grep -o 'OnlyKeys({[^}]*})' | grep -o '"[a-z_]*"' | tr -d '"' | sort -u)
    [ -n "$keys" ] || fail "no OnlyKeys({...}) list in $reader"
    described=$(sed 's/\\-/-/g' "$dir/qm4720d.toml.5" | awk '
        tag { print; tag = 0 }
        /^\.T[PQ]$/ { tag = 1 }
        /^\.SS / { gsub(/[][.]/, " "); print }' | tr -c 'a-z_\n' ' ')
    for key in $keys; do
        printf '%s\n' "$described" | grep -qw -- "$key" || fail "qm4720d.toml.5: key $key is not described"
    done
fi
[ $failed -eq 0 ] && echo "the man pages check out"
exit $failed
