#!/usr/bin/env python3
"""Simulated D0/TCP gateway: passes a meter's optical-interface readout on
over TCP.

The gateway accepts one client at a time and, every interval, sends a header
(the meter's identification line) and, after a short pause, the data:

  as1440  an Elster AS1440 Mode C readout (IEC 62056-21): lines
          "<OBIS>(<value>*<unit>)" with CR LF, power in kW, energy in kWh.
  mt175   an Iskra MT175 SML transmission as hexadecimal text, holding the
          OBIS values 1.8.0 and 2.8.0 (Wh x 10, i.e. 0.1 Wh) and 16.7.0 (W).

--close-after N closes each connection after N readouts (a gateway that
restarts); --sml-file sends a recorded transmission instead of a built one;
--raw-header / --raw-data send given texts.
Usable as a program and as a module (class D0Gateway with the meter state).
"""
import argparse
import socket
import struct
import sys
import threading
import time


class D0Meter:
    """Grid power in W (+ drawn, - fed in) and the two counters in kWh."""

    def __init__(self, kind="as1440"):
        self.kind = kind
        self.power_w = 0.0
        self.energy_in_kwh = 0.0
        self.energy_out_kwh = 0.0
        self.sml_override = None
        self.header_override = None
        self.data_override = None

    def header(self):
        if self.header_override is not None:
            return self.header_override
        return b"/ELS5\\@V9.30\r\n" if self.kind == "as1440" else b"/ISK5MT175-0001\r\n"

    def as1440(self):
        p_in = max(self.power_w, 0) / 1000.0
        p_out = max(-self.power_w, 0) / 1000.0
        lines = [
            "\x020.0.0(12345678)",
            f"1.7.0({p_in:.3f}*kW)",
            f"1.8.0({self.energy_in_kwh:09.1f}*kWh)",
            f"2.7.0({p_out:.3f}*kW)",
            f"2.8.0({self.energy_out_kwh:09.1f}*kWh)",
            "0.9.1(1234500)",
            "!",
        ]
        return ("\r\n".join(lines) + "\r\n\x03").encode("latin-1")

    @staticmethod
    def _entry(obis_hex, unit, scaler, value_tl, value_hex, status=None):
        # SML list entry: 77 objName status valTime unit scaler value signature
        e = "77" + "07" + obis_hex
        e += ("65" + status) if status else "01"
        e += "01" + "62" + unit + "52" + scaler + value_tl + value_hex + "01"
        return e

    def sml(self):
        if self.sml_override is not None:
            return self.sml_override
        e_in = int(round(self.energy_in_kwh * 10000)) & 0xFFFFFFFFFFFFFFFF
        e_out = int(round(self.energy_out_kwh * 10000)) & 0xFFFFFFFFFFFFFFFF
        p = struct.unpack(">I", struct.pack(">i", int(self.power_w)))[0]
        body = "7605" + "0D3412A5" + "620062007263070177010B0649534B010E1F66299A" + "070100620AFFFF726201650" \
            + "5EA8F88" + "7D"
        body += self._entry("0100010800FF", "1E", "FF", "59", f"{e_in:016X}", status="000101A2")
        body += self._entry("0100020800FF", "1E", "FF", "59", f"{e_out:016X}", status="000101A2")
        body += self._entry("0100100700FF", "1B", "00", "55", f"{p:08X}")
        body += "0101016341270076050D3412A662006200726302017101636A1100"
        # Padded with 00 to whole 4-byte groups; the end sequence counts the padding.
        pad = -(len(body) // 2) % 4
        body += "00" * pad
        return ("1B1B1B1B01010101" + body + "1B1B1B1B1A%02X6989" % pad).encode("ascii")

    def data(self):
        if self.data_override is not None:
            return self.data_override
        return self.as1440() if self.kind == "as1440" else self.sml()


class D0Gateway:
    def __init__(self, meter, host="127.0.0.1", port=5000, interval=1.0, close_after=0, gap=0.2):
        self.meter = meter
        self.interval = interval
        self.close_after = close_after
        self.gap = gap
        self.connections = 0
        self.readouts = 0
        self.srv = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.srv.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.srv.bind((host, port))
        self.srv.listen(1)
        self._stop = threading.Event()

    def stop(self):
        self._stop.set()

    def serve(self, lifetime):
        deadline = time.monotonic() + lifetime
        self.srv.settimeout(0.2)
        while not self._stop.is_set() and time.monotonic() < deadline:
            try:
                conn, _ = self.srv.accept()
            except socket.timeout:
                continue
            self.connections += 1
            print(f"connection {self.connections}", flush=True)
            sent = 0
            with conn:
                try:
                    while not self._stop.is_set() and time.monotonic() < deadline:
                        conn.sendall(self.meter.header())
                        time.sleep(self.gap)
                        conn.sendall(self.meter.data())
                        sent += 1
                        self.readouts += 1
                        if self.close_after and sent >= self.close_after:
                            print(f"closing after {sent} readouts", flush=True)
                            break
                        time.sleep(self.interval)
                except OSError as e:
                    print(f"connection lost: {e}", flush=True)
        self.srv.close()


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--kind", choices=["as1440", "mt175"], default="as1440")
    ap.add_argument("--host", default="127.0.0.1")
    ap.add_argument("--port", type=int, default=5000)
    ap.add_argument("--power", type=float, default=450.0, help="W, + drawn, - fed in")
    ap.add_argument("--energy-in", type=float, default=1234.5, help="kWh")
    ap.add_argument("--energy-out", type=float, default=567.8, help="kWh")
    ap.add_argument("--sml-file", help="hex text of a recorded SML transmission to send as data")
    ap.add_argument("--raw-header", help="send this header instead (backslash escapes as in Python)")
    ap.add_argument("--raw-data", help="send this data instead (backslash escapes as in Python)")
    ap.add_argument("--interval", type=float, default=1.0)
    ap.add_argument("--gap", type=float, default=0.2, help="pause between header and data")
    ap.add_argument("--close-after", type=int, default=0)
    ap.add_argument("--lifetime", type=float, default=60.0, help="serve for at most s")
    a = ap.parse_args(argv)
    m = D0Meter(a.kind)
    m.power_w, m.energy_in_kwh, m.energy_out_kwh = a.power, a.energy_in, a.energy_out
    if a.sml_file:
        with open(a.sml_file) as f:
            m.sml_override = f.read().strip().encode("ascii")
    unescape = lambda t: t.encode("latin-1").decode("unicode_escape").encode("latin-1")
    if a.raw_header is not None:
        m.header_override = unescape(a.raw_header)
    if a.raw_data is not None:
        m.data_override = unescape(a.raw_data)
    g = D0Gateway(m, a.host, a.port, a.interval, a.close_after, a.gap)
    print("serving", flush=True)
    g.serve(min(a.lifetime, 3600))
    print(f"done: {g.connections} connections, {g.readouts} readouts", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
