#!/usr/bin/env python3
"""Sequential request benchmark of the web server.

Usage: web_bench.py PORT DAEMON_PID [COUNT]
Sends COUNT requests (default 3000) one after the other for each of /xml and
/, each on a new connection, and prints requests per second, p50 and p99
latency, and the daemon's resident memory (VmRSS, highest value seen while
serving)."""
import socket
import sys
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


def one(port, path):
    t0 = time.perf_counter()
    s = socket.create_connection(("127.0.0.1", port), timeout=10)
    s.sendall(f"GET {path} HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n".encode())
    n = 0
    while True:
        b = s.recv(65536)
        if not b:
            break
        n += len(b)
    s.close()
    return time.perf_counter() - t0, n


def main():
    port, pid = int(sys.argv[1]), int(sys.argv[2])
    count = int(sys.argv[3]) if len(sys.argv) > 3 else 3000
    print(f"daemon VmRSS before: {rss_kib(pid)} KiB")
    for path in ("/xml", "/"):
        lat, peak = [], 0
        t0 = time.perf_counter()
        for i in range(count):
            d, n = one(port, path)
            if n == 0:
                print(f"{path}: empty answer at request {i}")
                return 1
            lat.append(d)
            if i % 100 == 0:
                peak = max(peak, rss_kib(pid))
        wall = time.perf_counter() - t0
        lat.sort()
        p = lambda q: lat[min(len(lat) - 1, int(q * len(lat)))] * 1000
        print(f"{path:5} {count} requests: {count / wall:7.1f} req/s  p50 {p(0.50):6.2f} ms  "
              f"p99 {p(0.99):6.2f} ms  max {lat[-1] * 1000:6.2f} ms  answer {n} bytes  peak VmRSS {peak} KiB")
    print(f"daemon VmRSS after: {rss_kib(pid)} KiB")
    return 0


if __name__ == "__main__":
    sys.exit(main())
