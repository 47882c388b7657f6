#!/usr/bin/python3
"""A day's energy from the API against the simulated meter's own counters.

Runs qmxhost twice on one history against a simulator that keeps its
energy in a state file across the restart, then a third time with a
simulator that starts its counters afresh (a meter reset or replaced),
then silences the meter: the energy the API gives for the day (the days
of the month, summed) must be what the imported counter rose in each
series the simulator served, worked out here from its logs; the restart
that kept the state breaks nothing, the fresh start is reported as a
break and not counted.
"""
import argparse
import json
import os
import signal
import sys
import tempfile
import urllib.request

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "support"))
from host_process import start_host, stop, wait_for  # noqa: E402
from sim_log import register_pair, served_cycles  # noqa: E402

IMPORTED = 1880  # the imported active energy's high register, in Wh


def get(url):
    with urllib.request.urlopen(url, timeout=30) as answer:
        return json.load(answer)


def run(args, work, number, state):
    """One run of qmxhost until the simulator served ten whole cycles; the run and its simulator's log."""
    log = os.path.join(work, f"sim{number}.log")
    events = open(os.path.join(work, f"events{number}.json"), "w", encoding="utf-8")
    kept = [f"--sim-arg=--state={os.path.join(work, 'energy.state')}"] if state else []
    host, url = start_host([args.host, "--plugin", args.plugin, "--config", args.config, "--http", "127.0.0.1:0",
                            "--interval", "0.5", "--json", "--history", os.path.join(work, "history.db"),
                            "--history-batch-s", "0.5", f"--sim-arg=--log={log}"] + kept, "live view at ", stdout=events)
    if url is None:
        raise SystemExit("FAIL: qmxhost did not start its live view")
    wait_for("ten cycles served", lambda: os.path.exists(log) and len(served_cycles(log)) >= 10)
    return host, url, log, events.name


def counters(log):
    cycles = served_cycles(log)
    return [register_pair(cycles[c], IMPORTED) for c in sorted(cycles)]


def main():
    parser = argparse.ArgumentParser()
    for name in ("--host", "--plugin", "--config"):
        parser.add_argument(name, required=True)
    args = parser.parse_args()
    work = tempfile.mkdtemp(prefix="qv5810_energy_")

    logs = []
    for number, state in ((1, True), (2, True)):
        host, _, log, _ = run(args, work, number, state)
        logs.append(log)
        if not stop(host):
            raise SystemExit(f"FAIL: run {number} did not end on SIGINT")
    host, url, log, events = run(args, work, 3, False)
    logs.append(log)
    simulator = None
    try:
        with open(events, encoding="utf-8") as out:
            simulator = json.loads(out.readline())["simulator_pid"]
        # The meter falls silent: what the simulator served last is the last reading.
        os.kill(simulator, signal.SIGSTOP)
        kept, fresh = counters(logs[0]) + counters(logs[1]), counters(logs[2])
        if kept != sorted(kept) or fresh[0] >= kept[-1]:
            raise SystemExit(f"FAIL: the state kept the counter rising and the fresh start went back: {kept} {fresh}")
        expected = (kept[-1] - kept[0]) + (fresh[-1] - fresh[0])

        def settled():
            answer = get(url + "api/devices/1/energy?by=day")
            used = sum(p["active_energy_pos_wh"] or 0 for p in answer["periods"])
            return answer if used == expected else None
        answer = wait_for(f"the API's energy to reach the {expected} Wh the counters rose", settled)
        went_back = [b for b in answer["breaks"] if b["counter"] == "active_energy_pos_wh"]
        if [(b["before"], b["after"]) for b in went_back] != [(kept[-1], fresh[0])]:
            raise SystemExit(f"FAIL: the fresh start alone is a break, {kept[-1]} to {fresh[0]}: {answer['breaks']}")
        print(f"energy: {expected} Wh over {len(kept) + len(fresh)} cycles in three runs, as the API says")
    finally:
        if simulator is not None:
            os.kill(simulator, signal.SIGCONT)
        stop(host)
    return 0


if __name__ == "__main__":
    sys.exit(main())
