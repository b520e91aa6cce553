#!/bin/sh
# The built module exports exactly the three entry points, by their plain (undecorated) names.
# A Windows module's symbol table also holds each entry point once: a second, decorated alias
# (DllGetClassObject beside DllGetClassObject@12) means that the linker matched a .def name of
# the other architecture by guessing.
# Usage: export_table.sh elf NM MODULE | export_table.sh pe OBJDUMP MODULE NM
set -eu
kind=$1
tool=$2
module=$3
case $kind in
    elf) names=$("$tool" -D --defined-only "$module" | awk '{ print $NF }' | sort) ;;
    pe) names=$("$tool" -p "$module" | sed -n '/^\[Ordinal\/Name Pointer\] Table/,/^$/p' |
        grep -E '^[[:space:]]+\[ *[0-9]+\]' | awk '{ print $NF }' | sort) ;;
    *) echo "unknown kind $kind" >&2; exit 2 ;;
esac
expected=$(printf '%s\n' DllCanUnloadNow DllGetClassObject DllRegisterServer)
if [ "$names" != "$expected" ]; then
    echo "FAIL: $module exports:" >&2
    printf '%s\n' "$names" >&2
    exit 1
fi
echo "ok   $module exports:" $names

[ "$kind" = pe ] || exit 0
# Global symbols only: the compiler's local pieces (DllCanUnloadNow@0.cold) are no aliases.
symbols=$("$4" --defined-only --extern-only "$module" |
    awk '$NF ~ /^_?Dll(CanUnloadNow|GetClassObject|RegisterServer)(@[0-9]+)?$/ { print $NF }' |
    sort)
plain=$(printf '%s\n' "$symbols" | sed 's/^_//; s/@[0-9]*$//')
if [ "$plain" != "$expected" ]; then
    echo "FAIL: $module defines the entry points as:" >&2
    printf '%s\n' "$symbols" >&2
    exit 1
fi
echo "ok   $module defines each entry point once:" $symbols
