#!/bin/sh
# Instructions per operation under callgrind: two runs of each operation,
# N1 and N2 times, and the difference divided by N2 - N1, so that start-up
# and set-up cancel out. Stable on a noisy machine.
set -eu
driver=${1:?usage: instructions.sh INSTRUCTION_COUNTS_BINARY [HOST_CYCLES_BINARY]}
host=${2:-}
n1=${N1:-200}
n2=${N2:-1200}

collected() {
    valgrind --tool=callgrind --callgrind-out-file=/dev/null "$@" 2>&1 \
        | sed -n 's/.*Collected : *\([0-9]*\).*/\1/p'
}

printf '%-18s %14s\n' operation instructions/op
for op in cycle_mode1 cycle_mode2 snapshot_current snapshot_stale snapshot_handle write_status; do
    a=$(collected "$driver" "$op" "$n1")
    b=$(collected "$driver" "$op" "$n2")
    printf '%-18s %14d\n' "$op" $(( (b - a) / (n2 - n1) ))
done
# The bench host's own cycle: poll loop, console, history to a file and the
# live state, with the plug-in's cycle_mode2 inside it.
if [ -n "$host" ]; then
    a=$(collected "$host" "$n1")
    b=$(collected "$host" "$n2")
    printf '%-18s %14d\n' host_cycle $(( (b - a) / (n2 - n1) ))
fi
