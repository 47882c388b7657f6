#!/bin/sh
# The history forwarded to a PostgreSQL on this machine (a cluster made
# here by initdb, as the user postgres when run as root):
#
#   catch-up  a day's outage of 32 meters at one cycle a second (2.76 M raw
#             records and their aggregates, filled by history_fill, ending
#             now) forwarded by qmxhost while it polls a site of 4 lines of
#             8 meters, each its own simulator pacing its bytes at 9600 baud
#             every 2.5 s: the time until the forwarder says it is caught
#             up, rows per second, and each line against its wire limit.
#   bytes     the central bytes per meter-day of raw rows and aggregates.
#   lag       32 meters at one cycle a second (4 unpaced lines of 8) for
#             SECONDS: each raw row's time from its record to its central
#             row, as a reader polling the database every 0.2 s sees it.
#
#   sh bench/fleet.sh QMXHOST HISTORY_FILL [SECONDS]
set -eu
host=${1:?usage: fleet.sh QMXHOST HISTORY_FILL [SECONDS]}
fill=${2:?usage: fleet.sh QMXHOST HISTORY_FILL [SECONDS]}
seconds=${3:-120}
here=$(dirname "$0")
out=$(mktemp -d /var/tmp/qv5810_fleet.XXXXXX)
shm=$(mktemp -d /dev/shm/qv5810_fleet.XXXXXX)
bin=$(pg_config --bindir)
as_owner=""
if [ "$(id -u)" -eq 0 ]; then chown postgres "$out"; as_owner="runuser -u postgres --"; fi
port=$(/usr/bin/python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
uri="postgresql://qmx@127.0.0.1:$port/postgres"
host_pid=""

cleanup() {
    if [ -n "$host_pid" ]; then kill -9 "$host_pid" 2>/dev/null || true; fi
    $as_owner "$bin/pg_ctl" -D "$out/pg" -m fast -w stop > /dev/null 2>&1 || true
    rm -rf "$out" "$shm"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

$as_owner "$bin/initdb" -D "$out/pg" -U qmx -A trust > "$out/initdb.log"
$as_owner "$bin/pg_ctl" -D "$out/pg" -l "$out/pg.log" -w -o "-p $port -k $out -c listen_addresses=127.0.0.1" start > /dev/null
sql() { psql -X -At -h 127.0.0.1 -p "$port" -U qmx postgres -c "$1"; }
"$host" history forward --init "$uri"

# LINES lines of 8 meters, data ids 1 to 8 * LINES, paced or not.
site_config() {
    /usr/bin/python3 - "$here/../examples/qv5810.json" "$1" "$2" "$3" <<'PY'
import copy, json, sys
config = json.load(open(sys.argv[1]))
one, line = config.pop("devices")[0], config.pop("line")
config["lines"] = []
for number in range(int(sys.argv[3])):
    entry = dict(line, emulate_line=sys.argv[4] == "paced", devices=[])
    for place in range(1, 9):
        meter = copy.deepcopy(one)
        meter["name"], meter["slave"], meter["data_id"] = f"line {number + 1} meter {place}", place, number * 8 + place
        meter.setdefault("setting", {}).setdefault("modbus", {})["slave"] = place
        entry["devices"].append(meter)
    config["lines"].append(entry)
json.dump(config, open(sys.argv[2], "w"))
PY
}

# Each line's mean cycle per meter against its wire limit, from the summaries.
lines() {
    /usr/bin/python3 - "$1" <<'PY'
import json, sys
for event in map(json.loads, (l for l in open(sys.argv[1], errors="replace") if l.endswith("}\n"))):
    if event.get("event") == "summary" and event.get("wire_limit_ms"):
        mean = sum(m["mean_cycle_ms"] for m in event["devices"]) / len(event["devices"])
        limit = event["wire_limit_ms"]
        print(f"  {event['port']}: {event['cycles']} cycles, {event['skipped_slots']} slots skipped, mean cycle per meter "
              f"{mean:.1f} ms against {limit:.1f} ms ({100 * (mean / limit - 1):+.2f} %)")
PY
}

forwarder() { curl -s "http://127.0.0.1:$1/api/devices" | /usr/bin/python3 -c 'import json, sys; f = json.load(sys.stdin)["forwarder"]; print(f["records_behind"], f["forwarding"])'; }

echo "catch-up: filling a day of 32 meters"
"$fill" "$shm/fill.db" 1 no 32 now
cp "$shm/fill.db" "$out/history.db"
rm -rf "$shm"
records=$(sqlite3 "$out/history.db" "select count(*) from raw")
minutes=$(sqlite3 "$out/history.db" "select count(*) from minute")
hours=$(sqlite3 "$out/history.db" "select count(*) from hour")
echo "  the file: $records raw records, $minutes minute and $hours hour aggregates, $(stat -c %s "$out/history.db") bytes"
site_config "$out/paced.json" 4 paced
http=$(/usr/bin/python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
start=$(date +%s.%N)
"$host" --config "$out/paced.json" --interval 2.5 --history "$out/history.db" --history-forward "$uri" --site bench \
    --json --http "127.0.0.1:$http" > "$out/paced.jsonl" 2> "$out/paced.err" &
host_pid=$!
caught=""
for _ in $(seq 1 700); do
    sleep 1
    state=$(forwarder "$http" 2>/dev/null || echo "")
    if [ "${state%% *}" = 0 ] && [ "${state#* }" = True ] && [ "$(sql "select count(*) > 0 from qv5810.raw")" = t ]; then
        caught=$(date +%s.%N)
        break
    fi
done
sleep 20  # the lines a while longer, for their figures beside the forwarder
kill -TERM "$host_pid"; wait "$host_pid" || true; host_pid=""
central=$(sql "select count(*) from qv5810.raw where site = 'bench'")
if [ -n "$caught" ]; then
    awk -v a="$start" -v b="$caught" -v n="$records" 'BEGIN { printf "  caught up after %.1f s: %.0f raw records a second\n", b - a, n / (b - a) }'
else
    echo "  not caught up within 700 s"
fi
echo "  central raw rows of the site: $central"
lines "$out/paced.jsonl"

echo "bytes: central bytes per meter-day"
for table in raw minute hour; do
    sql "select '  $table: ' || sum(pg_total_relation_size(relid)) || ' bytes for ' ||
                (select count(*) from qv5810.$table) || ' rows; ' ||
                round(sum(pg_total_relation_size(relid)) / ((select count(*) from qv5810.$table)::numeric)) || ' bytes a row'
         from pg_partition_tree('qv5810.$table') where isleaf"
done

echo "lag: 32 meters at one cycle a second for $seconds s"
site_config "$out/unpaced.json" 4 unpaced
"$host" --config "$out/unpaced.json" --interval 1 --history "$out/lag.db" --history-forward "$uri" --site lag -q \
    > /dev/null 2> "$out/lag.err" &
host_pid=$!
/usr/bin/python3 - "$port" "$seconds" <<'PY'
import subprocess, sys, time
port, seconds = sys.argv[1], float(sys.argv[2])
seen, lags, newest = set(), [], 0
end = time.time() + seconds
while time.time() < end:
    rows = subprocess.run(["psql", "-X", "-At", "-h", "127.0.0.1", "-p", port, "-U", "qmx", "postgres", "-c",
                           f"select device, (extract(epoch from t) * 1000)::bigint from qv5810.raw where site = 'lag' "
                           f"and t >= to_timestamp({newest / 1000.0} - 30)"], capture_output=True, text=True).stdout
    now = time.time() * 1000
    for line in rows.split():
        device, t = line.split("|")
        if (device, t) in seen:
            continue
        seen.add((device, t))
        lags.append(now - int(t))
        newest = max(newest, int(t))
    time.sleep(0.2)
# The first rows came before the reader looked: only those after its first look count.
lags = sorted(lags[32:])
if lags:
    print(f"  {len(lags)} records: median {lags[len(lags) // 2] / 1000:.2f} s, p99 {lags[int(len(lags) * 0.99)] / 1000:.2f} s,"
          f" max {lags[-1] / 1000:.2f} s")
PY
kill -TERM "$host_pid"; wait "$host_pid" || true; host_pid=""
