#!/bin/sh
# The unit file as systemd reads it: systemd-analyze verify, with the program paths pointed at
# this build's qm4720d and a configuration that exists. Any complaint (an unknown directive, a
# misspelt value) fails the test, and so does a history database of CONFIG outside the folder that
# the unit lets the service keep (its StateDirectory: /tmp is private to the unit and emptied at
# every stop).
#   unit_file_verify.sh UNIT_FILE QM4720D CONFIG
set -eu
unit=$1 program=$2 config=$3
state=$(sed -n 's/^StateDirectory=//p' "$unit")
database=$(sed -n 's/^database *= *"\([^"]*\)".*/\1/p' "$config")
case $database in
"/var/lib/$state/"?*) ;;
*)
    echo "$config: database \"$database\" is not in the unit's StateDirectory /var/lib/$state/"
    exit 1
    ;;
esac
dir=$(mktemp -d /tmp/qm4720d-unit-XXXXXX)
trap 'rm -rf "$dir"' EXIT
sed -e "s|/usr/bin/qm4720d|$program|g" -e "s|/etc/qm4720d.toml|$config|g" \
    "$unit" >"$dir/qm4720d.service"
# The man pages the unit names are installed by the package, not on this machine: the man_pages
# test checks them.
out=$(systemd-analyze verify --man=no "$dir/qm4720d.service" 2>&1) || { echo "$out"; exit 1; }
if [ -n "$out" ]; then
    echo "$out"
    exit 1
fi
echo "qm4720d.service: verified"
