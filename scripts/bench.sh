#!/usr/bin/env bash
# The benchmarks: builds them in the release configuration and runs them one after another with
# their default sizes, printing each one's numbers and, at the end, a summary with every ratio
# and how long each benchmark took. Names given as arguments run only those, e.g.
# `scripts/bench.sh value_json_bench bench_unpack`. --install-deps first installs the packages
# (scripts/install-deps.sh); without it only the tools are checked.
# They are run by hand, never as tests: their numbers depend on the machine and what else runs.
# sockets_bench and launcher_bench use the fixed ports 39998 and 39443 and look for running main
# applications: they run in private network and process namespaces (as root, or where user
# namespaces are allowed), so a running main application or another checkout does not change
# what they measure. launcher_bench starts an X server of its own.
set -euo pipefail
cd "$(dirname "$0")/.."

# name:folder under bench/, cheapest first.
all=(
    value_json_bench:value webui_bench:webui updater_bench:updater system_bench:system
    sockets_bench:sockets selfupdate_bench:selfupdate bench_error_tracker:logging
    rest_download_bench:rest bench_unpack:files launcher_bench:app
)
isolated=" sockets_bench launcher_bench "
# Google Benchmark programs measure our code alone (no peer): a shorter minimum time per case
# keeps the whole set within a few minutes.
gbench=" webui_bench updater_bench system_bench sockets_bench selfupdate_bench bench_error_tracker "

install=""
names=()
for argument in "$@"; do
    case $argument in
        --install-deps) install=1 ;;
        -*)
            echo "usage: scripts/bench.sh [--install-deps] [benchmark ...]" >&2
            exit 2
            ;;
        *) names+=("$argument") ;;
    esac
done

chosen=()
if ((${#names[@]})); then
    for name in "${names[@]}"; do
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

if [ -n "$install" ]; then
    scripts/install-deps.sh
else
    missing=()
    for tool in cmake ninja curl tar gzip Xvfb ip unshare timeout; do
        command -v "$tool" >/dev/null || missing+=("$tool")
    done
    if ((${#missing[@]})); then
        echo "Missing: ${missing[*]}. Run scripts/bench.sh --install-deps once." >&2
        exit 2
    fi
fi

cmake --preset release >/dev/null
targets=()
for entry in "${chosen[@]}"; do
    targets+=("${entry%%:*}")
done
cmake --build --preset release -j "$(nproc)" --target "${targets[@]}"

# How the isolated benchmarks are started: private network (loopback up), mount and process
# namespaces; none when this user may not make them.
isolate=()
if [ "$(id -u)" -eq 0 ]; then
    isolate=(unshare -n -m -p -f --mount-proc)
elif unshare -r -n -m -p -f --mount-proc true 2>/dev/null; then
    isolate=(unshare -r -n -m -p -f --mount-proc)
else
    echo "warning: no private namespaces for this user: sockets_bench and launcher_bench share" \
        "the machine's ports and processes" >&2
fi

build=build/release
output=$(mktemp -d)
trap 'rm -rf "$output"' EXIT
summary=()
status=0
started=$SECONDS
for entry in "${chosen[@]}"; do
    name=${entry%%:*}
    program=$build/bench/${entry#*:}/$name
    command=("$program")
    if [[ $gbench == *" $name "* ]]; then
        command+=(--benchmark_min_time=0.2)
    fi
    if [[ $isolated == *" $name "* ]] && ((${#isolate[@]})); then
        command=("${isolate[@]}" sh -c 'ip link set lo up && exec "$@"' sh "${command[@]}")
    fi
    echo
    echo "=== $name"
    begin=$SECONDS
    # A last guard: every benchmark ends by itself well before this.
    result=ok
    timeout --kill-after=10 300 "${command[@]}" 2>&1 | tee "$output/$name" || result=FAILED
    [ "$result" = ok ] || status=1
    summary+=("$name: $result, $((SECONDS - begin)) s")
    # Side-by-side benchmarks: all their lines but the legend; the others: their errors.
    while IFS= read -r line; do
        summary+=("    $line")
    done < <(if [[ $gbench == *" $name "* ]]; then
        grep -F -e 'ERROR OCCURRED' -e 'peak memory' "$output/$name"
    else
        grep -v -e '^median \[min-max\] of' -e '^$' "$output/$name"
    fi || true)
done

echo
echo "=== summary (ours / peer time or memory: lower is better; median [min-max])"
printf '%s\n' "${summary[@]}"
echo "total: $((SECONDS - started)) s"
exit "$status"
