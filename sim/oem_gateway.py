#!/usr/bin/env python3
"""Simulated OpenEnergyMonitor gateway: sends JSON datagrams by UDP multicast,
e.g. {"node": "oemgateway", "power 1": 1150, ..., "voltage 3": 231}.

--raw sends the given text instead (for broken or foreign datagrams).
Usable as a program and as a module (class OemGateway with the values).
"""
import argparse
import json
import socket
import sys
import time


class OemGateway:
    def __init__(self):
        self.power = [0, 0, 0]
        self.voltage = [230, 230, 230]
        self.name = "oemgateway"

    def datagram(self):
        d = {"node": self.name}
        for k in range(3):
            d[f"power {k + 1}"] = self.power[k]
            d[f"voltage {k + 1}"] = self.voltage[k]
        return json.dumps(d).encode()


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--group", default="224.3.29.71")
    ap.add_argument("--port", type=int, default=10004)
    ap.add_argument("--iface-addr", default=None)
    ap.add_argument("--power", default="0,0,0", help="W per phase")
    ap.add_argument("--voltage", default="230,230,230", help="V per phase")
    ap.add_argument("--name", default="oemgateway")
    ap.add_argument("--raw", action="append", help="send this text (repeatable, in turn)")
    ap.add_argument("--count", type=int, default=3)
    ap.add_argument("--interval", type=float, default=0.5)
    a = ap.parse_args(argv)
    if a.count > 10000:
        ap.error("--count is bounded to 10000")
    g = OemGateway()
    g.power = [float(x) if "." in x else int(x) for x in a.power.split(",")]
    g.voltage = [float(x) if "." in x else int(x) for x in a.voltage.split(",")]
    g.name = a.name
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM, socket.IPPROTO_UDP)
    s.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_TTL, 1)
    s.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_LOOP, 1)
    if a.iface_addr:
        s.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_IF, socket.inet_aton(a.iface_addr))
    for k in range(a.count):
        payload = a.raw[k % len(a.raw)].encode() if a.raw else g.datagram()
        s.sendto(payload, (a.group, a.port))
        if k + 1 < a.count:
            time.sleep(a.interval)
    print(f"sent {a.count} datagrams", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
