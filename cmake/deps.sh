#!/bin/sh
# Installs the Debian packages the build needs, only those missing (dpkg-dev
# for the dependencies make package finds, socat for the RTU-over-TCP bridge
# test). Adds the armhf architecture for the controller's cross build.
set -eu

native="cmake ninja-build g++ clang libclang-rt-14-dev make pkg-config
  libjsoncpp-dev libboost-dev libboost-date-time-dev libmodbus-dev libsqlite3-dev libcli11-dev
  libgtest-dev libgmock-dev libbenchmark-dev valgrind sqlite3 socat dpkg-dev
  libcpp-httplib-dev libjs-chart.js chromium chromium-driver python3-selenium fonts-wqy-microhei wrk
  libmosquitto-dev mosquitto mosquitto-clients
  g++-arm-linux-gnueabihf binutils-arm-linux-gnueabihf qemu-user"
armhf="libjsoncpp-dev:armhf libboost-dev:armhf libboost-date-time-dev:armhf libmodbus-dev:armhf
  libsqlite3-dev:armhf libgtest-dev:armhf libgmock-dev:armhf libcpp-httplib-dev:armhf
  libmosquitto-dev:armhf"

sudo=""
if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi

if ! dpkg --print-foreign-architectures | grep -qx armhf; then
    $sudo dpkg --add-architecture armhf
    need_update=1
fi

missing=""
for pkg in $native $armhf; do
    if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed"; then
        missing="$missing $pkg"
    fi
done

if [ -z "$missing" ]; then
    echo "deps: all packages present"
    exit 0
fi
echo "deps: installing$missing"
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends $missing
