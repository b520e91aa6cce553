#!/usr/bin/env bash
# Builds the libFuzzer targets in build-fuzz (clang) and either fuzzes each for a bounded time or
# replays the saved inputs.
#   fuzz/run.sh fuzz     each target for FUZZ_SECONDS (default 30) from its seed corpus; an input
#                        that breaks an invariant or crashes is saved in fuzz/regressions/<target>/
#                        and the run fails
#   fuzz/run.sh replay   each target once over fuzz/regressions/<target>/ and its seed corpus
# FUZZ_BUILD names the build folder (default build-fuzz), JOBS the build's parallelism.
set -euo pipefail
cd "$(dirname "$0")/.."
mode=${1:-fuzz}
build=${FUZZ_BUILD:-build-fuzz}
seconds=${FUZZ_SECONDS:-30}
targets=(receive value tag sim_request registry modbus_request history_query)

command -v clang++ >/dev/null || { echo "fuzz: clang++ is not installed (make deps)" >&2; exit 1; }
if [ ! -f "$build/CMakeCache.txt" ]; then
    cmake -S fuzz -B "$build" -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
cmake --build "$build" -j"${JOBS:-2}" >/dev/null

status=0
for target in "${targets[@]}"; do
    binary="$build/fuzz_$target"
    inputs=()
    for folder in "fuzz/regressions/$target" "fuzz/corpus/$target"; do
        [ -d "$folder" ] || continue
        while IFS= read -r -d '' file; do inputs+=("$file"); done \
            < <(find "$folder" -type f ! -name '.*' -print0 | sort -z)
    done
    case "$mode" in
    replay)
        [ ${#inputs[@]} -gt 0 ] || continue
        if ! "$binary" "${inputs[@]}" >"$build/replay_$target.log" 2>&1; then
            echo "fuzz replay: $target FAILED (see $build/replay_$target.log)" >&2
            tail -30 "$build/replay_$target.log" >&2
            status=1
        else
            echo "fuzz replay: $target ${#inputs[@]} inputs passed"
        fi
        ;;
    fuzz)
        # New inputs go to the build's own corpus; the checked-in seeds stay as they are.
        work="$build/corpus/$target"
        mkdir -p "$work" "fuzz/regressions/$target"
        if ! "$binary" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
            -artifact_prefix="fuzz/regressions/$target/" -print_final_stats=1 \
            "$work" "fuzz/corpus/$target" >"$build/fuzz_$target.log" 2>&1; then
            echo "fuzz: $target FAILED; input saved in fuzz/regressions/$target/" >&2
            tail -40 "$build/fuzz_$target.log" >&2
            status=1
        else
            runs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$build/fuzz_$target.log" | grep -o '[0-9]*$' || echo '?')
            echo "fuzz: $target ran ${seconds}s, $runs inputs, no fault"
        fi
        ;;
    *)
        echo "usage: $0 fuzz|replay" >&2
        exit 2
        ;;
    esac
done
exit $status
