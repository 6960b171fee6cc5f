#!/usr/bin/env python3
"""Sequential request benchmark of web servers.

Usage: web_bench.py COUNT NAME:PORT:PID:PATH[,PATH...] [NAME:PORT:PID:PATH...]
For each path position in turn, and for each server in turn, sends COUNT
requests one after the other, each on a new connection (HTTP/1.1, then reads
to the end), and prints requests per second, p50/p99/max latency and the
server's resident memory (VmRSS, highest value seen while serving), and the
CPU time per request of the server process and of the request children it
reaped (from /proc/PID/stat; a server that lets the kernel reap its children
shows 0 there), which load on the machine does not inflate much. The first
server is the one measured; each further one is a reference, and the ratio of
its rate to the first's is printed for the path at the same position.
Exits 1 when an answer is empty or a connection fails.

Usage: web_bench.py --under-slow CLIENTS SECONDS NAME:PORT:PID:PATH
       web_bench.py --under-dribble CLIENTS DRIBBLERS SECONDS NAME:PORT:PID:PATH
CLIENTS clients send requests for PATH, each one after the other on a new
connection, for SECONDS, while one more client keeps a slow request in
progress: it sends its head a byte every half second and never ends it, so
the server drops it after its head time-out, and it connects again at once.
Prints the latency figures of all clients together."""
import os
import socket
import sys
import threading
import time


def rss_kib(pid):
    try:
        with open(f"/proc/{pid}/status") as f:
            for line in f:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1])
    except OSError:
        pass
    return 0


def cpu_ticks(pid):
    """utime+stime of the server and of its reaped children, in clock ticks."""
    try:
        with open(f"/proc/{pid}/stat") as f:
            rest = f.read().rsplit(")", 1)[1].split()
        return int(rest[11]) + int(rest[12]), int(rest[13]) + int(rest[14])
    except (OSError, IndexError, ValueError):
        return 0, 0


def one(port, path):
    t0 = time.perf_counter()
    s = socket.create_connection(("127.0.0.1", port), timeout=10)
    s.sendall(f"GET {path} HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n".encode())
    head = b""
    n = 0
    while True:
        b = s.recv(65536)
        if not b:
            break
        if n < 64:
            head += b[:64]
        n += len(b)
    s.close()
    return time.perf_counter() - t0, n, head.split(b"\r\n", 1)[0].decode(errors="replace")


def run(name, port, pid, path, count):
    lat, peak, status = [], 0, ""
    own0, kids0 = cpu_ticks(pid)
    t0 = time.perf_counter()
    for i in range(count):
        try:
            d, n, status = one(port, path)
        except OSError as e:
            print(f"{name} {path}: request {i} failed: {e}")
            return None
        if n == 0:
            print(f"{name} {path}: empty answer at request {i}")
            return None
        lat.append(d)
        if i % 100 == 0:
            peak = max(peak, rss_kib(pid))
    wall = time.perf_counter() - t0
    own1, kids1 = cpu_ticks(pid)
    tick_us = 1e6 / os.sysconf("SC_CLK_TCK")
    lat.sort()

    def p(q):
        return lat[min(len(lat) - 1, int(q * len(lat)))] * 1000

    rate = count / wall
    print(f"{name:8} {path:11} {count} requests: {rate:7.1f} req/s  p50 {p(0.50):6.2f} ms  "
          f"p99 {p(0.99):6.2f} ms  max {lat[-1] * 1000:7.2f} ms  answer {n} bytes ({status})  "
          f"peak VmRSS {peak} KiB", flush=True)
    print(f"{'':8} {'':11} CPU per request: server {(own1 - own0) * tick_us / count:6.1f} us, "
          f"its reaped children {(kids1 - kids0) * tick_us / count:6.1f} us", flush=True)
    return rate


def slow_client(port, until, made, source="127.0.0.1", interval=0.5):
    while time.monotonic() < until:
        try:
            s = socket.create_connection(("127.0.0.1", port), timeout=10, source_address=(source, 0))
            made.append(1)
            s.sendall(b"GET /xml HTTP/1.1\r\nX-Slow: ")
            s.settimeout(interval)
            while time.monotonic() < until:
                try:
                    if not s.recv(4096):
                        break  # dropped by the server
                except socket.timeout:
                    s.sendall(b"x")
            s.close()
        except OSError:
            time.sleep(0.1)


def under_slow(clients, seconds, target, dribblers=0):
    name, port, pid, path = target.split(":", 3)
    port = int(port)
    until = time.monotonic() + seconds
    made, lat, errors = [], [], []
    # One slow request, or dribblers from as many loopback addresses sending
    # a byte a second each.
    slows = [threading.Thread(target=slow_client, args=(port, until, made))] if not dribblers else \
        [threading.Thread(target=slow_client, args=(port, until, made, f"127.0.{1 + i // 200}.{2 + i % 200}", 1.0))
         for i in range(dribblers)]
    for slow in slows:
        slow.start()
    time.sleep(0.3)  # the slow request is in progress before the first measured one

    def client():
        while time.monotonic() < until:
            try:
                d, n, _ = one(port, path)
            except OSError as e:
                errors.append(str(e))
                return
            if n == 0:
                errors.append("empty answer")
                return
            lat.append(d)

    threads = [threading.Thread(target=client) for _ in range(clients)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for slow in slows:
        slow.join()
    if errors or not lat:
        print(f"{name} {path}: failed: {errors[:1]}")
        return 1
    lat.sort()

    def p(q):
        return lat[min(len(lat) - 1, int(q * len(lat)))] * 1000

    beside = f"{dribblers} dribbling clients" if dribblers else "a slow request"
    print(f"{name:8} {path:11} {clients} clients beside {beside}, {seconds} s: {len(lat)} requests "
          f"({len(lat) / seconds:.1f} req/s)  p50 {p(0.50):7.2f} ms  p99 {p(0.99):7.2f} ms  "
          f"max {lat[-1] * 1000:8.2f} ms  slow connections {len(made)}  peak VmRSS {rss_kib(int(pid))} KiB",
          flush=True)
    return 0


def main():
    if len(sys.argv) == 5 and sys.argv[1] == "--under-slow":
        return under_slow(int(sys.argv[2]), float(sys.argv[3]), sys.argv[4])
    if len(sys.argv) == 6 and sys.argv[1] == "--under-dribble":
        return under_slow(int(sys.argv[2]), float(sys.argv[4]), sys.argv[5], dribblers=int(sys.argv[3]))
    count = int(sys.argv[1])
    servers = []
    for target in sys.argv[2:]:
        name, port, pid, paths = target.split(":", 3)
        servers.append((name, int(port), int(pid), paths.split(",")))
    if not servers or len({len(s[3]) for s in servers}) != 1:
        print(__doc__)
        return 2
    for name, _, pid, _ in servers:
        print(f"{name} VmRSS before: {rss_kib(pid)} KiB")
    for k in range(len(servers[0][3])):
        rates = []
        for name, port, pid, paths in servers:
            r = run(name, port, pid, paths[k], count)
            if r is None:
                return 1
            rates.append(r)
        for (name, _, _, paths), r in zip(servers[1:], rates[1:]):
            print(f"ratio {servers[0][0]} {servers[0][3][k]} / {name} {paths[k]}: {rates[0] / r:.2f}")
    for name, _, pid, _ in servers:
        print(f"{name} VmRSS after: {rss_kib(pid)} KiB")
    return 0


if __name__ == "__main__":
    sys.exit(main())
