#!/usr/bin/env bash
# Builds the libFuzzer targets in build-fuzz (clang) and either fuzzes each for a bounded time or
# replays the saved inputs.
#   fuzz/run.sh fuzz     each target for FUZZ_SECONDS (default 30) from its seed corpus, JOBS
#                        targets at a time; an input that breaks an invariant or crashes is saved
#                        in fuzz/regressions/<target>/ and the run fails
#   fuzz/run.sh replay   each target once over fuzz/regressions/<target>/ and its seed corpus
# FUZZ_BUILD names the build folder (default build-fuzz), JOBS the build's parallelism.
set -euo pipefail
cd "$(dirname "$0")/.."
mode=${1:-fuzz}
build=${FUZZ_BUILD:-build-fuzz}
seconds=${FUZZ_SECONDS:-30}
targets=(receive value tag sim_request registry modbus_request http_write_body history_query)

command -v clang++ >/dev/null || { echo "fuzz: clang++ is not installed (make deps)" >&2; exit 1; }
if [ ! -f "$build/CMakeCache.txt" ]; then
    generator=()
    ! command -v ninja >/dev/null || generator=(-G Ninja)
    cmake -S fuzz -B "$build" "${generator[@]}" -DCMAKE_CXX_COMPILER=clang++ \
        -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
cmake --build "$build" -j"${JOBS:-2}" >/dev/null

# Each target's inputs: its saved regressions, then its seeds.
inputs_of() {
    local folder
    for folder in "fuzz/regressions/$1" "fuzz/corpus/$1"; do
        [ -d "$folder" ] || continue
        find "$folder" -type f ! -name '.*' -print0 | sort -z
    done
}

replay_one() {
    local target=$1 binary="$build/fuzz_$1" inputs=()
    while IFS= read -r -d '' file; do inputs+=("$file"); done < <(inputs_of "$target")
    [ ${#inputs[@]} -gt 0 ] || return 0
    if ! "$binary" "${inputs[@]}" >"$build/replay_$target.log" 2>&1; then
        echo "fuzz replay: $target FAILED (see $build/replay_$target.log)" >&2
        tail -30 "$build/replay_$target.log" >&2
        return 1
    fi
    echo "fuzz replay: $target ${#inputs[@]} inputs passed"
}

fuzz_one() {
    local target=$1 binary="$build/fuzz_$1" runs
    # New inputs go to the build's own corpus; the checked-in seeds stay as they are.
    local work="$build/corpus/$target"
    mkdir -p "$work" "fuzz/regressions/$target"
    if ! "$binary" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
        -artifact_prefix="fuzz/regressions/$target/" -print_final_stats=1 \
        "$work" "fuzz/corpus/$target" >"$build/fuzz_$target.log" 2>&1; then
        echo "fuzz: $target FAILED; input saved in fuzz/regressions/$target/" >&2
        tail -40 "$build/fuzz_$target.log" >&2
        return 1
    fi
    runs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$build/fuzz_$target.log" | grep -o '[0-9]*$' || echo '?')
    echo "fuzz: $target ran ${seconds}s, $runs inputs, no fault"
}

status=0
case "$mode" in
replay)
    for target in "${targets[@]}"; do replay_one "$target" || status=1; done
    ;;
fuzz)
    # One target per core at a time: each still fuzzes for its full time, single-threaded.
    running=0
    for target in "${targets[@]}"; do
        if [ "$running" -ge "${JOBS:-2}" ]; then
            wait -n || status=1
            running=$((running - 1))
        fi
        fuzz_one "$target" &
        running=$((running + 1))
    done
    while [ "$running" -gt 0 ]; do
        wait -n || status=1
        running=$((running - 1))
    done
    ;;
*)
    echo "usage: $0 fuzz|replay" >&2
    exit 2
    ;;
esac
exit $status
