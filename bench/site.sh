#!/bin/sh
# A site on one box: lines of 8 meters, each line its own simulator pacing
# its bytes at 9600 baud, all polled at once by one qmxhost every 2.5 s (a
# line's 8 meters take 8 wire limits, about 2 s, so a healthy host skips no
# slot). Runs, each selectable, all by default:
#
#   quiet     4 lines, nothing else asked of the host.
#   load      the same while wrk asks GET /api/devices (what the overview
#             reads) over 50 connections; wrk's figures with the cycle left.
#   slowdisk  4 lines with --history while every fsync and fdatasync of the
#             host first sleeps SLOW_FSYNC_S seconds (default 1.5; the shim
#             bench/slow_fsync.c, preloaded). Then whether every record the
#             meters stored is in the file: the "history" events of kind
#             poll on standard output against the rows of table raw.
#   blocked   4 lines for a fixed number of cycles (BLOCKED_CYCLES, default
#             SECONDS / 2.5) with standard output going to a pipe whose
#             reader takes the first 4 KB and then reads no more, keeping
#             it open. Whether the run ended by itself, or was killed after
#             a deadline of half as long again as it should take plus 20 s.
#             Its figures cannot come from the blocked standard output. A
#             host that ends by itself stores its last batch as it ends, so
#             they come from its history (--history): per line, cycles
#             stored per meter and slots skipped between one meter's
#             records (a gap of k intervals is k - 1 skipped slots). A
#             killed host's history lacks the batch it had not committed
#             (5 s of records; all of them when it is stuck in its first
#             batch), so then they come from GET /api/devices (--http)
#             asked just before the kill: each meter's completed cycles,
#             last cycle and the age of its values.
#   dead      1 line of 4 meters at a 1 s interval, default settings, the
#             4th switched off (the simulator's --absent): each meter's
#             cycles completed against the slots of the run.
#   big       16 lines of 8 meters with every outlet on for BIG_SECONDS
#   threads   the host's threads and broker connections with every outlet on,
#             for 1, 8 and 32 meters
#             (default SECONDS): --history, --http with 4 clients on
#             /api/events and /metrics scraped every 5 s, MQTT to a
#             Mosquitto started here with mosquitto_sub reading every topic,
#             and the Modbus server read 100 times a second by
#             modbus_read_load (MODBUS_READ_LOAD, default the release
#             preset's). The host's threads and its connections to the
#             broker halfway through, its resident memory and CPU at the end.
#
# Every run but blocked prints each line's mean cycle per meter against its
# wire limit and the slots it skipped, from the summary the host prints as it ends,
# and what it cost the host: CPU time per meter cycle, resident memory.
# Every wait is bounded: a host, simulator or client still there after its
# deadline is killed with SIGKILL, and the script says so.
#
#   sh bench/site.sh QMXHOST [SECONDS [RUN...]]     (or RUNS="slowdisk big")
set -eu
usage="usage: site.sh QMXHOST [SECONDS [RUN...]]; runs: quiet load slowdisk blocked dead big threads"
host=${1:?$usage}
seconds=${2:-60}
shift
if [ $# -gt 0 ]; then shift; fi
runs=${*:-${RUNS:-quiet load slowdisk blocked dead big threads}}
for run in $runs; do
    case $run in
        quiet | load | slowdisk | blocked | dead | big | threads) ;;
        *) echo "$usage" >&2; exit 2 ;;
    esac
done
here=$(dirname "$0")
read_load=${MODBUS_READ_LOAD:-$here/../build/release/bench/modbus_read_load}
interval=2.5
out=$(mktemp -d)
started=""  # every process started here, to end by its id however the script ends

cleanup() {
    for each in $started; do
        if still "$each"; then kill -9 "${each%%:*}" 2>/dev/null || true; fi
    done
    rm -rf "$out"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# A process still running: a zombie not yet waited for counts as ended.
alive() {
    state=$(sed -n 's/^State:[[:space:]]*\([A-Z]\).*/\1/p' "/proc/$1/status" 2>/dev/null || true)
    [ -n "$state" ] && [ "$state" != Z ]
}

# A process's id with its start time: an id the system has given to another
# process since is never killed here.
stamp() { printf '%s:%s' "$1" "$(sed 's/.*) //' "/proc/$1/stat" 2>/dev/null | awk '{print $20}')"; }
still() { [ "$(stamp "${1%%:*}")" = "$1" ] && alive "${1%%:*}"; }

# Whether process $1 ends within $2 seconds.
ends_within() {
    waited=0
    while alive "$1" && [ "$waited" -lt "$2" ]; do
        sleep 1
        waited=$((waited + 1))
    done
    ! alive "$1"
}

# Kills process $1 with SIGKILL. The simulators a host started should
# follow it (their lifeline); any that do not are killed by their ids too.
kill_hard() {
    children=""
    for each in $(cat /proc/"$1"/task/*/children 2>/dev/null || true); do children="$children $(stamp "$each")"; done
    kill -9 "$1" 2>/dev/null || true
    wait "$1" 2>/dev/null || true
    sleep 2
    left=""
    for each in $children; do
        if still "$each"; then left="$left ${each%%:*}"; kill -9 "${each%%:*}" 2>/dev/null || true; fi
    done
    if [ -n "$left" ]; then echo "  (processes it started outlived it:$left; killed with SIGKILL)"; fi
}

# Waits up to $2 seconds for process $1 to end, then kills it and says so
# ($3 names it); false when it had to be killed.
within() {
    if ! ends_within "$1" "$2"; then
        echo "  ($3 still running after $2 s: killed with SIGKILL)"
        kill_hard "$1"
        return 1
    fi
    wait "$1" 2>/dev/null || true
}

free_port() {
    /usr/bin/python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

now_ms() { /usr/bin/python3 -c 'import time; print(int(time.time() * 1000))'; }

# Until a TCP port on loopback takes connections, at most $2 seconds.
wait_port() {
    /usr/bin/python3 - "$1" "$2" <<'PY'
import socket, sys, time
deadline = time.time() + float(sys.argv[2])
while time.time() < deadline:
    try:
        socket.create_connection(("127.0.0.1", int(sys.argv[1])), timeout=1).close()
        sys.exit(0)
    except OSError:
        time.sleep(0.2)
sys.exit(1)
PY
}

# LINES lines of 8 meters (or METERS) from the example's meter. With
# "unique" each meter has a slave address of its own across the site, as the
# Modbus server needs; otherwise each line's are 1 to 8.
site_config() {
    /usr/bin/python3 - "$here/../examples/qv5810.json" "$2" "$1" "$3" "${4:-8}" <<'PY'
import copy, json, sys
config = json.load(open(sys.argv[1]))
one, line = config.pop("devices")[0], config.pop("line")
config["lines"] = []
per_line = int(sys.argv[5])
for number in range(int(sys.argv[3])):
    entry = dict(line, emulate_line=True, devices=[])
    for place in range(1, per_line + 1):
        meter = copy.deepcopy(one)
        data_id = number * per_line + place
        slave = data_id if sys.argv[4] == "unique" else place
        meter["name"], meter["slave"], meter["data_id"] = f"line {number + 1} meter {place}", slave, data_id
        meter.setdefault("setting", {}).setdefault("modbus", {})["slave"] = slave
        entry["devices"].append(meter)
    config["lines"].append(entry)
json.dump(config, open(sys.argv[2], "w"))
PY
}

# Per line, in the configuration's order: its meters' mean cycle against the
# wire limit of one meter's cycle, and the slots it skipped.
lines() {
    # A host killed in the middle of a write leaves a line cut short: only whole lines are read.
    /usr/bin/python3 - "$1" <<'PY'
import json, sys
order, summaries = [], {}
for event in map(json.loads, (l for l in open(sys.argv[1], errors="replace") if l.endswith("}\n"))):
    if event.get("event") == "start":
        order = [line.get("port") for line in event.get("lines", [])]
    elif event.get("event") == "summary":
        summaries[event["port"]] = event
if not summaries:
    print("  no summary: the host did not end by itself")
for port in order + sorted(set(summaries) - set(order)):
    event = summaries.get(port)
    name = f"line {order.index(port) + 1} ({port})" if port in order else port
    if event is None:
        print(f"  {name}: no summary")
        continue
    meters = event["devices"]
    mean = sum(m["mean_cycle_ms"] for m in meters) / len(meters)
    limit = event["wire_limit_ms"]
    print(f"  {name}: {event['cycles']} cycles, {event['skipped_slots']} slots skipped, mean cycle per meter "
          f"{mean:.1f} ms against a wire limit of {limit:.1f} ms ({100 * (mean / limit - 1):+.2f} %)")
PY
}

# The host's CPU ticks and resident memory now.
measure() {
    ticks=$(awk '{print $14 + $15}' "/proc/$1/stat" 2>/dev/null || echo 0)
    rss_kb=$(awk '/^VmRSS/ {print $2}' "/proc/$1/status" 2>/dev/null || echo 0)
}

# CPU per meter cycle from `measure` and the publish events in $1; $2 names the run, $3 meters.
costs() {
    cycles=$(grep -c '"event":"publish"' "$1" || true)
    awk -v what="$2" -v cycles="$cycles" -v ticks="$ticks" -v hz="$(getconf CLK_TCK)" -v rss="$rss_kb" -v meters="$3" 'BEGIN {
        printf "%s: %d meter cycles; CPU %.3f ms per meter cycle; RSS %d kB, %.1f kB per meter\n",
               what, cycles, (cycles > 0 ? ticks * 1000 / hz / cycles : 0), rss, rss / meters }'
}

run_host() {  # $1: the events' file; $2: quiet or load; $3: what to call it
    "$host" --config "$out/site.json" --interval "$interval" --json --http "127.0.0.1:$port" >"$1" 2>/dev/null &
    pid=$!
    started="$started $(stamp "$pid")"
    sleep 5  # every meter's first cycle is in
    if [ "$2" = load ]; then
        wrk -t 2 -c 50 -d "${seconds}s" --latency "http://127.0.0.1:$port/api/devices" >"$out/wrk.txt"
    else
        sleep "$seconds"
    fi
    measure "$pid"
    kill -INT "$pid"
    within "$pid" 60 "qmxhost" || true
    costs "$1" "$3" 32
    lines "$1"
}

run_slowdisk() {
    cc -shared -fPIC -O2 -o "$out/slow_fsync.so" "$here/slow_fsync.c" -ldl
    LD_PRELOAD="$out/slow_fsync.so" SLOW_FSYNC_S=${SLOW_FSYNC_S:-1.5} "$host" --config "$out/site.json" \
        --interval "$interval" --json --history "$out/slow.sqlite" >"$out/slow.json" 2>"$out/slow.err" &
    pid=$!
    started="$started $(stamp "$pid")"
    begin=$(now_ms)
    sleep $((seconds + 5))
    measure "$pid"
    kill -INT "$pid"
    # Its last batch is stored as it ends, a few slow fsyncs more.
    within "$pid" 90 "qmxhost" || true
    costs "$out/slow.json" "fsync and fdatasync ${SLOW_FSYNC_S:-1.5} s slower" 32
    lines "$out/slow.json"
    sed -n 's/^slow_fsync: /  shim: /p' "$out/slow.err"
    # Opening the history syncs too, before the first cycle.
    /usr/bin/python3 - "$out/slow.json" "$begin" <<'PY'
import datetime, json, sys
for event in map(json.loads, (l for l in open(sys.argv[1], errors="replace") if l.endswith("}\n"))):
    if event.get("event") == "publish":
        ended = datetime.datetime.fromisoformat(event["utc"].replace("Z", "+00:00")).timestamp() * 1000
        print(f"  the first meter cycle ended {(ended - int(sys.argv[2])) / 1000:.1f} s after the host was started")
        break
PY
    stored=$(/usr/bin/python3 -c '
import json, sys
print(sum(1 for e in map(json.loads, (l for l in open(sys.argv[1], errors="replace") if l.endswith("}\n")))
          if e.get("event") == "history" and e.get("kind") == "poll"))' "$out/slow.json")
    rows=$(sqlite3 "$out/slow.sqlite" 'select count(*) from raw' 2>&1 || true)
    if [ "$stored" = "$rows" ]; then verdict="every record is in the history"; else verdict="NOT every record is in the history"; fi
    echo "  records the meters stored: $stored; rows in the history's raw table: $rows: $verdict"
    /usr/bin/python3 -c '
import json, sys
for e in map(json.loads, (l for l in open(sys.argv[1], errors="replace") if l.endswith("}\n"))):
    if e.get("event") == "problem":
        print("  host said:", e["message"])' "$out/slow.json" | sort | uniq -c | sed 's/^ *\([0-9]*\)  /  \1x/'
}

run_dead() {
    site_config 1 "$out/dead.json" shared 4
    "$host" --config "$out/dead.json" --interval 1 --json --sim-arg=--absent=4 >"$out/dead.events" 2>/dev/null &
    pid=$!
    started="$started $(stamp "$pid")"
    sleep "$seconds"
    kill -INT "$pid"
    within "$pid" 60 "qmxhost" || true
    /usr/bin/python3 - "$out/dead.events" <<'PY'
import json, sys
events = [json.loads(l) for l in open(sys.argv[1], errors="replace") if l.endswith("}\n")]
summary = next((e for e in events if e.get("event") == "summary"), None)
if summary is None:
    sys.exit("  no summary: the host did not end by itself")
slots = summary["cycles"] + summary["skipped_slots"]
print(f"  {slots} slots of 1 s ({summary['cycles']} cycles, {summary['skipped_slots']} slots skipped)")
for meter in summary["devices"]:
    share = 100 * meter["completed"] / slots
    print(f"  slave {meter['slave']}: {meter['completed']} cycles completed ({share:.1f} % of the slots), "
          f"{meter['failed']} failed, {meter.get('skipped', 0)} left out while backed off")
PY
}

run_blocked() {
    cycles=${BLOCKED_CYCLES:-$((seconds * 2 / 5))}
    planned=$((cycles * 5 / 2))
    deadline=$((planned + planned / 2 + 20))
    hport=$(free_port)
    mkfifo "$out/stdout"
    # Takes the first 4 KB, then holds the pipe open without reading.
    /usr/bin/python3 -c 'import sys, time; sys.stdin.buffer.read(4096); time.sleep(86400)' <"$out/stdout" &
    reader=$!
    started="$started $(stamp "$reader")"
    begin=$(now_ms)
    "$host" --config "$out/site.json" --interval "$interval" --cycles "$cycles" --json --history "$out/blocked.sqlite" \
        --http "127.0.0.1:$hport" >"$out/stdout" 2>"$out/blocked.err" &
    pid=$!
    started="$started $(stamp "$pid")"
    if ends_within "$pid" "$deadline"; then
        wait "$pid" 2>/dev/null || true
        end=$(now_ms)
        echo "  $cycles cycles asked, $planned s of slots: the run ended by itself after $(((end - begin) / 1000)) s"
        source=history
    else
        end=$(now_ms)
        curl -s --max-time 5 "http://127.0.0.1:$hport/api/devices" >"$out/page.json" || true
        echo "  $cycles cycles asked, $planned s of slots: qmxhost still running after $deadline s: killed with SIGKILL"
        kill_hard "$pid"
        source=page
    fi
    kill "$reader" 2>/dev/null || true
    within "$reader" 5 "the pipe's reader" || true
    /usr/bin/python3 - "$source" "$out/blocked.sqlite" "$out/page.json" "$interval" "$cycles" "$begin" "$end" <<'PY'
import json, sqlite3, sys
source, history, page, interval_ms = sys.argv[1], sys.argv[2], sys.argv[3], float(sys.argv[4]) * 1000
asked, begin, end = int(sys.argv[5]), int(sys.argv[6]), int(sys.argv[7])
at = lambda ms: f"+{(ms - begin) / 1000:.1f} s"
per_line = {}  # line: [(cycles, times or None, last cycle, newest ms)] per meter
if source == "history":
    # Complete: a host that ends stores its last batch as it ends.
    try:
        rows = sqlite3.connect(history).execute("select device, t from raw order by device, t").fetchall()
    except sqlite3.Error as e:
        sys.exit(f"  the history cannot be read: {e}")
    meters = {}
    for device, t in rows:
        meters.setdefault(device, []).append(t)
    for device, times in meters.items():
        per_line.setdefault((device - 1) // 8, []).append((len(times), times, None, times[-1]))
else:
    # A killed host's history lacks its last batch, every record with 5 s batches and a host stuck in its first.
    try:
        devices = json.load(open(page))["devices"]
    except (OSError, ValueError, KeyError) as e:
        sys.exit(f"  GET /api/devices did not answer at the deadline ({e}): no figures")
    print(f"  GET /api/devices answered at {at(end)}")
    for d in devices:
        h, age = d["health"], d["freshness"]["age_s"]
        per_line.setdefault((d["data_id"] - 1) // 8, []).append(
            (h["completed"], None, h["last_cycle"] or 0, None if age is None else end - age * 1000))
for line in range(4):
    meters = per_line.get(line, [])
    counts = [m[0] for m in meters] + [0] * (8 - len(meters))
    newest = [m[3] for m in meters if m[3] is not None]
    last = f"last cycle ended at {at(max(newest))}" if newest else "no cycle ended"
    if source == "history":
        skipped = max((sum(max(0, round((b - a) / interval_ms) - 1) for a, b in zip(m[1], m[1][1:])) for m in meters),
                      default=0)
        said = f"{skipped} slots skipped between records"
    else:
        # The slots begun by the end that its cycles did not take, the run's start taken as the first slot's.
        begun = min(asked, int((end - begin) // interval_ms) + 1)
        said = f"about {max(0, begun - max((m[2] for m in meters), default=0))} slots passed without a cycle"
    print(f"  line {line + 1}: {min(counts)}-{max(counts)} cycles per meter of {asked} asked, {said}, {last}")
PY
}

run_big() {
    big_seconds=${BIG_SECONDS:-$seconds}
    if [ ! -x "$read_load" ]; then
        echo "big: no $read_load (cmake --build --preset release --target modbus_read_load), or set MODBUS_READ_LOAD" >&2
        return 1
    fi
    site_config 16 "$out/big.json" unique
    broker=$(free_port)
    hport=$(free_port)
    mport=$(free_port)
    printf 'listener %s 127.0.0.1\nallow_anonymous true\npersistence false\nlog_dest none\n' "$broker" >"$out/mosquitto.conf"
    mosquitto -c "$out/mosquitto.conf" >"$out/mosquitto.log" 2>&1 &
    mosquitto=$!
    started="$started $(stamp "$mosquitto")"
    wait_port "$broker" 10 || { echo "big: Mosquitto did not listen on $broker" >&2; return 1; }
    mosquitto_sub -h 127.0.0.1 -p "$broker" -t '#' -F %t >"$out/subscribed.txt" 2>/dev/null &
    subscriber=$!
    started="$started $(stamp "$subscriber")"
    "$host" --config "$out/big.json" --interval "$interval" --json --history "$out/big.sqlite" \
        --http "127.0.0.1:$hport" --mqtt "mqtt://127.0.0.1:$broker" --modbus-server "127.0.0.1:$mport" \
        >"$out/big.out" 2>"$out/big.err" &
    pid=$!
    started="$started $(stamp "$pid")"
    wait_port "$hport" 30 || { echo "big: the host's page did not listen on $hport" >&2; return 1; }
    streams=""
    for client in 1 2 3 4; do
        curl -sN --max-time $((big_seconds + 60)) "http://127.0.0.1:$hport/api/events" >"$out/events$client.txt" &
        streams="$streams $!"
    done
    for each in $streams; do started="$started $(stamp "$each")"; done
    # A rate of 100 reads a second by one client; it starts at the first read answered.
    "$read_load" "$mport" 1 100 $((big_seconds - 5)) >"$out/modbus.txt" 2>&1 &
    reads=$!
    started="$started $(stamp "$reads")"
    (
        scrapes=$((big_seconds / 5))
        while [ "$scrapes" -gt 0 ]; do
            curl -s -o /dev/null --max-time 5 -w '%{http_code} %{time_total} %{size_download}\n' \
                "http://127.0.0.1:$hport/metrics" >>"$out/scrapes.txt" || echo "failed" >>"$out/scrapes.txt"
            sleep 5
            scrapes=$((scrapes - 1))
        done
    ) &
    scraper=$!
    started="$started $(stamp "$scraper")"
    sleep $((big_seconds / 2))
    threads=$(awk '/^Threads/ {print $2}' "/proc/$pid/status")
    links=$(/usr/bin/python3 - "$pid" "$broker" <<'PY'
import os, sys
pid, port = sys.argv[1], int(sys.argv[2])
inodes = set()
for fd in os.listdir(f"/proc/{pid}/fd"):
    try:
        target = os.readlink(f"/proc/{pid}/fd/{fd}")
    except OSError:
        continue
    if target.startswith("socket:["):
        inodes.add(target[8:-1])
count = 0
for table in ("/proc/net/tcp", "/proc/net/tcp6"):
    for row in open(table).readlines()[1:]:
        fields = row.split()
        if int(fields[2].split(":")[1], 16) == port and fields[3] == "01" and fields[9] in inodes:
            count += 1
print(count)
PY
)
    sleep $((big_seconds - big_seconds / 2))
    measure "$pid"
    kill -INT "$pid"
    within "$pid" 60 "qmxhost" || true
    within "$reads" 15 "modbus_read_load" || true
    within "$scraper" 10 "the /metrics scraper" || true
    for client in $streams; do within "$client" 5 "an event stream's curl" || true; done
    kill "$subscriber" "$mosquitto" 2>/dev/null || true
    within "$subscriber" 5 "mosquitto_sub" || true
    within "$mosquitto" 10 "mosquitto" || true
    costs "$out/big.out" "16 lines of 8 meters, every outlet on" 128
    echo "  halfway: $threads threads, $links connections to the broker"
    lines "$out/big.out"
    events=$(cat "$out"/events?.txt | grep -c '^event: cycle$' || true)
    echo "  event streams: $events cycle events over 4 clients; MQTT: $(wc -l <"$out/subscribed.txt") messages to mosquitto_sub"
    awk '$1 == 200 { n++; t = $2 > t ? $2 : t; b = $3 } $1 != 200 { bad++ }
         END { printf "  /metrics: %d scrapes answered (the last %d bytes, the slowest %.3f s), %d not\n", n, b, t, bad }' "$out/scrapes.txt"
    sed 's/^/  Modbus server, 100 reads\/s: /' "$out/modbus.txt"
}

# The host's threads with every outlet on (history, page with 4 event
# streams, MQTT, Modbus server) for sites of 1, 8 and 32 meters: they do not
# grow with the meters, only with the lines (one each).
run_threads() {
    for site in "1 1" "1 8" "4 8"; do
        set -- $site
        site_config "$1" "$out/threads.json" unique "$2"
        broker=$(free_port)
        hport=$(free_port)
        mport=$(free_port)
        printf 'listener %s 127.0.0.1\nallow_anonymous true\npersistence false\nlog_dest none\n' "$broker" >"$out/mosquitto.conf"
        mosquitto -c "$out/mosquitto.conf" >/dev/null 2>&1 &
        mosquitto=$!
        started="$started $(stamp "$mosquitto")"
        wait_port "$broker" 10 || { echo "threads: Mosquitto did not listen on $broker" >&2; return 1; }
        "$host" --config "$out/threads.json" --interval "$interval" --json --history "$out/threads.sqlite" \
            --http "127.0.0.1:$hport" --mqtt "mqtt://127.0.0.1:$broker" --modbus-server "127.0.0.1:$mport" \
            >/dev/null 2>&1 &
        pid=$!
        started="$started $(stamp "$pid")"
        wait_port "$hport" 30 || { echo "threads: the host's page did not listen on $hport" >&2; return 1; }
        streams=""
        for client in 1 2 3 4; do
            curl -sN --max-time 30 "http://127.0.0.1:$hport/api/events" >/dev/null &
            streams="$streams $!"
        done
        sleep 10
        threads=$(awk '/^Threads/ {print $2}' "/proc/$pid/status")
        connections=$(ss -tnp 2>/dev/null | grep "pid=$pid," | grep -c ":$broker " || true)
        echo "  $(($1 * $2)) meter(s) on $1 line(s), every outlet on: $threads threads, $connections connection(s) to the broker"
        kill -INT "$pid"
        within "$pid" 30 "qmxhost" || true
        for client in $streams; do kill "$client" 2>/dev/null || true; done
        kill "$mosquitto" 2>/dev/null || true
        within "$mosquitto" 10 "mosquitto" || true
        rm -f "$out"/threads.sqlite*
    done
}

port=${PORT:-$(free_port)}
case " $runs " in *" quiet "* | *" load "* | *" slowdisk "* | *" blocked "*) site_config 4 "$out/site.json" shared ;; esac
for run in $runs; do
    case $run in
        quiet) run_host "$out/quiet.json" quiet "quiet" ;;
        load)
            run_host "$out/loaded.json" load "under wrk"
            echo
            cat "$out/wrk.txt"
            ;;
        slowdisk) run_slowdisk ;;
        blocked)
            echo "standard output blocked after 4 KB:"
            run_blocked
            ;;
        dead)
            echo "one dead meter among four, 1 s interval:"
            run_dead
            ;;
        big) run_big ;;
        threads)
            echo "threads of a run:"
            run_threads
            ;;
    esac
done
