#!/usr/bin/python3
"""The energy answers of a site's year: a history of 32 meters over 365 days
(a record a minute each: the minute and hour tables as full as at one cycle
a second, the raw window thinner) is filled through the history's own
writer, ending now; the bench host serves it with the site's clock in
Europe/Berlin, and each answer is asked for as the page and a program ask
for it, over one kept-alive connection, 7 times, each until its last byte
has come: the first (a cold file cache after the fill) and the median of
the other 6 are printed.

usage: energy.py QMXHOST HISTORY_FILL [DAYS] [METERS]
Ends with status 1 when a median misses its target.
"""
import http.client
import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
import urllib.parse
from datetime import datetime, timedelta, timezone

QMXHOST, FILL = sys.argv[1], sys.argv[2]
DAYS = int(sys.argv[3]) if len(sys.argv) > 3 else 365
METERS = int(sys.argv[4]) if len(sys.argv) > 4 else 32
PORT = 18091
ROUNDS = 7


def iso(moment):
    return moment.strftime("%Y-%m-%dT%H:%M:%SZ")


def fetch(conn, path):
    conn.request("GET", path)
    answer = conn.getresponse()
    body = answer.read()
    if answer.status != 200:
        raise RuntimeError(f"{path}: {answer.status} {body[:200]!r}")
    return body


def ask(conn, path):
    return json.loads(fetch(conn, path))


def timed(conn, paths):
    """The first round's seconds, the median of the rest, and the last answers:
    until the last byte of each has come, not parsed here."""
    times, bodies = [], []
    for _ in range(ROUNDS):
        start = time.monotonic()
        bodies = [fetch(conn, path) for path in paths]
        times.append(time.monotonic() - start)
    return times[0], statistics.median(times[1:]), [json.loads(body) for body in bodies]


def main():
    work = tempfile.mkdtemp(prefix="qv5810_energy_", dir="/dev/shm")
    history = os.path.join(work, "history.db")
    try:
        start = time.monotonic()
        subprocess.run([FILL, history, str(DAYS), "no", str(METERS), "now", "60"], check=True, stdout=subprocess.DEVNULL)
        print(f"filled {DAYS} days of {METERS} meters, a record a minute each, in {time.monotonic() - start:.0f} s: "
              f"{os.path.getsize(history):,} bytes")
        host = subprocess.Popen([QMXHOST, "--emulate-line", "--interval", "1", "--quiet", "--history", history,
                                 "--site-timezone", "Europe/Berlin", "--http", f"127.0.0.1:{PORT}"],
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            run(host)
        finally:
            host.send_signal(2)
            host.wait(30)
    finally:
        shutil.rmtree(work)


def run(host):
    conn = None
    for _ in range(300):
        try:
            conn = http.client.HTTPConnection("127.0.0.1", PORT, timeout=60)
            ask(conn, "/api/devices")
            break
        except OSError:
            conn = None
            time.sleep(0.1)
    if conn is None or host.poll() is not None:
        raise RuntimeError("qmxhost did not answer")
    now = datetime.now(timezone.utc)
    year = f"from={iso(now - timedelta(days=364))}&to={iso(now)}"
    month = ask(conn, "/api/site/energy?period=last_month")
    span = f"from={urllib.parse.quote(month['from'])}&to={urllib.parse.quote(month['to'])}"
    # The configured meter's: the history's rows are served for the meters the bench host polls.
    # The power chart, the page's first: the quantities it draws alone.
    power = "total_active_power_kw,active_power_1_kw,active_power_2_kw,active_power_3_kw"
    chart = [f"/api/devices/1/history?resolution=hour&from={iso(now - timedelta(days=365))}&to={iso(now)}&limit=5000"
             f"&quantities={power}"]
    cases = [
        (f"the site's energy table for last month ({METERS} meters, each with its month's peak demand)",
         ["/api/site/energy?period=last_month"], 0.1),
        ("a year of daily energy for one meter", [f"/api/devices/{min(2, METERS)}/energy?by=day&{year}"], 0.05),
        (f"a month of 15-min demand, every interval and the peak, for each of {METERS} meters",
         [f"/api/devices/{m}/demand?interval=15&{span}" for m in range(1, METERS + 1)], 0.2),
        ("the page's year chart (hourly rows, asked as the page asks)", chart, 0.1),
    ]
    missed = []
    for what, paths, target in cases:
        if paths is chart:
            # The newest 5,000 hours first, then the hours before them.
            first = ask(conn, paths[0])
            older = datetime.fromisoformat(first["rows"][0]["utc"].replace("Z", "+00:00")) - timedelta(milliseconds=1)
            older_text = older.strftime("%Y-%m-%dT%H:%M:%S.") + f"{older.microsecond // 1000:03d}Z"
            if len(first["rows"]) == 5000:
                paths = paths + [paths[0].replace(f"to={iso(now)}", f"to={older_text}")]
        cold, median, answers = timed(conn, paths)
        print(f"{what}: median {median * 1000:.1f} ms, first {cold * 1000:.1f} ms (target < {target * 1000:.0f} ms)")
        print(f"  {describe(answers)}")
        if median >= target:
            missed.append(what)
    if missed:
        print("missed: " + "; ".join(missed))
        sys.exit(1)


def describe(answers):
    first = answers[0]
    if "meters" in first:
        peaks = sum(1 for m in first["meters"] if m["peak_demand_w"] is not None)
        return (f"{len(first['meters'])} meters, {peaks} with a peak, total imported "
                f"{first['total']['active_energy_pos_wh']} Wh")
    if "periods" in first:
        return f"{len(first['periods'])} days"
    if "intervals" in first:
        return (f"{len(answers)} answers of {len(first['intervals'])} intervals, "
                f"{sum(1 for a in answers if a['peak'])} with a peak")
    return f"{sum(len(a['rows']) for a in answers)} rows in {len(answers)} answers"


main()
