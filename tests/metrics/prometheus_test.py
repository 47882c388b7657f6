#!/usr/bin/python3
"""qmxhost's /metrics as Prometheus takes it: promtool finds nothing to
lint, and a real Prometheus (Debian's) scraping it answers a PromQL query
for phase 1 voltage with a value the simulated meter served (worked out
here from the simulator's log and the register map: register 1806, tenths
of a volt)."""
import argparse
import json
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import urllib.parse
import urllib.request

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from host_process import start_host, stop, wait_for  # noqa: E402
from sim_log import register_pair, served_cycles  # noqa: E402

PHASE_1_VOLTAGE = 1806  # tenths of a volt


def fetch(url):
    try:
        with urllib.request.urlopen(url, timeout=10) as answer:
            return answer.read().decode()
    except OSError:
        return None


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--host", required=True)
    parser.add_argument("--plugin", required=True)
    parser.add_argument("--config", required=True)
    args = parser.parse_args()

    work = tempfile.mkdtemp(prefix="qv5810_prometheus_")
    log_path = os.path.join(work, "sim.log")
    host, url = start_host([args.host, "--plugin", args.plugin, "--config", args.config, "--quiet",
                            "--http", "127.0.0.1:0", "--interval", "0.5", f"--sim-arg=--log={log_path}"],
                           "live view at ")
    prometheus = None
    try:
        if url is None:
            raise SystemExit("FAIL: qmxhost did not start its live view")
        def metrics():
            body = fetch(url + "metrics")
            return body if body and "qv5810_phase_voltage_volts{" in body else None

        body = wait_for("a value on /metrics", metrics)
        lint = subprocess.run(["promtool", "check", "metrics"], input=body, capture_output=True, text=True)
        if lint.returncode != 0:
            raise SystemExit(f"FAIL: promtool check metrics:\n{lint.stdout}{lint.stderr}")
        # Counters a rate is taken of are there at 0 before anything happened.
        for cause in ("timeout", "crc", "bad_data", "exception", "incomplete"):
            if not any(line.startswith("qv5810_request_failures_total{") and f'cause="{cause}"' in line
                       and line.endswith(" 0") for line in body.splitlines()):
                raise SystemExit(f"FAIL: no request_failures_total of cause {cause} at 0 before any failure")
        if not any(line.startswith("qv5810_slots_skipped_total{line=") for line in body.splitlines()):
            raise SystemExit("FAIL: no slots_skipped_total of the line")
        if not any(line.startswith('qv5810_build_info{version="') and line.endswith("} 1") for line in body.splitlines()):
            raise SystemExit("FAIL: no build_info")

        target = urllib.parse.urlparse(url).netloc
        port = free_port()
        with open(os.path.join(work, "prometheus.yml"), "w", encoding="utf-8") as config:
            config.write("global:\n  scrape_interval: 1s\nscrape_configs:\n  - job_name: qv5810\n"
                         f"    static_configs:\n      - targets: ['{target}']\n")
        prometheus = subprocess.Popen(
            ["prometheus", f"--config.file={work}/prometheus.yml", f"--storage.tsdb.path={work}/data",
             f"--web.listen-address=127.0.0.1:{port}"],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        query = urllib.parse.quote('qv5810_phase_voltage_volts{phase="1",meter="1"}')

        def answered():
            text = fetch(f"http://127.0.0.1:{port}/api/v1/query?query={query}")
            result = json.loads(text)["data"]["result"] if text else []
            return result[0] if result else None

        sample = wait_for("Prometheus to answer the query", answered)
        volts = float(sample["value"][1])
        served = {register_pair(bank, PHASE_1_VOLTAGE) / 10 for bank in served_cycles(log_path).values()}
        if volts not in served:
            raise SystemExit(f"FAIL: Prometheus says {volts} V, which no cycle served ({sorted(served)[:5]}…)")
        if sample["metric"].get("job") != "qv5810" or sample["metric"].get("slave") != "1":
            raise SystemExit(f"FAIL: the sample's labels: {sample['metric']}")
        print(f"prometheus: phase 1 voltage {volts} V, as the meter served it; promtool found nothing")
        return 0
    finally:
        for process in (prometheus, host):
            if process is not None:
                stop(process)
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
