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

cmake --preset release
cmake --build --preset release -j "$jobs"
run_ctest --preset release

cmake --preset asan
cmake --build --preset asan -j "$jobs"
ASAN_OPTIONS=detect_leaks=1 ctest --preset asan
