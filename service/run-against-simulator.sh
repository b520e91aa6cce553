#!/bin/sh
# qm4720d with examples/qm4720d.toml against two simulators on the links that file names, the
# history in BUILD_FOLDER/qm4720d-history.db rather than the installed service's folder; Ctrl-C
# (or SIGTERM) stops the service, then the simulators. Run after `make service`.
#   service/run-against-simulator.sh [BUILD_FOLDER]
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
for program in qm4720sim qm4720d; do
    [ -x "$build/$program" ] || { echo "$0: $build/$program is missing: run make service" >&2; exit 2; }
done
"$build/qm4720sim" --station 1 --station 12:QM4720N --link /tmp/qm4720-line1 >/dev/null &
sim1=$!
"$build/qm4720sim" --station 3 --link /tmp/qm4720-line2 >/dev/null &
sim2=$!
trap 'kill -TERM "$sim1" "$sim2" 2>/dev/null; wait "$sim1" "$sim2" 2>/dev/null' EXIT
trap 'kill -TERM "$service" 2>/dev/null' INT TERM
config="$build/qm4720d-simulator.toml"
sed "s|^database = \"[^\"]*\"|database = \"$build/qm4720d-history.db\"|" \
    "$root/examples/qm4720d.toml" >"$config"
"$build/qm4720d" --config "$config" &
service=$!
wait "$service" || wait "$service"
