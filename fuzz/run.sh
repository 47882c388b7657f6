#!/bin/sh
# Fuzzes every target for SECONDS each (JOBS at a time), then merges what was
# found into the committed corpus, keeping it minimal. Crashes are left in
# build/fuzz/artifacts/ and fail the run.
set -eu
seconds=${1:-180}
jobs=${2:-2}
root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build/fuzz
mkdir -p "$build/artifacts" "$build/logs"

run_one() {
    target=$1
    mkdir -p "$build/found/$target"
    "$build/fuzz/fuzz_$target" -max_total_time="$seconds" -timeout=10 -print_final_stats=1 \
        -artifact_prefix="$build/artifacts/${target}-" \
        "$build/found/$target" "$root/fuzz/corpus/$target" >"$build/logs/$target.log" 2>&1
}

targets="device_io_control init_setting load_from_cache poll_sequence"
failed=0
set -- $targets
while [ $# -gt 0 ]; do
    pids=""
    for _ in $(seq "$jobs"); do
        [ $# -gt 0 ] || break
        run_one "$1" & pids="$pids $!:$1"
        shift
    done
    for entry in $pids; do
        if ! wait "${entry%%:*}"; then
            echo "fuzz: ${entry#*:} found a failure, see $build/logs/${entry#*:}.log"
            failed=1
        fi
    done
done

for target in $targets; do
    merged=$build/merged/$target
    rm -rf "$merged" && mkdir -p "$merged"
    "$build/fuzz/fuzz_$target" -merge=1 "$merged" "$root/fuzz/corpus/$target" "$build/found/$target" \
        >>"$build/logs/$target.log" 2>&1
    rm -rf "$root/fuzz/corpus/$target" && cp -r "$merged" "$root/fuzz/corpus/$target"
    runs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$build/logs/$target.log" | tail -1 | grep -o '[0-9]*$')
    echo "fuzz: $target: ${runs:-?} executions in ${seconds}s, corpus $(ls "$root/fuzz/corpus/$target" | wc -l) inputs"
done
exit $failed
