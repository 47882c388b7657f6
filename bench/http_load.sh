#!/bin/sh
# The live view under load: qmxhost polling the simulated meter on a line
# paced at 9600 baud while wrk asks for one meter's view over 50
# connections. Prints wrk's requests per second and latency percentiles,
# and the mean cycle time of a run without the load and of one with it.
set -eu
host=${1:?usage: http_load.sh QMXHOST [SECONDS]}
seconds=${2:-30}
port=${PORT:-18080}

mean_cycle() {  # the summary event's mean cycle time of the first meter
    grep '"event":"summary"' "$1" | sed -n 's/.*"mean_cycle_ms":\([0-9.]*\).*/\1/p'
}

# Polls until interrupted, with or without wrk asking meanwhile.
run_host() {
    "$host" --interval 0 --emulate-line --json --http "127.0.0.1:$port" >"$1" 2>/dev/null &
    pid=$!
    sleep 2  # the first cycle is in
    if [ "$2" = load ]; then
        wrk -t "${WRK_THREADS:-1}" -c 50 -d "${seconds}s" --latency "http://127.0.0.1:$port/api/devices/1" >"$out/wrk.txt"
    else
        sleep "$seconds"
    fi
    kill -INT "$pid"
    wait "$pid" || true
}

out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT

run_host "$out/quiet.json" quiet
run_host "$out/loaded.json" load

cat "$out/wrk.txt"
echo
echo "mean cycle without HTTP load: $(mean_cycle "$out/quiet.json") ms"
echo "mean cycle with HTTP load:    $(mean_cycle "$out/loaded.json") ms"
