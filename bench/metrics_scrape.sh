#!/bin/sh
# /metrics with 32 meters on one line: qmxhost polls the simulated meter
# (every slave id answers) while wrk scrapes over one connection, as a
# scraper does, only without pause. Prints the scrape's size, wrk's latency
# percentiles, and the meters' mean cycle time without and with the scrapes.
set -eu
host=${1:?usage: metrics_scrape.sh QMXHOST [SECONDS]}
seconds=${2:-20}
port=${PORT:-18090}
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT

here=$(dirname "$0")
/usr/bin/python3 - "$here/../examples/qv5810.json" "$out/site.json" <<'PY'
import copy, json, sys
config = json.load(open(sys.argv[1]))
one = config["devices"][0]
config["devices"] = []
for slave in range(1, 33):
    meter = copy.deepcopy(one)
    meter["name"], meter["slave"], meter["data_id"] = f"meter {slave}", slave, slave
    meter.setdefault("setting", {}).setdefault("modbus", {})["slave"] = slave
    config["devices"].append(meter)
json.dump(config, open(sys.argv[2], "w"))
PY

mean_cycle() {  # the mean of every meter's mean cycle time in the summary
    grep '"event":"summary"' "$1" | /usr/bin/python3 -c '
import json, sys
meters = json.loads(sys.stdin.read())["devices"]
print(round(sum(m["mean_cycle_ms"] for m in meters) / len(meters), 3))'
}

run_host() {
    "$host" --config "$out/site.json" --interval 1 --json --http "127.0.0.1:$port" >"$1" 2>/dev/null &
    pid=$!
    sleep 3  # every meter's first cycle is in
    if [ "$2" = load ]; then
        curl -s "http://127.0.0.1:$port/metrics" >"$out/metrics.txt"
        wrk -t 1 -c 1 -d "${seconds}s" --latency "http://127.0.0.1:$port/metrics" >"$out/wrk.txt"
    else
        sleep "$seconds"
    fi
    kill -INT "$pid"
    wait "$pid" || true
}

run_host "$out/quiet.json" quiet
run_host "$out/loaded.json" load

echo "one scrape: $(wc -c <"$out/metrics.txt") bytes, $(grep -vc '^#' "$out/metrics.txt") samples"
cat "$out/wrk.txt"
echo
echo "mean cycle without scrapes: $(mean_cycle "$out/quiet.json") ms"
echo "mean cycle while scraped:   $(mean_cycle "$out/loaded.json") ms"
