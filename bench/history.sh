#!/bin/sh
# The history over N simulated days of one meter at one cycle a second
# (default 400), filled through the bench host's own history outlet: the
# file's size, the bytes a day adds once the raw window is full, the time of
# the queries people and the API make, and the fsyncs per simulated minute
# (counted by strace over one simulated day). The file goes to /dev/shm,
# where an fsync costs nothing, so that the fill takes minutes, not days.
set -eu
fill=${1:?usage: history.sh HISTORY_FILL_BINARY [DAYS]}
days=${2:-400}
dir=$(mktemp -d /dev/shm/qv5810_history_bench.XXXXXX)
trap 'rm -rf "$dir"' EXIT

"$fill" "$dir/history.db" "$days"
strace -f -c -e trace=fsync,fdatasync -o "$dir/strace.txt" "$fill" "$dir/day.db" 1 no > /dev/null
syncs=$(awk '$NF == "fsync" || $NF == "fdatasync" { n += $4 } END { print n + 0 }' "$dir/strace.txt")
echo "fsyncs per simulated minute $(awk -v n="$syncs" 'BEGIN { printf "%.2f", n / 1440 }') ($syncs over one day)"
