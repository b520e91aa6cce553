#!/bin/sh
# Runs a test that needs a tool, or says plainly why it cannot. The tool is looked for when the
# test runs, not when CMake configures. Found (a name on PATH, or a path): runs COMMAND, or with
# no COMMAND exits 0. Missing: prints one line naming the tool and exits 77, which the test's
# SKIP_RETURN_CODE reports as a skip; under CI (CI=true or REQUIRE_WIN32=1) `make deps` has
# installed every tool, so a missing one fails the test instead (exit 1).
#   require_tool.sh TOOL [COMMAND [ARGUMENTS...]]
set -u
tool=$1
shift
if command -v "$tool" >/dev/null 2>&1; then
    [ $# -eq 0 ] && exit 0
    exec "$@"
fi
if [ "${CI:-}" = true ] || [ "${REQUIRE_WIN32:-0}" = 1 ]; then
    echo "FAILED: $tool is not installed, and under CI no test may be skipped (make deps installs it)"
    exit 1
fi
echo "skipped: $tool is not installed (make deps installs it)"
exit 77
