#!/bin/sh
# A new visitor among a crowd: qmxhost polls the simulated meter on a line
# paced at 9600 baud and serves the page while 500 keep-alive clients (wrk)
# and 200 slow clients (bench/slow_clients.py) hold connections; a new
# visitor loads the page ten times. Then four requests of a million header
# lines each (107 MB) are sent at once. Prints the page's load times, how
# many did not load within 5 s, the mean cycle without and with the crowd,
# and the host's resident memory before and after the header flood.
set -eu
host=${1:?usage: http_crowd.sh QMXHOST [SECONDS]}
seconds=${2:-30}
port=${PORT:-18081}
here=$(dirname "$0")
out=$(mktemp -d)
trap 'kill $(jobs -p) 2>/dev/null || true; rm -rf "$out"' EXIT

rss() { awk '/^VmRSS/ { print $2 }' "/proc/$1/status"; }

mean_cycle() {
    grep '"event":"summary"' "$1" | sed -n 's/.*"mean_cycle_ms":\([0-9.]*\).*/\1/p'
}

run() {  # $1: events file, $2: crowd or quiet
    "$host" --interval 0 --emulate-line --json --http "127.0.0.1:$port" >"$1" 2>/dev/null &
    pid=$!
    sleep 2
    if [ "$2" = crowd ]; then
        wrk -t 1 -c 500 -d "$((seconds + 5))s" "http://127.0.0.1:$port/api/devices" >/dev/null 2>&1 &
        /usr/bin/python3 "$here/slow_clients.py" 127.0.0.1 "$port" 200 >/dev/null 2>&1 &
        sleep 3
        : > "$out/loads"
        for i in 1 2 3 4 5 6 7 8 9 10; do
            curl -s -o /dev/null --max-time 5 -w "%{http_code} %{time_total}\n" "http://127.0.0.1:$port/" >> "$out/loads" || true
            sleep $((seconds / 12))
        done
        kill $(jobs -p | grep -v "^$pid$") 2>/dev/null || true
        rss "$pid" > "$out/rss_before"
        /usr/bin/python3 - "$port" <<'PY'
import socket, sys, threading
def flood():
    s = socket.create_connection(("127.0.0.1", int(sys.argv[1])))
    try:
        s.sendall(b"GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n")
        line = b"X-Flood: " + b"x" * 96 + b"\r\n"
        for _ in range(1000000 // 1000):
            s.sendall(line * 1000)
        s.sendall(b"\r\n")
        print(s.recv(100).split(b"\r\n")[0].decode())
    except OSError as e:
        print("connection closed by the server:", e.strerror)
threads = [threading.Thread(target=flood) for _ in range(4)]
[t.start() for t in threads]
[t.join() for t in threads]
PY
        rss "$pid" > "$out/rss_after"
    else
        sleep "$seconds"
    fi
    kill -INT "$pid"
    wait "$pid" || true
}

run "$out/quiet.json" quiet
run "$out/crowd.json" crowd
echo "page loads for a new visitor (status seconds):"
cat "$out/loads"
sort -k2 -n "$out/loads" | awk '{ t[NR] = $2 } $1 != 200 { failed++ } END { printf "median %.3f s, max %.3f s, %d of %d not loaded\n", t[int((NR + 1) / 2)], t[NR], failed, NR }'
echo "mean cycle without the crowd: $(mean_cycle "$out/quiet.json") ms"
echo "mean cycle with the crowd:    $(mean_cycle "$out/crowd.json") ms"
echo "resident memory before four 107 MB header floods: $(cat "$out/rss_before") kB, after: $(cat "$out/rss_after") kB"
