#!/usr/bin/env python3
"""Sends a bounded burst of garbage UDP datagrams to one port: empty, one
byte, random bytes of many sizes up to a full Ethernet payload, text that
starts like a valid datagram (--prefix) and breaks off, and NUL runs.

    garbage_udp.py HOST PORT [--bind ADDR] [--prefix TEXT]... [--count N]

Multicast HOST is sent through --bind's interface. Reproducible (--seed).
Prints the number of datagrams sent."""
import argparse
import random
import socket
import time


def datagrams(rnd, prefixes, count):
    fixed = [b"", b"\x00", b"\xff" * 1472, b"\x00" * 600, bytes(range(256)) * 4]
    for p in prefixes:
        p = p.encode().decode("unicode_escape").encode("latin-1")
        fixed += [p, p[: len(p) // 2], p + bytes(rnd.randrange(256) for _ in range(40)), p * 40]
    for d in fixed:
        yield d[:1472]
    for _ in range(max(0, count - len(fixed))):
        size = rnd.choice([2, 3, 7, 16, 63, 64, 599, 600, 601, 1024, 1471, 1472, rnd.randrange(1, 1473)])
        body = bytes(rnd.randrange(256) for _ in range(size))
        if prefixes and rnd.random() < 0.5:
            p = rnd.choice(prefixes).encode().decode("unicode_escape").encode("latin-1")
            body = (p + body)[:1472]
        yield body


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("host")
    ap.add_argument("port", type=int)
    ap.add_argument("--bind", default=None, help="local address to send from")
    ap.add_argument("--prefix", action="append", default=[], help="valid-looking start (backslash escapes)")
    ap.add_argument("--count", type=int, default=200)
    ap.add_argument("--seed", type=int, default=7)
    ap.add_argument("--interval", type=float, default=0.002)
    a = ap.parse_args()
    rnd = random.Random(a.seed)
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    if a.bind:
        s.bind((a.bind, 0))
        if int(a.host.split(".")[0]) in range(224, 240):
            s.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_IF, socket.inet_aton(a.bind))
    sent = 0
    for d in datagrams(rnd, a.prefix, min(a.count, 5000)):
        s.sendto(d, (a.host, a.port))
        sent += 1
        time.sleep(a.interval)
    print(sent)


if __name__ == "__main__":
    main()
