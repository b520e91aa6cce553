#!/bin/sh
# require_tool.sh decides between running, skipping and failing: one case per line.
#   require_tool_test.sh REQUIRE_TOOL
set -u
require_tool=$1
missing=qm4720-no-such-tool
failures=0

# check NAME EXPECTED-STATUS EXPECTED-OUTPUT -- ENVIRONMENT... -- ARGUMENTS...
check() {
    name=$1 status=$2 output=$3
    shift 4
    environment=
    while [ "$1" != -- ]; do environment="$environment $1"; shift; done
    shift
    # shellcheck disable=SC2086 # the environment settings are words on purpose
    got=$(env -u CI -u REQUIRE_WIN32 $environment sh "$require_tool" "$@" 2>&1)
    got_status=$?
    if [ "$got_status" != "$status" ] || [ "$got" != "$output" ]; then
        echo "FAIL $name: status $got_status (expected $status), output '$got' (expected '$output')"
        failures=$((failures + 1))
    else
        echo "ok   $name"
    fi
}

skipped="skipped: $missing is not installed (make deps installs it)"
failed="FAILED: $missing is not installed, and under CI no test may be skipped (make deps installs it)"
check "present tool runs the command" 0 "ran" -- -- sh echo ran
check "the command's own status is the test's" 3 "" -- -- sh sh -c 'exit 3'
check "present tool, nothing to run" 0 "" -- -- sh
check "present tool given as a path" 0 "ran" -- -- "$(command -v sh)" echo ran
check "missing tool skips and does not run" 77 "$skipped" -- -- $missing echo ran
check "missing tool, nothing to run" 77 "$skipped" -- -- $missing
check "CI=false is no CI" 77 "$skipped" -- CI=false -- $missing echo ran
check "REQUIRE_WIN32=0 is no CI" 77 "$skipped" -- REQUIRE_WIN32=0 -- $missing echo ran
check "CI=true fails" 1 "$failed" -- CI=true -- $missing echo ran
check "REQUIRE_WIN32=1 fails" 1 "$failed" -- REQUIRE_WIN32=1 -- $missing
check "missing path" 77 "skipped: /nonexistent/$missing is not installed (make deps installs it)" \
    -- -- /nonexistent/$missing echo ran

[ "$failures" -eq 0 ] || exit 1
