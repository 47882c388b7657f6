#!/usr/bin/python3
"""The bench host under every hostile load at once, each from an address of
its own on loopback (127.0.0.2 to .8): 16 clients asking for 5,000 history
rows again and again, 30 CSV exports nobody reads, a flood of wrong
passwords, 2 addresses x 1,000 kept-alive connections renewing themselves
every 8 s, one address holding 8 event streams it never reads, and 32
Modbus connections from one address reading once per 100 s. Meanwhile, from
addresses of their own, a new visitor loads the page, a real user logs in
and a second Modbus master reads; the bench host's memory and its lines'
skipped slots are read at the end.

usage: http_hostile.py QMXHOST HISTORY_FILL [SECONDS]
Prints one figure per line and ends with status 1 when a target is missed:
page < 1 s, login < 2 s, the second master answered, RSS < 64 MB, 0 slots
skipped.
"""
import asyncio
import json
import os
import re
import resource
import socket
import statistics
import struct
import subprocess
import sys
import tempfile
import time

QMXHOST, FILL = sys.argv[1], sys.argv[2]
SECONDS = int(sys.argv[3]) if len(sys.argv) > 3 else 60
HTTP_PORT, MODBUS_PORT = 18090, 18502
USER, PASSWORD = "anna", "correct horse battery"
PAGE = ["/", "/live.css", "/chart.js", "/live.js", "/favicon.svg", "/api/session", "/api/devices", "/api/devices/1"]
ORIGIN = f"http://127.0.0.1:{HTTP_PORT}"
counts = {}


def count(what, n=1):
    counts[what] = counts.get(what, 0) + n


def request(path, method="GET", body=b"", close=False, extra=""):
    head = f"{method} {path} HTTP/1.1\r\nHost: 127.0.0.1:{HTTP_PORT}\r\n{extra}"
    if body:
        head += f"Content-Type: application/json\r\nOrigin: {ORIGIN}\r\nContent-Length: {len(body)}\r\n"
    if close:
        head += "Connection: close\r\n"
    return head.encode() + b"\r\n" + body


async def connect(source, port=HTTP_PORT, receive_buffer=0):
    sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    if receive_buffer:
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, receive_buffer)
    sock.bind((source, 0))
    sock.setblocking(False)
    await asyncio.get_running_loop().sock_connect(sock, ("127.0.0.1", port))
    return await asyncio.open_connection(sock=sock)


async def answer(reader):
    """One whole answer: its status and body (by its length or its chunks)."""
    head = await reader.readuntil(b"\r\n\r\n")
    status = int(head.split(b" ", 2)[1])
    length = re.search(rb"(?i)content-length: *(\d+)", head)
    if length:
        return status, await reader.readexactly(int(length.group(1)))
    if re.search(rb"(?i)transfer-encoding: *chunked", head):
        body = b""
        while True:
            size = int((await reader.readuntil(b"\r\n")).strip(), 16)
            body += await reader.readexactly(size + 2)
            if size == 0:
                return status, body
    return status, b""


# --- the attackers ---------------------------------------------------------

async def forever(round_, pause, dropped=None):
    """One attacker: its round again and again, `pause` after a dropped connection."""
    while True:
        try:
            await round_()
        except (OSError, asyncio.IncompleteReadError):
            if dropped:
                count(dropped)
            await asyncio.sleep(pause)


async def history_round():
    reader, writer = await connect("127.0.0.2")
    while True:
        writer.write(request("/api/devices/1/history?limit=5000"))
        status, _ = await answer(reader)
        count(f"history {status}")
        if status == 429:
            await asyncio.sleep(0.2)


async def unread_export_round():
    # Its socket's buffers are all the server can fill: nothing is read.
    reader, writer = await connect("127.0.0.3", receive_buffer=4096)
    writer.transport.pause_reading()
    writer.write(request("/api/devices/1/history.csv"))
    count("exports asked")
    await asyncio.sleep(15)  # past the server's 10 s for a reader that takes nothing
    writer.close()


async def login_flood_round():
    body = f'{{"user": "{USER}", "password": "guess"}}'.encode()
    reader, writer = await connect("127.0.0.4")
    writer.write(request("/api/login", "POST", body, close=True))
    status, _ = await answer(reader)
    count(f"flood login {status}")
    writer.close()


def kept_alive_round(source):
    async def round_():
        reader, writer = await connect(source)
        while True:
            writer.write(request("/healthz"))
            await answer(reader)
            count("kept-alive requests")
            await asyncio.sleep(8)
    return round_


async def held_stream_round():
    reader, writer = await connect("127.0.0.7", receive_buffer=4096)
    writer.write(request("/api/events"))
    status = (await reader.readuntil(b"\r\n")).split(b" ")[1]
    count(f"stream {int(status)}")
    writer.transport.pause_reading()
    await asyncio.sleep(3600 if status == b"200" else 5)


def modbus_read(transaction):
    return struct.pack(">HHHBBHH", transaction, 0, 6, 1, 3, 1792, 10)


async def idle_master_round():
    reader, writer = await connect("127.0.0.8", MODBUS_PORT)
    for transaction in range(1, 1 << 15):
        writer.write(modbus_read(transaction))
        await reader.readexactly(9 + 20)
        await asyncio.sleep(100)


# --- those who must still be served ----------------------------------------

async def timed(what, action, results):
    began = time.monotonic()
    try:
        ok = await asyncio.wait_for(action(), 30)
    except (OSError, asyncio.IncompleteReadError, asyncio.TimeoutError) as e:
        ok = False
        count(f"{what} failed ({type(e).__name__})")
    results.setdefault(what, []).append((time.monotonic() - began, ok))


async def visitor_reads(paths):
    """The paths asked in turn on one connection; True when each is answered 200."""
    reader, writer = await connect("127.0.0.9")
    for path in paths:
        writer.write(request(path))
        status, _ = await answer(reader)
        if status != 200:
            return False
    writer.close()
    return True


async def visitor_page():
    return await visitor_reads(PAGE)


async def visitor_chart():
    return await visitor_reads(("/api/devices/1/history?limit=2000", "/api/devices/1/alarms"))


async def real_login():
    reader, writer = await connect("127.0.0.10")
    writer.write(request("/api/login", "POST", f'{{"user": "{USER}", "password": "{PASSWORD}"}}'.encode(), close=True))
    status, _ = await answer(reader)
    writer.close()
    return status == 200


async def second_master():
    reader, writer = await connect("127.0.0.11", MODBUS_PORT)
    writer.write(modbus_read(7))
    reply = await reader.readexactly(9 + 20)
    writer.close()
    return reply[7] == 3


async def get(path):
    """The body of a GET, or None when it is not answered within 30 s."""
    try:
        reader, writer = await connect("127.0.0.9")
        writer.write(request(path, close=True))
        status, body = await asyncio.wait_for(answer(reader), 30)
        return body if status == 200 else None
    except (OSError, asyncio.IncompleteReadError, asyncio.TimeoutError):
        return None


async def health():
    """The first meter's completed cycles and their mean time so far; None when not answered."""
    body = await get("/api/devices/1")
    if body is None:
        return None
    h = json.loads(body)["health"]
    return h["completed"], h["mean_cycle_ms"] or 0


def rss_kb(pid, field="VmRSS"):
    with open(f"/proc/{pid}/status", encoding="ascii") as status:
        return int(re.search(field + r":\s+(\d+)", status.read()).group(1))


async def main():
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
    work = tempfile.mkdtemp(prefix="qv5810_hostile_")
    history = os.path.join(work, "history.db")
    subprocess.run([FILL, history, "1", "no"], check=True, stdout=subprocess.DEVNULL)
    users = os.path.join(work, "users")
    with open(users, "w", encoding="utf-8") as out:
        subprocess.run([QMXHOST, "passwd", USER], input=PASSWORD + "\n", stdout=out, text=True, check=True)
    events = open(os.path.join(work, "events.json"), "w", encoding="utf-8")
    host = subprocess.Popen([QMXHOST, "--emulate-line", "--interval", "1", "--json", "--http", f"127.0.0.1:{HTTP_PORT}",
                             "--http-users", users, "--history", history, "--modbus-server", f"127.0.0.1:{MODBUS_PORT}"],
                            stdout=events, stderr=subprocess.DEVNULL)
    try:
        for _ in range(300):
            try:
                if await asyncio.wait_for(second_master(), 5):
                    break
            except (OSError, asyncio.IncompleteReadError, asyncio.TimeoutError):
                pass
            await asyncio.sleep(0.1)
        await asyncio.sleep(10)
        quiet = await health()
        print(f"qmxhost up, RSS {rss_kb(host.pid)} kB before the load; mean cycle {quiet[1]:.2f} ms" if quiet else "no health")
        attackers = [forever(history_round, 0.2, "history dropped") for _ in range(16)]
        attackers += [forever(unread_export_round, 1) for _ in range(30)]
        attackers += [forever(login_flood_round, 0.05) for _ in range(16)]
        attackers += [forever(held_stream_round, 5) for _ in range(12)]
        attackers += [forever(kept_alive_round(source), 8, "kept-alive closed by the server")
                      for source in ("127.0.0.5", "127.0.0.6") for _ in range(1000)]
        attackers += [forever(idle_master_round, 1, "idle master closed by the server") for _ in range(32)]
        tasks = [asyncio.create_task(a) for a in attackers]
        await asyncio.sleep(10)  # every attacker in place
        before = await health()
        results, peak = {}, 0
        ends = time.monotonic() + SECONDS
        while time.monotonic() < ends:
            await asyncio.gather(timed("page", visitor_page, results), timed("chart", visitor_chart, results),
                                 timed("login", real_login, results), timed("second master", second_master, results))
            peak = max(peak, rss_kb(host.pid))
            await asyncio.sleep(2)
        after = await health()
        metrics = await get("/metrics")
        for task in tasks:
            task.cancel()
    finally:
        host.send_signal(2)
        host.wait(30)
    samples = re.findall(rb"qv5810_slots_skipped_total\{[^}]*\} (\S+)", metrics or b"")
    skipped = sum(float(v) for v in samples) if samples else None
    missed = []
    print(f"for {SECONDS} s under the load:")
    for what, target in (("page", 1.0), ("chart", None), ("login", 2.0), ("second master", 1.0)):
        times = [t for t, _ in results[what]]
        good = sum(1 for _, ok in results[what] if ok)
        line = (f"  {what}: {good} of {len(times)} answered, median {statistics.median(times):.3f} s, "
                f"max {max(times):.3f} s")
        if target is not None:
            line += f" (target < {target} s)"
            if good < len(times) or max(times) >= target:
                missed.append(what)
        print(line)
    print(f"  RSS: peak sampled {peak} kB (target < 65536 kB)")
    print(f"  slots skipped on the lines: {'not answered' if skipped is None else f'{skipped:g}'} (target 0)")
    if quiet and before and after:
        loaded = (after[0] * after[1] - before[0] * before[1]) / max(1, after[0] - before[0])
        print(f"  mean cycle: {quiet[1]:.2f} ms before the load, {loaded:.2f} ms under it ({after[0] - before[0]} cycles)")
    else:
        print("  mean cycle: not answered")
    for what in sorted(counts):
        print(f"  {what}: {counts[what]}")
    if peak >= 65536:
        missed.append("RSS")
    if skipped is None or skipped:
        missed.append("slots")
    if missed:
        print("missed: " + ", ".join(missed))
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(asyncio.run(main()))
