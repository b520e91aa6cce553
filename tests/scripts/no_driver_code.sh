#!/bin/sh
# The programs reach the driver by loading the module, never by linking its code:
# a host that carried its own copy would go on talking the old protocol after the module was
# updated. Each file given must define the host library's symbols (so that there are symbols to
# look at) and none of the driver's, protocol's or serial layer's.
status=0
for file in "$@"; do
    symbols=$(nm -C --defined-only "$file") || { echo "FAIL $file: nm cannot read it"; exit 1; }
    if ! printf '%s\n' "$symbols" | grep -q 'qm4720::Driver::'; then
        echo "FAIL $file: no symbols of the host library to look at (stripped?)"
        status=1
        continue
    fi
    linked=$(printf '%s\n' "$symbols" | grep -E '^[0-9a-f]* [A-Za-z] (driver|protocol|serial)::' | head -5)
    if [ -n "$linked" ]; then
        echo "FAIL $file links the driver's code:"
        printf '%s\n' "$linked"
        status=1
    else
        echo "ok   $file"
    fi
done
exit $status
