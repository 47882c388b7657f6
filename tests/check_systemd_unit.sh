#!/bin/sh
# systemd-analyze's verdict on the unit, with ExecStart pointed at the
# qmxhost built here (it checks that the program is there). Any complaint
# fails, the ones it only warns about too. Exits 77 (skipped) without
# systemd-analyze.
set -eu
unit=$1
qmxhost=$2
command -v systemd-analyze > /dev/null || { echo "no systemd-analyze"; exit 77; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
sed "s|/usr/bin/qmxhost|$qmxhost|" "$unit" > "$work/qmxhost@check.service"
said=$(systemd-analyze verify --man=no "$work/qmxhost@check.service" 2>&1) || { echo "$said"; exit 1; }
if [ -n "$said" ]; then
    echo "$said"
    exit 1
fi
