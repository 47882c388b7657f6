#!/bin/sh
# The Debian packages make package left in BUILD/*/: their fields, files and
# maintainer scripts, programs built for the architecture the package names,
# and each package run from its files: the build machine's directly, a
# board's under qemu. Exits 77 (skipped)
# when no package was made.
set -eu
build=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0

fail() {
    echo "FAIL $deb: $*"
    failures=$((failures + 1))
}

check() {
    deb=$1
    arch=$(dpkg-deb --field "$deb" Architecture)
    [ "$(dpkg-deb --field "$deb" Package)" = qv5810-bench ] || fail "package name"
    depends=$(dpkg-deb --field "$deb" Depends)
    names=$(echo "$depends" | tr ',' '\n' | sed 's/^ *//; s/ .*//')
    for lib in libc6 libstdc++6 libmodbus5 libsqlite3-0 libjsoncpp25; do
        echo "$names" | grep -qxF "$lib" || fail "Depends lacks $lib: $depends"
    done
    contents=$(dpkg-deb --contents "$deb")
    for file in ./usr/bin/qmxhost ./usr/bin/qv5810-sim ./usr/lib/qv5810/qv5810.so ./usr/lib/qv5810/libqmxruntime.so \
        ./etc/qv5810/qv5810.json ./usr/lib/systemd/system/qmxhost@.service ./usr/share/doc/qv5810-bench/install.md \
        ./usr/share/doc/qv5810-bench/copyright ./usr/share/doc/qv5810-bench/changelog.gz \
        ./usr/share/doc/qv5810-bench/examples/site.json ./usr/share/man/man1/qmxhost.1.gz; do
        echo "$contents" | awk '{print $NF}' | grep -qxF "$file" || fail "holds no $file"
    done
    root="$work/$(basename "$deb" .deb)"
    dpkg-deb --extract "$deb" "$root"
    dpkg-deb --control "$deb" "$root/DEBIAN"
    grep -qx /etc/qv5810/qv5810.json "$root/DEBIAN/conffiles" || fail "the configuration is no conffile"
    for script in postinst prerm postrm; do
        [ -x "$root/DEBIAN/$script" ] || fail "no $script"
    done
    grep -q groupdel "$root/DEBIAN/postrm" || fail "a purge leaves the group qv5810"
    # The page documents every option this build's qmxhost takes.
    zcat "$root/usr/share/man/man1/qmxhost.1.gz" | groff -man -Tutf8 -ww -z 2>"$work/groff" && [ ! -s "$work/groff" ] ||
        fail "qmxhost(1) does not render cleanly: $(cat "$work/groff")"
    case $arch in
        armhf) machine=ARM; emulator=qemu-arm ;;
        arm64) machine=AArch64; emulator=qemu-aarch64 ;;
        amd64) machine=X86-64; emulator= ;;
        *) fail "architecture $arch"; return ;;
    esac
    for program in usr/bin/qmxhost usr/bin/qv5810-sim usr/lib/qv5810/qv5810.so; do
        readelf -h "$root/$program" | grep -q "Machine:.*$machine" || fail "$program is not built for $arch"
    done
    readelf -d "$root/usr/bin/qmxhost" | grep -q 'R.*PATH.*\$ORIGIN/\.\./lib/qv5810' || fail "qmxhost does not find its runtime"
    if [ "$arch" != "$(dpkg --print-architecture)" ]; then
        # A board's package, run here under qemu: its simulator over TCP and one cycle against it.
        "$emulator" "$root/usr/bin/qmxhost" --help >/dev/null || { fail "the packaged qmxhost does not start"; return; }
        "$emulator" "$root/usr/bin/qv5810-sim" --tcp 0 >"$work/sim-port" &
        sim=$!
        for _ in $(seq 100); do [ -s "$work/sim-port" ] && break; sleep 0.1; done
        "$emulator" "$root/usr/bin/qmxhost" --plugin "$root/usr/lib/qv5810/qv5810.so" \
            --config "$root/etc/qv5810/qv5810.json" --history "$work/tried-$arch.db" \
            --tcp "127.0.0.1:$(head -n1 "$work/sim-port")" --cycles 1 --interval 0 >/dev/null ||
            fail "the packaged qmxhost does not poll under $emulator (status $?)"
        kill "$sim"
        wait "$sim" || true
        return 0
    fi
    # Defaults where the package puts things, and a run from the package's files.
    help=$("$root/usr/bin/qmxhost" --help) || { fail "the packaged qmxhost does not start"; return; }
    echo "$help" | grep -q /usr/lib/qv5810/qv5810.so || fail "qmxhost's default plug-in is not the packaged one"
    echo "$help" | grep -q /etc/qv5810/qv5810.json || fail "qmxhost's default configuration is not /etc/qv5810's"
    grep -q '"history" *: *"/var/lib/qv5810/qv5810.db"' "$root/etc/qv5810/qv5810.json" ||
        fail "the packaged configuration keeps no history in the service's state directory"
    "$root/usr/bin/qmxhost" --plugin "$root/usr/lib/qv5810/qv5810.so" --config "$root/etc/qv5810/qv5810.json" \
        --history "$work/tried.db" --tcp sim --cycles 1 --interval 0 || fail "the packaged qmxhost does not run (status $?)"
}

found=0
for deb in "$build"/*/qv5810-bench_*.deb; do
    [ -e "$deb" ] || continue
    found=1
    echo "checking $deb"
    check "$deb"
done
if [ $found -eq 0 ]; then
    echo "no Debian package in $build/*/ (make package makes them)"
    exit 77
fi
[ $failures -eq 0 ]
