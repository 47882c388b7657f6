#!/usr/bin/python3
"""MQTT publication against polling: a Mosquitto broker on a free loopback
port, qmxhost on a line paced at 9600 baud for a while with MQTT off and
then on, and a paho subscriber taking each state message's delay from the
end of its cycle (the state's "utc") to its receipt.

usage: mqtt_latency.py QMXHOST [SECONDS]
"""
import datetime
import json
import os
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time

import paho.mqtt.client as mqtt


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def run_host(host, seconds, extra):
    """The mean cycle time of a run of `seconds`, from the summary event."""
    # To a file: a pipe nobody reads would fill and hold the host back.
    with tempfile.TemporaryFile("w+", encoding="utf-8") as out:
        process = subprocess.Popen([host, "--interval", "0", "--emulate-line", "--json", *extra],
                                   stdout=out, stderr=subprocess.DEVNULL)
        time.sleep(seconds)
        process.send_signal(signal.SIGINT)
        process.wait(timeout=60)
        out.seek(0)
        lines = out.read().splitlines()
    for line in lines:
        event = json.loads(line)
        if event.get("event") == "summary":
            return event["devices"][0]["mean_cycle_ms"], event["devices"][0]["completed"]
    raise SystemExit("qmxhost printed no summary")


def main():
    host = sys.argv[1]
    seconds = float(sys.argv[2]) if len(sys.argv) > 2 else 30
    port = free_port()
    work = tempfile.mkdtemp(prefix="qv5810_mqtt_bench_")
    conf = os.path.join(work, "mosquitto.conf")
    with open(conf, "w", encoding="utf-8") as f:
        f.write(f"listener {port} 127.0.0.1\nallow_anonymous true\n")
    broker = subprocess.Popen(["mosquitto", "-c", conf], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    time.sleep(0.5)

    delays = []
    lock = threading.Lock()

    def on_message(client, userdata, message):
        received = time.time()
        state = json.loads(message.payload)
        if not message.retain:
            ended = datetime.datetime.strptime(state["utc"], "%Y-%m-%dT%H:%M:%S.%fZ")
            ended = ended.replace(tzinfo=datetime.timezone.utc).timestamp()
            with lock:
                delays.append((received - ended) * 1000)

    subscriber = mqtt.Client()
    subscriber.on_message = on_message
    subscriber.connect("127.0.0.1", port)
    subscriber.subscribe("bench/+/state", qos=1)
    subscriber.loop_start()
    try:
        off_mean, off_cycles = run_host(host, seconds, [])
        on_mean, on_cycles = run_host(host, seconds, ["--mqtt", f"mqtt://127.0.0.1:{port}", "--mqtt-prefix", "bench/"])
    finally:
        subscriber.loop_stop()
        broker.terminate()
        broker.wait()

    print(f"mean cycle, MQTT off: {off_mean:.2f} ms over {off_cycles} cycles")
    print(f"mean cycle, MQTT on:  {on_mean:.2f} ms over {on_cycles} cycles ({(on_mean / off_mean - 1) * 100:+.2f} %)")
    if delays:
        delays.sort()
        p99 = delays[min(len(delays) - 1, int(len(delays) * 0.99))]
        print(f"end of cycle to receipt over {len(delays)} states: median {statistics.median(delays):.2f} ms, "
              f"p99 {p99:.2f} ms, max {delays[-1]:.2f} ms (the state's time has 1 ms resolution)")


if __name__ == "__main__":
    main()
