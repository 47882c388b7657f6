#!/bin/sh
# A site on one box: 4 lines of 8 meters, each line its own simulator pacing
# its bytes at 9600 baud, all polled at once by one qmxhost. A quiet run,
# then one with wrk on GET /api/devices (what the overview reads) at 50
# connections. Prints each line's mean cycle per meter against its wire
# limit, the host's CPU time per meter cycle, its resident memory per meter,
# and wrk's figures with the cycle they left.
set -eu
host=${1:?usage: site.sh QMXHOST [SECONDS]}
seconds=${2:-60}
port=${PORT:-18091}
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT

here=$(dirname "$0")
/usr/bin/python3 - "$here/../examples/qv5810.json" "$out/site.json" <<'PY'
import copy, json, sys
config = json.load(open(sys.argv[1]))
one, line = config.pop("devices")[0], config.pop("line")
config["lines"] = []
for number in range(4):
    entry = dict(line, emulate_line=True, devices=[])
    for slave in range(1, 9):
        meter = copy.deepcopy(one)
        data_id = number * 8 + slave
        meter["name"], meter["slave"], meter["data_id"] = f"line {number + 1} meter {slave}", slave, data_id
        meter.setdefault("setting", {}).setdefault("modbus", {})["slave"] = slave
        entry["devices"].append(meter)
    config["lines"].append(entry)
json.dump(config, open(sys.argv[2], "w"))
PY

# Per line: its meters' mean cycle against the wire limit of one meter's cycle.
lines() {
    /usr/bin/python3 - "$1" <<'PY'
import json, sys
for event in map(json.loads, open(sys.argv[1])):
    if event.get("event") != "summary":
        continue
    meters = event["devices"]
    mean = sum(m["mean_cycle_ms"] for m in meters) / len(meters)
    limit = event["wire_limit_ms"]
    print(f"  {event['port']}: {event['cycles']} cycles, {event['skipped_slots']} slots skipped, mean cycle per meter "
          f"{mean:.1f} ms against a wire limit of {limit:.1f} ms ({100 * (mean / limit - 1):+.2f} %)")
PY
}

# 2.5 s: a line's 8 meters take 8 wire limits, about 2 s, so no slot is skipped.
run_host() {
    "$host" --config "$out/site.json" --interval 2.5 --json --http "127.0.0.1:$port" >"$1" 2>/dev/null &
    pid=$!
    sleep 5  # every meter's first cycle is in
    if [ "$2" = load ]; then
        wrk -t 2 -c 50 -d "${seconds}s" --latency "http://127.0.0.1:$port/api/devices" >"$out/wrk.txt"
    else
        sleep "$seconds"
    fi
    ticks=$(awk '{print $14 + $15}' "/proc/$pid/stat")
    rss_kb=$(awk '/^VmRSS/ {print $2}' "/proc/$pid/status")
    kill -INT "$pid"
    wait "$pid" || true
    cycles=$(grep -c '"event":"publish"' "$1" || true)
    awk -v what="$3" -v cycles="$cycles" -v ticks="$ticks" -v hz="$(getconf CLK_TCK)" -v rss="$rss_kb" 'BEGIN {
        printf "%s: %d meter cycles; CPU %.3f ms per meter cycle; RSS %d kB, %.1f kB per meter\n",
               what, cycles, ticks * 1000 / hz / cycles, rss, rss / 32 }'
    lines "$1"
}

run_host "$out/quiet.json" quiet "quiet"
run_host "$out/loaded.json" load "under wrk"
echo
cat "$out/wrk.txt"
