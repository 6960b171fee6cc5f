#!/usr/bin/env python3
"""Simulated SMA Energy Meter: sends its measurement datagrams by UDP multicast.

Written from the datagram layout: a 28-byte header ("SMA\\0", tag and group
words, length, protocol 0x6069, serial, millisecond time stamp), then
measurement records of a 4-byte identifier (channel, index, type, tariff)
and a big-endian value: type 4 with 4 bytes, type 8 (counter) with 8 bytes.

Usable as a program (see --help) and as a module: the class holds the
meter's state so that a simulated house can drive it.

Also listens: `sma_energy_meter.py listen` counts Energy Meter datagrams on
the group (for checking what a sender put on the network).
"""
import argparse
import socket
import struct
import sys
import time

GROUP = "239.12.255.254"
PORT = 9522


class SmaEnergyMeter:
    """One meter. Powers in W (float), voltages in V, currents in A, counters in Ws."""

    def __init__(self, serial=1900000001):
        self.serial = serial
        self.start = time.monotonic()
        # Per phase power drawn from the grid (+) or fed into it (-).
        self.phase_power = [0.0, 0.0, 0.0]
        self.voltage = [230.0, 230.0, 230.0]
        self.current = [0.0, 0.0, 0.0]
        self.power_factor = 1.0
        self.energy_in_ws = 0
        self.energy_out_ws = 0
        self.with_counters = True
        self.pad_to = 600

    def set_power(self, total_w, split=(1 / 3, 1 / 3, 1 / 3)):
        self.phase_power = [total_w * f for f in split]
        for k in range(3):
            v = self.voltage[k] or 230.0
            self.current[k] = abs(self.phase_power[k]) / v

    def advance(self, seconds):
        """Integrates the counters over the given time."""
        total = sum(self.phase_power)
        if total >= 0:
            self.energy_in_ws += int(total * seconds)
        else:
            self.energy_out_ws += int(-total * seconds)

    @staticmethod
    def _rec4(index, value):
        return bytes([0, index, 4, 0]) + struct.pack(">I", int(value) & 0xFFFFFFFF)

    @staticmethod
    def _rec8(index, value):
        return bytes([0, index, 8, 0]) + struct.pack(">Q", int(value) & 0xFFFFFFFFFFFFFFFF)

    def records(self):
        total = sum(self.phase_power)
        out = bytearray()
        out += self._rec4(1, round(max(total, 0) * 10))
        if self.with_counters:
            out += self._rec8(1, self.energy_in_ws)
        out += self._rec4(2, round(max(-total, 0) * 10))
        if self.with_counters:
            out += self._rec8(2, self.energy_out_ws)
        out += self._rec4(13, round(self.power_factor * 1000))
        for k, base in enumerate((20, 40, 60)):
            p = self.phase_power[k]
            out += self._rec4(base + 1, round(max(p, 0) * 10))
            out += self._rec4(base + 2, round(max(-p, 0) * 10))
            out += self._rec4(base + 11, round(self.current[k] * 1000))
            out += self._rec4(base + 12, round(self.voltage[k] * 1000))
        # Software version, then the end mark.
        out += bytes([0x90, 0, 0, 0, 2, 0, 18, ord("R")])
        out += bytes(4)
        return bytes(out)

    def datagram(self, time_ms=None):
        if time_ms is None:
            # The meter's own ticker runs on between runs of this simulator,
            # as a real meter's does between its datagrams.
            time_ms = int(time.monotonic() * 1000)
        recs = self.records()
        header = b"SMA\0" + struct.pack(">HHI", 4, 0x02A0, 1)
        # The length counts the bytes after byte 28 up to the end mark.
        header += struct.pack(">HHHH", len(recs), 0x0010, 0x6069, 0x015D)
        header += struct.pack(">II", self.serial & 0xFFFFFFFF, time_ms & 0xFFFFFFFF)
        d = header + recs
        if len(d) < self.pad_to:
            d += bytes(self.pad_to - len(d))
        return d


def sender_socket(iface_addr=None, loop=True):
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM, socket.IPPROTO_UDP)
    s.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_LOOP, 1 if loop else 0)
    s.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_TTL, 1)
    if iface_addr:
        s.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_IF, socket.inet_aton(iface_addr))
    return s


def listen(group, port, iface_addr, count, timeout):
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM, socket.IPPROTO_UDP)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    s.bind(("", port))
    s.setsockopt(socket.IPPROTO_IP, socket.IP_ADD_MEMBERSHIP,
                 socket.inet_aton(group) + socket.inet_aton(iface_addr or "0.0.0.0"))
    print("listening", flush=True)
    deadline = time.monotonic() + timeout
    got = 0
    while got < count and time.monotonic() < deadline:
        s.settimeout(max(0.01, deadline - time.monotonic()))
        try:
            d, a = s.recvfrom(2048)
        except socket.timeout:
            break
        got += 1
        serial = struct.unpack(">I", d[20:24])[0] if len(d) >= 24 else -1
        print(f"datagram {len(d)} bytes from {a[0]} serial {serial} head {d[:4]!r} hex {d.hex()}", flush=True)
    print(f"received {got}", flush=True)
    return got


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("mode", nargs="?", default="send", choices=["send", "listen"])
    ap.add_argument("--group", default=GROUP)
    ap.add_argument("--port", type=int, default=PORT)
    ap.add_argument("--iface-addr", default=None, help="local address of the interface to use")
    ap.add_argument("--serial", type=int, default=1900000001)
    ap.add_argument("--power", type=float, default=0.0, help="total W, + drawn, - fed in")
    ap.add_argument("--split", default="1,1,1", help="relative shares of L1,L2,L3")
    ap.add_argument("--voltage", default="230,230,230", help="V per phase")
    ap.add_argument("--current", default=None, help="A per phase (default: from power and voltage)")
    ap.add_argument("--pf", type=float, default=1.0)
    ap.add_argument("--energy-in", type=int, default=0, help="counter P+ in Ws")
    ap.add_argument("--energy-out", type=int, default=0, help="counter P- in Ws")
    ap.add_argument("--no-counters", action="store_true")
    ap.add_argument("--size", type=int, default=600, help="pad the datagram to this many bytes")
    ap.add_argument("--time-ms", type=int, default=None, help="fixed time stamp")
    ap.add_argument("--count", type=int, default=5, help="datagrams to send / to wait for")
    ap.add_argument("--interval", type=float, default=1.0)
    ap.add_argument("--timeout", type=float, default=10.0, help="listen: give up after s")
    ap.add_argument("--no-loop", action="store_true", help="send with multicast loop-back off")
    a = ap.parse_args(argv)
    if a.mode == "listen":
        return 0 if listen(a.group, a.port, a.iface_addr, a.count, a.timeout) > 0 else 1

    if a.count > 10000:
        ap.error("--count is bounded to 10000")
    m = SmaEnergyMeter(a.serial)
    m.voltage = [float(x) for x in a.voltage.split(",")]
    shares = [float(x) for x in a.split.split(",")]
    m.set_power(a.power, [x / sum(shares) for x in shares] if sum(shares) else (1 / 3,) * 3)
    if a.current:
        m.current = [float(x) for x in a.current.split(",")]
    m.power_factor = a.pf
    m.energy_in_ws = a.energy_in
    m.energy_out_ws = a.energy_out
    m.with_counters = not a.no_counters
    m.pad_to = a.size
    s = sender_socket(a.iface_addr, not a.no_loop)
    for k in range(a.count):
        s.sendto(m.datagram(a.time_ms), (a.group, a.port))
        if k + 1 < a.count:
            time.sleep(a.interval)
    print(f"sent {a.count} datagrams", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
