#!/usr/bin/env bash
# The demo: installs what is needed, builds the release configuration, installs the launcher into
# build/demo/prefix, starts the local update service offering a demo main application, and runs
# the launcher with HOME and XDG folders of its own (under a private Xvfb when there is no
# display, saving a screenshot of its window). The launcher downloads and installs the demo main
# application and starts it. Then everything the demo started is stopped again. The exit status
# is not 0 when the demo main application was not started.
#
#   scripts/run-demo.sh [--build <folder>]
#
# --build <folder>: run against that release build folder, already built, without installing
# packages or building; the demo's files go to <folder>/demo.
set -euo pipefail
cd "$(dirname "$0")/.."
source_dir=$(pwd)

build=$source_dir/build/release
demo=$source_dir/build/demo
if [ "${1:-}" = "--build" ] && [ -n "${2:-}" ]; then
    build=$(cd "$2" && pwd)
    demo=$build/demo
else
    if [ $# -ne 0 ]; then
        echo "usage: scripts/run-demo.sh [--build <folder>]" >&2
        exit 2
    fi
    scripts/install-deps.sh
    cmake --preset release
    cmake --build --preset release -j "$(nproc)" \
        --target launcher launcher_resources update-service mainapp_program mainapp_bundle
fi
rm -rf "$demo"
mkdir -p "$demo"/{home,data,cache,config,runtime,tmp,service}
chmod 700 "$demo/runtime"
cmake --install "$build" --prefix "$demo/prefix" >/dev/null

pids=()
cleanup() {
    for pid in "${pids[@]}"; do
        kill "$pid" 2>/dev/null || true
    done
    # The demo main application runs on by itself; it was started with the demo's record file.
    if [ -f "$demo/mainapp.jsonl" ]; then
        python3 -c 'import json, sys
for line in open(sys.argv[1]):
    entry = json.loads(line)
    if entry.get("type") == "start":
        print(entry["pid"])' "$demo/mainapp.jsonl" | while read -r pid; do
            kill "$pid" 2>/dev/null || true
        done
    fi
    wait 2>/dev/null || true
}
trap cleanup EXIT

# The demo main application, offered as version 3.1.0 for every processor. The archive is held
# back for six seconds, long enough to see the launcher's window while it downloads (a cold web
# view takes a second or more to paint, longer on a busy machine).
"$build/tests/fixtures/mainapp/mainapp_bundle" --output "$demo/service/Zentravo-3.1.0.tar" \
    --version 3.1.0
cat >"$demo/service/update.json" <<'EOF'
{"appVersion": "3.1.0",
 "version": {"appVersion": "3.1.0", "majorBaseVersion": "3",
             "update": {"arm64": {"file": "{base}/Zentravo-3.1.0.tar", "appCast": ""},
                        "x86_64": {"file": "{base}/Zentravo-3.1.0.tar", "appCast": ""},
                        "windows": {}}}}
EOF
echo '{"paths": {"/Zentravo-3.1.0.tar": {"delayMs": 6000}}}' >"$demo/service/config.json"

"$build/tests/fixtures/update-service/update-service" --root "$demo/service" \
    --config "$demo/service/config.json" --record "$demo/service-requests.jsonl" \
    --ready-file "$demo/service.ready" >"$demo/service.log" 2>&1 &
pids+=($!)
for _ in $(seq 100); do
    [ -s "$demo/service.ready" ] && break
    if ! kill -0 "${pids[-1]}" 2>/dev/null; then
        echo "The update service did not start (is port 39443 taken?):" >&2
        cat "$demo/service.log" >&2
        exit 1
    fi
    sleep 0.1
done

screenshot=""
if [ -z "${DISPLAY:-}" ]; then
    exec 3>"$demo/xvfb.display"
    Xvfb -displayfd 3 -screen 0 1280x800x24 -nolisten tcp >"$demo/xvfb.log" 2>&1 &
    pids+=($!)
    exec 3>&-
    for _ in $(seq 100); do
        [ -s "$demo/xvfb.display" ] && break
        sleep 0.1
    done
    export DISPLAY=":$(head -n1 "$demo/xvfb.display")"
    screenshot=$demo/launcher-window.png
fi

# The launcher runs as a fresh user would: nothing installed, its own folders, no session bus;
# but in the user's language.
locale=(LANG="${LANG:-C.UTF-8}")
for name in LANGUAGE LC_ALL LC_MESSAGES LC_CTYPE LC_NUMERIC LC_TIME LC_COLLATE LC_MONETARY \
    LC_PAPER LC_NAME LC_ADDRESS LC_TELEPHONE LC_MEASUREMENT LC_IDENTIFICATION; do
    if [ -n "${!name:-}" ]; then
        locale+=("$name=${!name}")
    fi
done
env -i PATH="$PATH" DISPLAY="$DISPLAY" "${locale[@]}" \
    HOME="$demo/home" XDG_DATA_HOME="$demo/data" XDG_CACHE_HOME="$demo/cache" \
    XDG_CONFIG_HOME="$demo/config" XDG_RUNTIME_DIR="$demo/runtime" TMPDIR="$demo/tmp" \
    DBUS_SESSION_BUS_ADDRESS="unix:path=$demo/no-session-bus" \
    ZENTRAVO_MAINAPP_RECORD="$demo/mainapp.jsonl" ZENTRAVO_MAINAPP_LIFETIME_MS=15000 \
    "$demo/prefix/bin/launcher" "zentravo://open?demo=1" >"$demo/launcher.out" 2>&1 &
launcher=$!
pids+=($launcher)

if [ -n "$screenshot" ]; then
    # Once the download has started, the window shows it.
    for _ in $(seq 200); do
        grep -q "About to download update" "$demo/data/ZentravoV3/logs/launcher.log" 2>/dev/null \
            && break
        sleep 0.05
    done
    # A cold web view paints its page a second or more after the window appears, and until then
    # the window is one flat colour: take pictures of the centred window until one shows the
    # painted page (text and images bring many colours), for at most 20 seconds.
    attempt=$demo/launcher-window.attempt.png
    painted=""
    deadline=$((SECONDS + 20))
    while ((SECONDS < deadline)) && kill -0 "$launcher" 2>/dev/null; do
        if import -window root -crop 390x120+445+340 +repage "$attempt" 2>/dev/null &&
            [ "$(convert "$attempt" -format '%k' info: 2>/dev/null || echo 0)" -ge 16 ]; then
            mv "$attempt" "$screenshot"
            painted=1
            break
        fi
        sleep 0.2
    done
    rm -f "$attempt"
    if [ -z "$painted" ]; then
        echo "No screenshot: the launcher's window did not show its page in time." >&2
        screenshot=""
    fi
fi

status=0
wait "$launcher" || status=$?

echo
echo "Launcher exit status: $status"
if grep -q '"type":"start"' "$demo/mainapp.jsonl" 2>/dev/null; then
    echo "The demo main application was installed in $demo/data/ZentravoV3/app/last and started:"
    grep '"type":"start"' "$demo/mainapp.jsonl"
else
    echo "The demo main application was not started (see the launcher log)." >&2
    if [ "$status" -eq 0 ]; then
        status=1
    fi
fi
echo "Launcher log:  $demo/data/ZentravoV3/logs/launcher.log"
[ -n "$screenshot" ] && echo "Screenshot:    $screenshot"
echo "Service requests: $demo/service-requests.jsonl"
echo "Launcher output:  $demo/launcher.out"
exit "$status"
