#!/usr/bin/env bash
# Runs a host program against a simulated instrument: station 1 of the default model, held still,
# with PV at 42.5. Starts SIMULATOR, waits for the port it announces, runs COMMAND with every
# @PORT@ in its arguments replaced by that port, checks that its output contains EXPECTED, and
# stops the simulator by its process id whatever happened.
#   with_simulator.sh SIMULATOR EXPECTED COMMAND [ARGUMENTS...]
set -u
simulator=$1 expected=$2
shift 2
work=$(mktemp -d)
sim_pid=
cleanup() {
    [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT

"$simulator" --station 1 --frozen --set 1:PV=42.5 >"$work/sim.out" 2>"$work/sim.err" &
sim_pid=$!
port=
for _ in $(seq 100); do
    grep -q '^READY' "$work/sim.out" 2>/dev/null && port=$(sed -n 's/^PORT=//p' "$work/sim.out")
    [ -n "$port" ] && break
    kill -0 "$sim_pid" 2>/dev/null || break
    sleep 0.1
done
if [ -z "$port" ]; then
    echo "FAILED: the simulator announced no port"; cat "$work/sim.err"; exit 1
fi

args=()
for a in "$@"; do args+=("${a//@PORT@/$port}"); done
output=$("${args[@]}" 2>&1)
status=$?
printf '%s\n' "$output"
if [ $status -ne 0 ]; then echo "FAILED: ${args[*]} exited with $status"; exit 1; fi
case $output in
    *"$expected"*) exit 0 ;;
    *) echo "FAILED: expected '$expected' in the output of ${args[*]}"; exit 1 ;;
esac
