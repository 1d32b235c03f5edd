#!/usr/bin/env bash
# The test command: installs what is needed, builds the release and the sanitizer configurations
# and runs the tests (GUI tests under a private Xvfb when there is no display).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh

jobs=$(nproc)

run_ctest() {
    if [ -n "${DISPLAY:-}" ]; then
        ctest "$@"
    else
        xvfb-run -a -s "-screen 0 1280x800x24 -nolisten tcp" ctest "$@"
    fi
}

# Both configurations always run, so that a failure in the first does not hide the second; the
# command fails when either does.
release_status=0
asan_status=0
{ cmake --preset release && cmake --build --preset release -j "$jobs" &&
    run_ctest --preset release "$@"; } || release_status=$?
{ cmake --preset asan && cmake --build --preset asan -j "$jobs" &&
    ASAN_OPTIONS=detect_leaks=1 ctest --preset asan "$@"; } || asan_status=$?

summary() {
    if [ "$2" -eq 0 ]; then
        echo "$1: passed"
    else
        echo "$1: FAILED (exit status $2)"
    fi
}
echo
echo "== Test summary =="
summary release "$release_status"
summary asan "$asan_status"
[ "$release_status" -eq 0 ] && [ "$asan_status" -eq 0 ]
