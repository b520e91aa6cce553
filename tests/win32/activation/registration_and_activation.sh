#!/bin/sh
# Under Wine: regsvr32 registers the module, `reg query` shows the five entries and no threading
# model, and the platform's own activation by programmatic identifier serves a host. In a 64-bit
# prefix the 64-bit module registers its class in the 64-bit view of the registry only: a 32-bit
# host, which reads the 32-bit view, does not find it there.
# Usage: registration_and_activation.sh WINE_RUN MODULE PROBE win32|win64
set -u
run=$1
module=$2
probe=$3
arch=$4
clsid='{352E65A1-594C-4A27-8B35-1293DABC8843}'
progid='QM4720.QM4720Pro'

fail() {
    printf 'FAIL: %s\n' "$*" >&2
    exit 1
}

winmodule=$("$run" winepath -w "$module" 2>/dev/null | tr -d '\r')
[ -n "$winmodule" ] || fail "no Windows path for $module"

"$run" regsvr32 /s "$winmodule"
status=$?
[ "$status" -eq 0 ] || fail "regsvr32 exited with $status"
printf 'ok   regsvr32 /s %s\n' "$winmodule"

# The default value of a key under HKEY_CLASSES_ROOT, as reg prints it.
default_of() {
    "$run" reg query "HKEY_CLASSES_ROOT\\$1" /ve 2>&1 | tr -d '\r' |
        sed -n 's/^ *(Default) *REG_SZ *//p'
}

expect() {
    got=$(default_of "$1")
    [ "$got" = "$2" ] || fail "HKCR\\$1 holds '$got', expected '$2'"
    printf 'ok   HKCR\\%s = %s\n' "$1" "$2"
}

expect "$progid" "$progid"
expect "CLSID\\$clsid" "$progid"
expect "$progid\\CLSID" "$clsid"
expect "CLSID\\$clsid\\ProgID" "$progid"

server=$(default_of "CLSID\\$clsid\\InProcServer32")
[ -n "$server" ] || fail "InProcServer32 has no path"
# The short form has hashed folder names; the file name itself is already 8.3.
case $(printf '%s' "$server" | tr 'a-z' 'A-Z') in
    *\\QM4720.DLL) printf 'ok   InProcServer32 = %s\n' "$server" ;;
    *) fail "InProcServer32 names '$server'" ;;
esac
listing=$("$run" reg query "HKEY_CLASSES_ROOT\\CLSID\\$clsid\\InProcServer32" 2>&1 | tr -d '\r')
if printf '%s' "$listing" | grep -qi ThreadingModel; then
    fail "a threading model is registered: $listing"
fi

if [ "$arch" = win64 ]; then
    key="HKEY_CLASSES_ROOT\\CLSID\\$clsid"
    "$run" reg query "$key" /reg:64 >/dev/null 2>&1 ||
        fail "the class is missing from the 64-bit view"
    if "$run" reg query "$key" /reg:32 >/dev/null 2>&1; then
        fail "the class is registered in the 32-bit view"
    fi
    printf 'ok   HKCR\\CLSID\\%s in the 64-bit view only\n' "$clsid"
fi

"$run" "$probe" || fail "activation by the platform"
