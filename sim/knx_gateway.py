#!/usr/bin/env python3
"""A KNXnet/IP tunnelling gateway for tests (stdlib only).

Written from the protocol: CONNECT, CONNECTIONSTATE, TUNNELLING (with the
acknowledgement and an L_Data.con confirmation per group write) and
DISCONNECT on one UDP port. It can also misbehave in the ways a real server
rarely does on demand:

  normal             answers everything
  busy               CONNECT_RESPONSE with status 0x24 (no more connections)
  silent             answers nothing
  bad-state          CONNECTIONSTATE_RESPONSE with status 0x21
  refuse-disconnect  DISCONNECT_RESPONSE with status 0x21
  lose-confirmation  no confirmation for the first group write of each connection
  lose-ack           the first group write of each connection is dropped
                     unanswered the first time it comes (no acknowledgement)
  foreign            answers CONNECT from a second address (127.0.0.2)
  chatty             an L_Data.ind from the bus after every confirmation
  garbage            junk before every answer: random bytes, cut frames, a
                     wrong service, a length field past the datagram's end

Command line: knx_gateway.py [--host 127.0.0.1] [--port 3672] [--mode normal]
                             [--record FILE] [--seconds 120]
Every received frame becomes one JSON line in FILE (service, channel,
sequence, group, payload hex, source port). Importable: KnxGateway(...).serve().
"""
import argparse
import json
import random
import select
import socket
import struct
import sys
import time

CONNECT_REQ, CONNECT_RES = 0x0205, 0x0206
STATE_REQ, STATE_RES = 0x0207, 0x0208
DISC_REQ, DISC_RES = 0x0209, 0x020A
TUN_REQ, TUN_ACK = 0x0420, 0x0421
NAMES = {CONNECT_REQ: "CONNECT_REQUEST", STATE_REQ: "CONNECTIONSTATE_REQUEST", DISC_REQ: "DISCONNECT_REQUEST",
         TUN_REQ: "TUNNELLING_REQUEST", TUN_ACK: "TUNNELLING_ACK"}


def frame(service, body):
    return struct.pack("!BBHH", 0x06, 0x10, service, 6 + len(body)) + body


class KnxGateway:
    def __init__(self, host="127.0.0.1", port=3672, mode="normal", record=None):
        self.mode = mode
        self.rnd = random.Random(5)
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.sock.bind((host, port))
        self.foreign = None
        if mode == "foreign":
            self.foreign = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
            self.foreign.bind(("127.0.0.2", 0))
        self.record = open(record, "a", buffering=1) if record else None
        self.next_channel = 1
        self.channels = {}  # channel -> {"seq": our counter, "writes": n}
        self.writes = []    # (group, payload hex)

    def log(self, entry):
        if self.record:
            self.record.write(json.dumps(entry) + "\n")

    def send(self, data, to, foreign=False):
        (self.foreign if foreign else self.sock).sendto(data, to)

    def send_junk(self, to):
        rnd = self.rnd
        for junk in (bytes(rnd.randrange(256) for _ in range(rnd.randrange(1, 60))),
                     b"\x06\x10",
                     frame(0x0206, b"")[:8],
                     struct.pack("!BBHH", 0x06, 0x10, 0x0206, 200) + bytes(8),
                     frame(0x0530, bytes(rnd.randrange(256) for _ in range(20))),
                     frame(0x0420, bytes([4, 99, 7, 0]) + bytes(rnd.randrange(256) for _ in range(11)))):
            self.sock.sendto(junk, to)

    def handle(self, data, src):
        if len(data) < 6 or data[0] != 0x06 or data[1] != 0x10:
            self.log({"service": "garbage", "port": src[1]})
            return
        service, length = struct.unpack("!HH", data[2:6])
        entry = {"service": NAMES.get(service, hex(service)), "port": src[1], "len": len(data)}
        if service == CONNECT_REQ and len(data) >= 26:
            entry["control_port"] = struct.unpack("!H", data[12:14])[0]
            entry["data_port"] = struct.unpack("!H", data[20:22])[0]
        if service in (STATE_REQ, DISC_REQ, TUN_REQ, TUN_ACK) and len(data) >= 9:
            entry["channel"] = data[6] if service in (STATE_REQ, DISC_REQ) else data[7]
            if service in (TUN_REQ, TUN_ACK):
                entry["sequence"] = data[8]
        if service == TUN_REQ and len(data) >= 21:
            group = struct.unpack("!H", data[16:18])[0]
            entry["group"] = "%d/%d/%d" % (group >> 11, (group >> 8) & 7, group & 0xFF)
            entry["payload"] = data[21:].hex() if data[18] > 1 else "%02x" % (data[20] & 0x3F)
        self.log(entry)
        if self.mode == "silent":
            return
        if self.mode == "garbage":
            self.send_junk(src)
        if service == CONNECT_REQ:
            if self.mode == "busy":
                self.send(frame(CONNECT_RES, bytes([0, 0x24])), src)
                return
            ch = self.next_channel
            self.next_channel = self.next_channel % 255 + 1
            self.channels[ch] = {"seq": 0, "writes": 0, "dropped": False}
            body = bytes([ch, 0]) + bytes([8, 1, 0, 0, 0, 0, 0, 0]) + bytes([4, 4, 0x11, ch])
            self.send(frame(CONNECT_RES, body), src, foreign=self.mode == "foreign")
        elif service == STATE_REQ:
            ch = data[6]
            status = 0x21 if self.mode == "bad-state" or ch not in self.channels else 0
            self.send(frame(STATE_RES, bytes([ch, status])), src)
        elif service == DISC_REQ:
            ch = data[6]
            status = 0x21 if self.mode == "refuse-disconnect" or ch not in self.channels else 0
            self.channels.pop(ch, None)
            self.send(frame(DISC_RES, bytes([ch, status])), src)
        elif service == TUN_REQ and len(data) >= 21:
            ch, seq = data[7], data[8]
            conn = self.channels.get(ch)
            if conn is None:
                return
            if self.mode == "lose-ack" and conn["writes"] == 0 and not conn["dropped"]:
                conn["dropped"] = True
                return
            self.send(frame(TUN_ACK, bytes([4, ch, seq, 0])), src)
            self.writes.append((entry.get("group"), entry.get("payload")))
            first = conn["writes"] == 0
            conn["writes"] += 1
            if not (self.mode == "lose-confirmation" and first):
                cemi = bytes([0x2E]) + data[11:]
                self.send(frame(TUN_REQ, bytes([4, ch, conn["seq"], 0]) + cemi), src)
                conn["seq"] = (conn["seq"] + 1) % 256
            if self.mode == "chatty":
                ind = bytes([0x29, 0x00, 0xBC, 0xD0, 0x11, 0x05, 0x0A, 0x03, 0x01, 0x00, 0x81])
                self.send(frame(TUN_REQ, bytes([4, ch, conn["seq"], 0]) + ind), src)
                conn["seq"] = (conn["seq"] + 1) % 256

    def serve(self, seconds):
        end = time.monotonic() + seconds
        while True:
            left = end - time.monotonic()
            if left <= 0:
                return
            ready, _, _ = select.select([self.sock], [], [], min(left, 0.5))
            if ready:
                data, src = self.sock.recvfrom(1024)
                self.handle(data, src)


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--host", default="127.0.0.1")
    ap.add_argument("--port", type=int, default=3672)
    ap.add_argument("--mode", default="normal",
                    choices=["normal", "busy", "silent", "bad-state", "refuse-disconnect", "lose-confirmation",
                             "lose-ack", "foreign", "chatty", "garbage"])
    ap.add_argument("--record")
    ap.add_argument("--seconds", type=float, default=120.0)
    a = ap.parse_args()
    KnxGateway(a.host, a.port, a.mode, a.record).serve(a.seconds)
    return 0


if __name__ == "__main__":
    sys.exit(main())
