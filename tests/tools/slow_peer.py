#!/usr/bin/env python3
"""A TCP server that holds its clients: `blackhole` accepts and never
answers, `trickle` sends a database greeting one byte a second. Bounded: it
ends after --seconds. Loopback only."""
import argparse, socket, select, time

ap = argparse.ArgumentParser()
ap.add_argument("mode", choices=["blackhole", "trickle"])
ap.add_argument("port", type=int)
ap.add_argument("--seconds", type=float, default=120)
a = ap.parse_args()
srv = socket.socket()
srv.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
srv.bind(("127.0.0.1", a.port))
srv.listen(64)
# A greeting's packet header and the start of its version text.
GREETING = b"\x4a\x00\x00\x00\x0a" + b"10.11.6-MariaDB-0+deb12u1\x00" * 4
clients = {}
end = time.monotonic() + a.seconds
while time.monotonic() < end:
    r, _, _ = select.select([srv] + list(clients), [], [], 1.0)
    for s in r:
        if s is srv:
            c, _ = srv.accept()
            clients[c] = 0
        elif not s.recv(4096):
            s.close()
            del clients[s]
    if a.mode == "trickle":
        for c, n in list(clients.items()):
            try:
                c.send(GREETING[n % len(GREETING):n % len(GREETING) + 1])
                clients[c] = n + 1
            except OSError:
                c.close()
                del clients[c]
