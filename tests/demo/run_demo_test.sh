#!/usr/bin/env bash
# run_demo_test.sh <source folder> <build folder> <main-application stand-in>
set -euo pipefail
source_dir=$1
build=$2
mainapp=$3
demo=$build/demo
work=$(mktemp -d)
standin=""
cleanup() {
    if [ -n "$standin" ]; then
        kill "$standin" 2>/dev/null || true
        wait "$standin" 2>/dev/null || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT
fail() {
    echo "FAIL: $*" >&2
    exit 1
}

# The demo passes the user's language on: the launcher speaks German.
status=0
LANGUAGE=de LC_MESSAGES=C.UTF-8 "$source_dir/scripts/run-demo.sh" --build "$build" \
    >"$work/german.out" 2>&1 || status=$?
cat "$work/german.out"
[ "$status" -eq 0 ] || fail "the demo ended with status $status"
grep -q "Current language set to 'de'" "$demo/data/ZentravoV3/logs/launcher.log" ||
    fail "the launcher did not speak German"
grep -q '"type":"start"' "$demo/mainapp.jsonl" || fail "no main application was started"

# With a main application already running, the launcher hands the link over and ends; the
# demo's own main application is never started, and the demo says so with a failing status.
ZENTRAVO_MAINAPP_RECORD="$work/standin.jsonl" "$mainapp" --launcher >"$work/standin.out" 2>&1 &
standin=$!
until grep -q '"type":"listening"' "$work/standin.jsonl" 2>/dev/null; do
    kill -0 "$standin" 2>/dev/null || fail "the main-application stand-in ended: $(cat "$work/standin.out")"
    sleep 0.05
done
status=0
"$source_dir/scripts/run-demo.sh" --build "$build" >"$work/running.out" 2>&1 || status=$?
cat "$work/running.out"
[ "$status" -ne 0 ] || fail "the demo ended with status 0 although it started no main application"
grep -q "was not started" "$work/running.out" || fail "the demo did not say what went wrong"
grep -qF 'zentravo://open?demo=1' "$work/standin.jsonl" ||
    fail "the running main application did not get the link"
echo "PASS"
