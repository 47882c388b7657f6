#!/bin/sh
# The bench host's resident memory over a long unpaced run against the
# simulated meter: its RSS sampled every few seconds, then the growth from
# the first sample past 10,000 cycles to the end. A sample's cycle is its
# share of the run's time. Further options (--history FILE, --http 0 ...)
# go to qmxhost.
set -eu
qmxhost=${1:?usage: memory.sh QMXHOST [CYCLES [OPTION...]]}
cycles=${2:-200000}
shift 2 || shift $#
every=${EVERY:-5}
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT

"$qmxhost" -q --interval 0 --cycles "$cycles" "$@" > "$out/summary.txt" 2>&1 &
pid=$!
start=$(date +%s.%N)
: > "$out/samples"
while kill -0 "$pid" 2> /dev/null; do
    rss=$(sed -n 's/^VmRSS:[[:space:]]*\([0-9]*\) kB/\1/p' "/proc/$pid/status" 2> /dev/null || true)
    [ -n "$rss" ] && echo "$(date +%s.%N) $rss" >> "$out/samples"
    sleep "$every"
done
wait "$pid"
end=$(date +%s.%N)
awk -v start="$start" -v end="$end" -v cycles="$cycles" '
    { t = $1 - start; c = int(cycles * t / (end - start)); print c, $2
      if (base == "" && c >= 10000) { base = $2; at = c }
      last = $2 }
    END { printf "RSS %d kB near cycle %d, %d kB at the end: %+d kB over %d cycles (%.1f s, %.0f cycles/s)\n",
                 base, at, last, last - base, cycles - at, end - start, cycles / (end - start) }
' "$out/samples" | awk 'BEGIN { print "cycle  RSS (kB)" } { print }'
grep -m1 "^summary" "$out/summary.txt"
