#!/bin/sh
# Installs the Debian packages a make target needs, only those missing.
#   deps.sh demo  what make demo and make live build and run with
#   deps.sh all   everything: the tests (GoogleTest, Chromium, Mosquitto,
#                 socat for the RTU-over-TCP bridge test, Prometheus and
#                 its promtool for the metrics test, mbpoll and pymodbus
#                 (with serial-asyncio, which it imports even for TCP) for
#                 the Modbus server's test, an HTTP client
#                 library, openssl for a test CA), the benchmarks
#                 (strace counts the history's fsyncs; curl and ss watch a site),
#                 the armhf cross build run under qemu, the arm64 cross
#                 build of the bench host's package, and dpkg-dev for
#                 the dependencies make package finds; PostgreSQL's server
#                 for the central history's tests and make bench-fleet
set -eu
set_name=${1:-all}

demo="cmake ninja-build g++ make pkg-config
  libjsoncpp-dev libboost-dev libboost-date-time-dev libmodbus-dev libsqlite3-dev libcli11-dev
  libssl-dev libsodium-dev libjs-chart.js libmosquitto-dev libpq-dev libsystemd-dev
  libhowardhinnant-date-dev tzdata"
tests="clang libclang-rt-14-dev libgtest-dev libgmock-dev libbenchmark-dev valgrind sqlite3 socat dpkg-dev
  libcpp-httplib-dev openssl prometheus mbpoll python3-pymodbus python3-serial-asyncio
  chromium chromium-driver python3-selenium fonts-wqy-microhei wrk mosquitto mosquitto-clients strace curl iproute2
  g++-arm-linux-gnueabihf binutils-arm-linux-gnueabihf qemu-user postgresql-15"
armhf="libjsoncpp-dev:armhf libboost-dev:armhf libboost-date-time-dev:armhf libmodbus-dev:armhf
  libsqlite3-dev:armhf libgtest-dev:armhf libgmock-dev:armhf libcpp-httplib-dev:armhf
  libmosquitto-dev:armhf libssl-dev:armhf libsodium-dev:armhf libpq5:armhf libsystemd-dev:armhf
  libhowardhinnant-date-dev:armhf"
arm64="g++-aarch64-linux-gnu binutils-aarch64-linux-gnu libjsoncpp-dev:arm64 libboost-dev:arm64
  libboost-date-time-dev:arm64 libmodbus-dev:arm64 libsqlite3-dev:arm64 libmosquitto-dev:arm64 libssl-dev:arm64
  libsodium-dev:arm64 libpq5:arm64 libsystemd-dev:arm64 libhowardhinnant-date-dev:arm64"

case $set_name in
    demo) wanted=$demo ;;
    all) wanted="$demo $tests $armhf $arm64" ;;
    *) echo "deps: unknown set $set_name (demo or all)" >&2; exit 2 ;;
esac

sudo=""
if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi

for arch in armhf arm64; do
    if [ "$set_name" = all ] && ! dpkg --print-foreign-architectures | grep -qx $arch; then
        $sudo dpkg --add-architecture $arch
    fi
done

missing=""
for pkg in $wanted; do
    if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed"; then
        missing="$missing $pkg"
    fi
done

# A foreign architecture's package of a library must be the same version as
# the machine's own: the own is asked for beside it, so that apt may bring
# it up to the version the other comes in.
for pkg in $missing; do
    case $pkg in
        *:*) case " $missing " in *" ${pkg%%:*} "*) ;; *) missing="$missing ${pkg%%:*}" ;; esac ;;
    esac
done

if [ -z "$missing" ]; then
    echo "deps: all packages present"
    exit 0
fi
echo "deps: installing$missing"
# A mirror caught mid-sync fails one index or another; what is there may
# still hold every package wanted, and the install says so if it does not.
$sudo apt-get update -qq || echo "deps: some package lists were not refreshed; installing from those there are" >&2
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends $missing
