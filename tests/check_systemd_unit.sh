#!/bin/sh
# systemd-analyze's verdict on the unit, with ExecStart pointed at the
# qmxhost built here (it checks that the program is there). Any complaint
# fails, the ones it only warns about too; so does an exposure score above
# the band "OK" of systemd-analyze security. Exits 77 (skipped) without
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
# "→ Overall exposure level for qmxhost@check.service: 1.6 OK 🙂"
scored=$(cd "$work" && systemd-analyze security --offline=true --no-pager qmxhost@check.service 2>&1) || true
level=$(echo "$scored" | sed -n 's/.*Overall exposure level for [^:]*: *\([0-9.]*\) \([A-Z]*\).*/\1 \2/p')
echo "exposure: $level"
case ${level#* } in
    PERFECT | SAFE | OK) ;;
    *)
        echo "$scored"
        echo "the unit's exposure is above OK"
        exit 1
        ;;
esac
