#!/bin/sh
# The live view under load: qmxhost polling the simulated meter on a line
# paced at 9600 baud while wrk asks for one meter's view over 50
# connections. Prints wrk's requests per second and latency percentiles,
# and the mean cycle time of a run without the load and of one with it.
# With SECURE=1 the server speaks HTTPS (a self-signed certificate made
# here) and every request needs a login (a bearer token).
set -eu
host=${1:?usage: http_load.sh QMXHOST [SECONDS]}
seconds=${2:-30}
port=${PORT:-18080}
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT

scheme=http
secure_options=""
auth_script=""
if [ "${SECURE:-0}" = 1 ]; then
    openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 2 -subj /CN=127.0.0.1 \
        -addext subjectAltName=IP:127.0.0.1 -keyout "$out/key.pem" -out "$out/cert.pem" 2>/dev/null
    "$host" token bench > "$out/users" 2> "$out/token.txt"
    token=$(sed -n 's/.*shown this once (the file keeps its hash): //p' "$out/token.txt")
    secure_options="--http-tls-cert $out/cert.pem --http-tls-key $out/key.pem --http-users $out/users --http-login all"
    scheme=https
    printf 'wrk.headers["Authorization"] = "Bearer %s"\n' "$token" > "$out/auth.lua"
    auth_script="-s $out/auth.lua"
fi

mean_cycle() {  # the summary event's mean cycle time of the first meter
    grep '"event":"summary"' "$1" | sed -n 's/.*"mean_cycle_ms":\([0-9.]*\).*/\1/p'
}

# Polls until interrupted, with or without wrk asking meanwhile.
run_host() {
    # shellcheck disable=SC2086
    "$host" --interval 0 --emulate-line --json --http "127.0.0.1:$port" $secure_options >"$1" 2>/dev/null &
    pid=$!
    sleep 2  # the first cycle is in
    if [ "$2" = load ]; then
        # shellcheck disable=SC2086
        wrk -t "${WRK_THREADS:-1}" -c 50 -d "${seconds}s" --latency $auth_script \
            "$scheme://127.0.0.1:$port/api/devices/1" >"$out/wrk.txt"
    else
        sleep "$seconds"
    fi
    kill -INT "$pid"
    wait "$pid" || true
}

run_host "$out/quiet.json" quiet
run_host "$out/loaded.json" load

cat "$out/wrk.txt"
echo
echo "mean cycle without HTTP load: $(mean_cycle "$out/quiet.json") ms"
echo "mean cycle with HTTP load:    $(mean_cycle "$out/loaded.json") ms"
