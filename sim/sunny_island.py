#!/usr/bin/env python3
"""A battery storage inverter speaking SMA Speedwire over UDP (port 9522).

It answers what a storage reader asks: identify, logoff, logon (user group,
password checked), software version, device type, state of charge, battery
temperature/voltage/current, AC power, AC voltages and grid frequency. Its
state (SOC, battery, AC values) can be changed while it runs, so a simulated
house can drive it as its battery. Faults for tests: no answer, wrong packet
id, answers cut short, answers from a foreign address.

Every request is recorded (and with --record appended as one JSON line to a
file) together with the header faults found in it.

Use as a program:
    sunny_island.py --host 127.0.0.1 --port 9522 --device si6 --record req.jsonl
or as a class:
    sim = SunnyIsland(device="sbs25", soc=64); sim.start(("127.0.0.1", 9522)); ...; sim.stop()
"""
import argparse
import json
import random
import socket
import struct
import sys
import threading
import time

# Device type codes (high byte 0x24) and how the battery records are laid out
# after the first record: names of the values in the order sent.
DEVICES = {
    "si6": (0x2407, ("other", "temp", "voltage", "current")),    # Sunny Island 6.0H-11
    "si8": (0x2408, ("other", "temp", "voltage", "current")),    # Sunny Island 8.0H-11
    "si3m": (0x243E, ("other", "temp", "voltage", "current")),   # Sunny Island 3.0M
    "si44m": (0x243F, ("other", "temp", "voltage", "current")),  # Sunny Island 4.4M
    "sbs25": (0x246C, ("other", "voltage", "current")),          # Sunny Boy Storage 2.5
    "si813": (0x2473, ("other", "other", "temp", "voltage", "current")),  # Sunny Island 8.0H-13
    "unknown": (0x2499, ("other", "temp", "voltage", "current")),
}

CMD_IDENTIFY = 0x00000200
CMD_LOGON = 0xFFFD040C
CMD_LOGOFF = 0xFFFD010E
CMD_STATUS = 0x58000200
CMD_SPOT = 0x51000200

SMA_HEAD = b"SMA\x00" + bytes.fromhex("000402a0 00000001".replace(" ", ""))
USER_GROUP = 7
NAN_S32 = 0x80000000
DEVICE_CLASS = 0x00B5  # the inverter's own class in answers


def encode_password(text):
    """The 12-byte logon field for the user group (each char + 0x88)."""
    field = bytearray(b"\x88" * 12)
    for i, ch in enumerate(text.encode("latin-1")[:12]):
        field[i] = (ch + 0x88) & 0xFF
    return bytes(field)


def decode_password(field):
    return bytes((b - 0x88) & 0xFF for b in field if b != 0x88).decode("latin-1")


class SunnyIsland:
    """One storage inverter with its state. Units as the daemon publishes
    them: % SOC, 0.1 degC, mV, mA, W (+ discharging), mHz."""

    def __init__(self, device="si6", serial=3012345678, password="0000", soc=72, bat_temp=251,
                 bat_voltage=53120, bat_current=-12340, ac_power=-1500,
                 ac_voltage=(230120, 231000, 229500), frequency=49980, firmware=(3, 10, 5, 4),
                 fault=None, fault_ids=None, foreign_host="127.0.0.2", record_path=None):
        self.lock = threading.Lock()
        self.device = device
        self.type_code = DEVICES[device][0]
        self.serial = serial
        self.password = password
        self.soc = soc
        self.bat_temp = bat_temp
        self.bat_voltage = bat_voltage
        self.bat_current = bat_current
        self.ac_power = ac_power
        self.ac_voltage = list(ac_voltage)
        self.frequency = frequency
        self.firmware = firmware  # major, minor, build, release type
        # None, "silent", "wrong_id", "short", "foreign", "foreign_first" (the
        # answer from the other address, then from ours), "garbage", "garbled"
        self.fault = fault
        self.fault_ids = set(fault_ids) if fault_ids else None  # None: every request
        self.foreign_host = foreign_host
        self.record_path = record_path
        self.requests = []
        self.sessions = set()  # (class, serial) of logged-on clients
        self._soc_wh = None  # charge in Wh once run_power() has been used
        self._sock = None
        self._foreign = None
        self._thread = None
        self._stop = threading.Event()

    # ---- state for a simulated house --------------------------------------
    def set_state(self, **values):
        with self.lock:
            for k, v in values.items():
                if not hasattr(self, k):
                    raise AttributeError(k)
                setattr(self, k, v)
            if "soc" in values:
                self._soc_wh = None
            if "device" in values:
                self.type_code = DEVICES[self.device][0]

    def run_power(self, ac_power_w, seconds, capacity_wh=10000.0):
        """Runs the inverter at ac_power_w (+ discharging, - charging) for a
        while: the battery's charge, current and the AC power follow. The
        charge stays within 0..100 %; an empty or full battery delivers or
        takes nothing more."""
        with self.lock:
            soc_wh = self._soc_wh if self._soc_wh is not None else self.soc / 100.0 * capacity_wh
            wanted = ac_power_w * seconds / 3600.0
            soc_wh = min(max(soc_wh - wanted, 0.0), capacity_wh)
            if (ac_power_w > 0 and soc_wh <= 0.0) or (ac_power_w < 0 and soc_wh >= capacity_wh):
                ac_power_w = 0
            self._soc_wh = soc_wh
            self.soc = int(round(soc_wh * 100.0 / capacity_wh))
            self.ac_power = int(ac_power_w)
            volts = max(self.bat_voltage, 1) / 1000.0
            self.bat_current = int(ac_power_w / volts * 1000)  # mA, + discharging

    # ---- protocol ----------------------------------------------------------
    @staticmethod
    def header_faults(req):
        """What in a request differs from the layout a reader must send."""
        faults = []
        n = len(req)
        if n < 54:
            return ["shorter than 54 bytes"]
        if req[:12] != SMA_HEAD:
            faults.append("signature/tag/group")
        if struct.unpack(">H", req[12:14])[0] != n - 20:
            faults.append("data length")
        if req[14:18] != bytes.fromhex("00106065"):
            faults.append("tag/protocol")
        if req[18] != (n - 22) // 4 or req[19] != 0xA0:
            faults.append("word count/control")
        if req[20:26] != b"\xff" * 6:
            faults.append("destination")
        if struct.unpack("<H", req[28:30])[0] != 125:
            faults.append("source class")
        if req[26:28] != req[34:36]:
            faults.append("controls differ")
        if req[36:40] != b"\x00" * 4:
            faults.append("error code/fragment")
        if req[41] != 0x80:
            faults.append("packet id flag")
        if req[n - 4:] != b"\x00" * 4:
            faults.append("end mark")
        return faults

    def handle(self, req, peer):
        """Returns the answer (bytes) to one request, or None."""
        faults = self.header_faults(req)
        rec = {"t": time.time(), "peer": "%s:%d" % peer, "size": len(req), "faults": faults}
        if len(req) >= 54:
            cmd, first = struct.unpack("<II", req[42:50])
            rec.update(id=req[40], command="0x%08X" % cmd, first="0x%08X" % first,
                       control=req[27], src_serial=struct.unpack("<I", req[30:34])[0])
            if len(req) >= 58:
                rec["last"] = "0x%08X" % struct.unpack("<I", req[50:54])[0]
        else:
            cmd = None
        answer = None
        with self.lock:
            if cmd == CMD_IDENTIFY and len(req) == 58:
                rec["what"] = "identify"
                answer = self._frame(req, 0x00000201, 0, 0, bytes(20))
            elif cmd == CMD_LOGOFF and len(req) == 54:
                rec["what"] = "logoff"
                self.sessions.discard(req[28:34])
            elif cmd == CMD_LOGON and len(req) == 78:
                group, timeout_s, now_s = struct.unpack("<III", req[46:58])
                pw = decode_password(req[62:74])
                ok = group == USER_GROUP and pw == self.password
                rec.update(what="logon", group=group, timeout=timeout_s, time=now_s, password=pw, accepted=ok)
                if ok:
                    self.sessions.add(req[28:34])
                answer = self._frame(req, 0xFFFD040D, group, timeout_s,
                                     struct.pack("<II", now_s, 0), error=0 if ok else 0x0100)
            elif cmd in (CMD_STATUS, CMD_SPOT) and len(req) == 58:
                first, last = struct.unpack("<II", req[46:54])
                rec["what"] = "query"
                if req[28:34] not in self.sessions:
                    rec["refused"] = "not logged on"
                    answer = self._frame(req, cmd | 1, first, last, b"", error=0x0017)
                else:
                    records = self._records(cmd, first, last)
                    if records is not None:
                        answer = self._frame(req, cmd | 1, first, last, records)
            answer = self._apply_fault(req, answer, rec)
            self.requests.append(rec)
        if self.record_path:
            with open(self.record_path, "a") as f:
                f.write(json.dumps(rec) + "\n")
        return answer

    def _apply_fault(self, req, answer, rec):
        if answer is None or self.fault is None:
            return answer
        if self.fault_ids is not None and req[40] not in self.fault_ids:
            return answer
        rec["fault"] = self.fault
        if self.fault == "silent":
            return None
        if self.fault == "wrong_id":
            a = bytearray(answer)
            a[40] = (a[40] + 7) & 0xFF
            return bytes(a)
        if self.fault == "short":
            # Cut before the first field a reader needs: the serial of the
            # identify answer, the packet id of the logon answer, the values.
            return answer[:{1: 33, 3: 40}.get(req[40], 42)]
        if self.fault in ("garbage", "garbled"):
            # garbage: random bytes of the answer's length; garbled: the
            # header and packet id kept, random bytes where the values are.
            rnd = random.Random(req[40])
            keep = 42 if self.fault == "garbled" else 0
            return answer[:keep] + bytes(rnd.randrange(256) for _ in range(len(answer) - keep))
        return answer  # "foreign": sent from the other address

    def _frame(self, req, command, first, last, payload, error=0):
        """An answer: our header, the requester as destination, its packet id."""
        body = bytearray(54 + len(payload) + 4)
        body[0:12] = SMA_HEAD
        struct.pack_into(">H", body, 12, len(body) - 20)
        body[14:18] = bytes.fromhex("00106065")
        body[18] = (len(body) - 22) // 4
        body[19] = 0xA0
        body[20:26] = req[28:34]                    # destination: the requester
        body[26:28] = req[34:36]
        struct.pack_into("<HI", body, 28, DEVICE_CLASS, self.serial)
        body[34:36] = b"\x00\xa1"
        struct.pack_into("<HH", body, 36, error, 0)
        body[40:42] = req[40:42]                    # packet id echoed
        struct.pack_into("<III", body, 42, command, first, last)
        body[54:54 + len(payload)] = payload
        return bytes(body)

    @staticmethod
    def _number(code, value, stamp):
        """A 28-byte value record: code, time, the value four times, 1."""
        v = value & 0xFFFFFFFF
        return struct.pack("<IIIIIII", 0x01000000 | code << 8, stamp, v, v, v, v, 1)

    @staticmethod
    def _status(code, value, stamp):
        """A 40-byte record as the status and version records come."""
        return struct.pack("<II", 0x01000000 | code << 8 | 0x10, stamp) + value.ljust(32, b"\x00")

    def _records(self, cmd, first, last):
        now = int(time.time())
        lo, hi = first >> 8, last >> 8
        if cmd == CMD_STATUS and (lo, hi) == (0x8234, 0x8234):
            major, minor, build, rtype = self.firmware
            version = bytes([rtype, build, minor, major])
            return self._status(0x8234, bytes(16) + version + version, now)
        if cmd == CMD_STATUS and (lo, hi) == (0x821E, 0x8220):
            name = b"SN: %d" % self.serial
            return (self._status(0x821E, name, now)
                    + self._status(0x821F, struct.pack("<I", 0x01001F47), now)
                    + self._status(0x8220, struct.pack("<II", 0x01000000 | self.type_code, 0x00FFFFFE), now))
        if cmd == CMD_SPOT and (lo, hi) == (0x295A, 0x295A):
            return self._number(0x295A, self.soc, now)
        if cmd == CMD_SPOT and (lo, hi) == (0x491E, 0x495D):
            layout = DEVICES[self.device][1]
            values = {"other": 0, "temp": self.bat_temp, "voltage": self.bat_voltage // 10,
                      "current": self.bat_current}
            codes = {"temp": 0x495B, "voltage": 0x495C, "current": 0x495D}
            out = b""
            for i, name in enumerate(layout):
                out += self._number(codes.get(name, 0x491E + i), values[name], now)
            return out
        if cmd == CMD_SPOT and (lo, hi) == (0x263F, 0x263F):
            return self._number(0x263F, self.ac_power, now)
        if cmd == CMD_SPOT and (lo, hi) == (0x4648, 0x4652):
            return b"".join(self._number(0x4648 + i, u // 10, now) for i, u in enumerate(self.ac_voltage))
        if cmd == CMD_SPOT and (lo, hi) == (0x4657, 0x4657):
            return self._number(0x4657, self.frequency // 10, now)
        return None

    # ---- serving -----------------------------------------------------------
    def bind(self, addr):
        self._sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self._sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self._sock.bind(addr)
        self._sock.settimeout(0.2)
        if self.foreign_host:
            self._foreign = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
            self._foreign.bind((self.foreign_host, 0))

    def serve(self, duration=600.0):
        """Answers requests until stop() or `duration` seconds have passed."""
        deadline = time.monotonic() + duration
        while not self._stop.is_set() and time.monotonic() < deadline:
            try:
                req, peer = self._sock.recvfrom(2048)
            except socket.timeout:
                continue
            answer = self.handle(req, peer)
            if answer is None:
                continue
            if self.fault in ("foreign", "foreign_first") and self._foreign is not None and (
                    self.fault_ids is None or req[40] in self.fault_ids):
                self._foreign.sendto(answer, peer)
                if self.fault == "foreign_first":
                    time.sleep(0.05)
                    self._sock.sendto(answer, peer)
            else:
                self._sock.sendto(answer, peer)

    def start(self, addr=("127.0.0.1", 9522), duration=600.0):
        self.bind(addr)
        self._thread = threading.Thread(target=self.serve, args=(duration,), daemon=True)
        self._thread.start()

    def stop(self):
        self._stop.set()
        if self._thread:
            self._thread.join()
        for s in (self._sock, self._foreign):
            if s:
                s.close()


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--host", default="127.0.0.1")
    p.add_argument("--port", type=int, default=9522)
    p.add_argument("--device", choices=sorted(DEVICES), default="si6")
    p.add_argument("--serial", type=int, default=3012345678)
    p.add_argument("--password", default="0000")
    p.add_argument("--soc", type=int, default=72)
    p.add_argument("--bat-temp", type=int, default=251, help="0.1 degC")
    p.add_argument("--bat-voltage", type=int, default=53120, help="mV")
    p.add_argument("--bat-current", type=lambda s: int(s, 0), default=-12340, help="mA (0x80000000: no value)")
    p.add_argument("--ac-power", type=int, default=-1500, help="W, + discharging")
    p.add_argument("--ac-voltage", default="230120,231000,229500", help="mV per phase")
    p.add_argument("--frequency", type=int, default=49980, help="mHz")
    p.add_argument("--firmware", default="3.10.5.4", help="major.minor.build.releasetype")
    p.add_argument("--fault", choices=["silent", "wrong_id", "short", "foreign", "foreign_first", "garbage", "garbled"])
    p.add_argument("--fault-ids", default="", help="packet ids the fault applies to, e.g. 1,3 (default all)")
    p.add_argument("--foreign-host", default="127.0.0.2")
    p.add_argument("--record", help="append each request as a JSON line to this file")
    p.add_argument("--duration", type=float, default=600.0, help="seconds to serve at most")
    a = p.parse_args(argv)
    sim = SunnyIsland(
        device=a.device, serial=a.serial, password=a.password, soc=a.soc, bat_temp=a.bat_temp,
        bat_voltage=a.bat_voltage,
        bat_current=a.bat_current - (1 << 32) if a.bat_current >= 1 << 31 else a.bat_current,
        ac_power=a.ac_power, ac_voltage=[int(x) for x in a.ac_voltage.split(",")], frequency=a.frequency,
        firmware=tuple(int(x) for x in a.firmware.split(".")), fault=a.fault,
        fault_ids=[int(x) for x in a.fault_ids.split(",") if x] or None, foreign_host=a.foreign_host,
        record_path=a.record)
    sim.bind((a.host, a.port))
    print("sunny_island: serving %s on %s:%d" % (a.device, a.host, a.port), flush=True)
    try:
        sim.serve(a.duration)
    except KeyboardInterrupt:
        pass
    return 0


if __name__ == "__main__":
    sys.exit(main())
