#!/usr/bin/env bash
# The benchmarks: installs what is needed, builds them in the release configuration and runs them
# one after another with their default sizes, printing each one's numbers. Names given as
# arguments run only those, e.g. `scripts/bench.sh value_json_bench bench_unpack`.
# They are run by hand, never as tests: their numbers depend on the machine and what else runs.
# sockets_bench uses the fixed port 39998; launcher_bench needs a display (a private Xvfb is
# used when there is none).
set -euo pipefail
cd "$(dirname "$0")/.."

# name:folder under bench/, cheapest first.
all=(
    value_json_bench:value webui_bench:webui updater_bench:updater system_bench:system
    sockets_bench:sockets selfupdate_bench:selfupdate bench_error_tracker:logging
    rest_download_bench:rest bench_unpack:files launcher_bench:app
)

chosen=()
if (($#)); then
    for name in "$@"; do
        found=""
        for entry in "${all[@]}"; do
            [ "${entry%%:*}" = "$name" ] && found=$entry
        done
        if [ -z "$found" ]; then
            echo "Unknown benchmark '$name'; known: ${all[*]%%:*}" >&2
            exit 2
        fi
        chosen+=("$found")
    done
else
    chosen=("${all[@]}")
fi

scripts/install-deps.sh
cmake --preset release >/dev/null
targets=()
for entry in "${chosen[@]}"; do
    targets+=("${entry%%:*}")
done
cmake --build --preset release -j "$(nproc)" --target "${targets[@]}"

build=build/release
status=0
for entry in "${chosen[@]}"; do
    name=${entry%%:*}
    program=$build/bench/${entry#*:}/$name
    echo
    echo "=== $name"
    if [ "$name" = launcher_bench ] && [ -z "${DISPLAY:-}" ]; then
        xvfb-run -a -s "-screen 0 1280x800x24 -nolisten tcp" "$program" || status=1
    else
        "$program" || status=1
    fi
done
exit "$status"
