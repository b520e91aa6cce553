#!/bin/sh
# The built module exports exactly the three entry points, by their plain (undecorated) names.
# Usage: export_table.sh elf NM MODULE | export_table.sh pe OBJDUMP MODULE
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
