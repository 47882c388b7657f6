#!/bin/sh
# The Modbus server's reads and their cost to polling: qmxhost polls the
# simulated meter on a line paced at 9600 baud, cycle after cycle, first
# without clients and then while 10 clients read 1,000 times a second in
# all. Prints the reads' latency and the meter's mean cycle in both runs.
# LINE= (empty) polls an unpaced line instead, where the cycle is all CPU.
set -eu
host=${1:?usage: modbus_server_load.sh QMXHOST MODBUS_READ_LOAD [SECONDS]}
load=${2:?usage: modbus_server_load.sh QMXHOST MODBUS_READ_LOAD [SECONDS]}
seconds=${3:-20}
port=${PORT:-18502}
line=${LINE---emulate-line}
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT

mean_cycle() {  # the meter's mean cycle time and its completed cycles, from the summary
    grep '"event":"summary"' "$1" | /usr/bin/python3 -c '
import json, sys
meter = json.loads(sys.stdin.read())["devices"][0]
print(round(meter["mean_cycle_ms"], 3), "ms over", meter["completed"], "cycles")'
}

run_host() {  # $1: the events' file; $2: clients
    "$host" --interval 0 $line --json --modbus-server "127.0.0.1:$port" >"$1" 2>/dev/null &
    pid=$!
    "$load" "$port" "$2" 1000 "$seconds" >"$out/load.txt" || { kill -INT "$pid"; exit 1; }
    kill -INT "$pid"
    wait "$pid" || true
}

run_host "$out/quiet.json" 0
run_host "$out/loaded.json" 10

cat "$out/load.txt"
echo "mean cycle without clients: $(mean_cycle "$out/quiet.json")"
echo "mean cycle while read:      $(mean_cycle "$out/loaded.json")"
