#!/usr/bin/env python3
"""A KEBA KeContact P20 wallbox on its UDP interface (port 7090).

It answers "report 1", "report 2" and "report 3" with multi-line JSON as the
box prints it, "TCH-OK :done" to the commands it accepts ("ena", "curr",
"output", "failsafe") and "TCH-ERROR" to anything else, keeps the box's state,
and sends the small JSON broadcasts of the real box when state, plug, input
X1, enable flag, maximum current or charged energy change.

It is as strict as the box's UDP guides: "curr" outside 6000..63000 mA is
refused, a change of output X2 within the guard time (--output-guard, 300 s)
after the last one is refused, and only an accepted "ena" or "curr" resets
the fail-safe timer (arming it with "failsafe" starts it).

Use from Python (the simulated house composes it):
    box = KebaP20(); box.plug_in(); answer, broadcasts = box.handle("ena 1")
or as a program inside a network namespace:
    keba_p20.py --bind 10.200.0.2 --control /tmp/wb.ctl --record /tmp/wb.rec
and drive it with
    keba_p20.py --control /tmp/wb.ctl plug 7 | input 1 | power 3000000 |
        currents 16000 0 0 | car 3 32000 | x2-contactor 0 | restart | silent 1 |
        error 0 16387 | clear-error | state | quit |
        lose N [COMMAND] | refuse N [COMMAND] | delay MS | guard MS | house W1 W2 W3 [A]
("power -1" and "currents" without values go back to the modelled car;
"lose" drops the answers to the next N commands, "refuse" answers TCH-ERROR
to them without obeying, both counting only commands that begin with COMMAND
when it is given, e.g. "lose 1 report 2"; "delay" holds every answer and
broadcast back for MS milliseconds; "guard" sets the X2 guard; "house" starts an SMA Energy Meter at
the box's address that sees the rest of the house (W per phase, + drawn)
plus the box's own currents, once a second; "state" then tells the last
grid reading and the readings with a phase above A amperes).
Only the standard library is used.
"""

import argparse
import json
import os
import select
import socket
import sys
import time

PORT = 7090
OK = "TCH-OK :done\n"
ERROR = "TCH-ERROR\n"


class KebaP20:
    """State of one box. All currents mA, power mW, energies 0.1 Wh."""

    def __init__(self, serial="15017355", product="KC-P20-ES240010-000 ",
                 firmware="KEBA P20 v 2.01m11 (140610-073512)", clock=time.monotonic, output_guard=300.0):
        self.clock = clock
        self.output_guard = output_guard  # seconds between two changes of X2
        self.output_changed = None        # time of the last change of X2
        self.output_refused = 0           # X2 changes refused within the guard
        self.serial = serial
        self.product = product
        self.firmware = firmware
        self.started = clock()
        self.plug = 0            # 0, 1, 3, 5, 7
        self.enable_sys = 0
        self.curr_hw = 32000     # the box's hardware limit (DIP switches)
        self.curr_user = 63000   # last "curr"
        self.output = 0          # X2
        self.input = 0           # X1
        self.tmo_fs = 0
        self.curr_fs = 0
        self.error1 = 0
        self.error2 = 0
        self.forced_error = False
        self.car_phases = 1      # phases the car takes when X2 is on
        self.x2_contactor = True # False: X2 switches nothing, the car takes car_phases
        self.car_max = 32000     # highest current the car draws
        self.power_override = None  # mW, set by a test
        self.currents_override = None
        self.voltage = 230
        self.e_pres = 0
        self.e_pres_sent = 0     # E pres of the last energy broadcast
        self.e_total = 500000
        self.last_command = clock()
        self.last_tick = clock()
        self.failsafe_tripped = False
        self._last_broadcast = {}

    # ---- what the car and the box do -------------------------------------
    def max_curr(self):
        """Current the box offers the car right now."""
        if not self.enable_sys or self.plug < 5 or self.forced_error:
            return 0
        if self.failsafe_tripped:
            return min(self.curr_fs, self.curr_hw)
        return min(self.curr_user, self.curr_hw)

    def state(self):
        if self.forced_error:
            return 4
        if self.plug < 5:
            return 1
        if not self.enable_sys:
            return 5
        if self.max_curr() >= 6000:
            return 3
        return 2

    def phase_currents(self):
        if self.currents_override is not None:
            return list(self.currents_override)
        if self.state() != 3:
            return [0, 0, 0]
        i = min(self.max_curr(), self.car_max)
        # Without a contactor on X2 the car draws on all its phases.
        n = self.car_phases if self.output == 1 or not self.x2_contactor else 1
        return [i if p < n else 0 for p in range(3)]

    def power(self):
        if self.power_override is not None:
            return self.power_override
        return sum(self.voltage * i for i in self.phase_currents())  # V * mA = mW

    def voltages(self):
        return [self.voltage, self.voltage if self.output else 0, self.voltage if self.output else 0]

    def tick(self):
        """Moves energy and the fail-safe timer forward to now."""
        now = self.clock()
        dt = now - self.last_tick
        self.last_tick = now
        self.e_pres += int(self.power() / 1000 * dt / 3600 * 10)
        if self.tmo_fs > 0 and now - self.last_command > self.tmo_fs:
            self.failsafe_tripped = True

    # ---- the UDP protocol --------------------------------------------------
    def report(self, n):
        secs = int(self.clock() - self.started)
        if n == 1:
            return ('{\n"ID": "1",\n"Product": "%s",\n"Serial": "%s",\n"Firmware":"%s",\n"COM-module": 0,\n'
                    '"Sec": %d\n}\n' % (self.product, self.serial, self.firmware, secs))
        if n == 2:
            fields = [("ID", "2"), ("State", self.state()), ("Error1", self.error1), ("Error2", self.error2),
                      ("Plug", self.plug), ("Enable sys", self.enable_sys), ("Enable user", 1),
                      ("Max curr", self.max_curr()), ("Max curr %", 1000), ("Curr HW", self.curr_hw),
                      ("Curr user", self.curr_user), ("Curr FS", self.curr_fs), ("Tmo FS", self.tmo_fs),
                      ("Output", self.output), ("Input", self.input), ("Serial", self.serial), ("Sec", secs)]
        else:
            u = self.voltages()
            i = self.phase_currents()
            fields = [("ID", "3"), ("U1", u[0]), ("U2", u[1]), ("U3", u[2]), ("I1", i[0]), ("I2", i[1]),
                      ("I3", i[2]), ("P", self.power()), ("PF", 1000 if self.state() == 3 else 0),
                      ("E pres", self.e_pres), ("E total", self.e_total + self.e_pres),
                      ("Serial", self.serial), ("Sec", secs)]
        return "{\n" + ",\n".join("%s: %s" % (json.dumps(k), json.dumps(v)) for k, v in fields) + "\n}\n"

    def handle(self, text):
        """Returns (answer, broadcasts) for one received datagram."""
        self.tick()
        words = text.strip().split()
        before = self.snapshot()
        answer = ERROR
        if text in ("report 1", "report 2", "report 3"):
            return self.report(int(text[-1])), []  # reports leave the fail-safe timer running
        if len(words) == 2 and words[0] in ("ena", "curr", "output") and self._int(words[1]) is not None:
            v = self._int(words[1])
            if words[0] == "ena" and v in (0, 1):
                self.enable_sys = v
                answer = OK
            elif words[0] == "curr" and 6000 <= v <= 63000:
                self.curr_user = v
                answer = OK
            elif words[0] == "output" and v in (0, 1) and (v == self.output or self.output_guard_over()):
                if v != self.output:
                    self.output_changed = self.clock()
                self.output = v
                answer = OK
            elif words[0] == "output" and v in (0, 1):
                self.output_refused += 1
        elif len(words) == 4 and words[0] == "failsafe":
            t, c, save = (self._int(w) for w in words[1:])
            if t is not None and c is not None and save in (0, 1) and (t == 0 or 10 <= t <= 600) \
                    and (c == 0 or 6000 <= c <= 63000):
                self.tmo_fs, self.curr_fs = t, c
                self.last_command = self.clock()  # the timer starts when armed
                answer = OK
        if answer == OK and words[0] in ("ena", "curr"):
            self.last_command = self.clock()
            self.failsafe_tripped = False
        return answer, self.broadcasts(before)

    def output_guard_over(self):
        return self.output_changed is None or self.clock() - self.output_changed >= self.output_guard

    @staticmethod
    def _int(w):
        try:
            return int(w)
        except ValueError:
            return None

    def snapshot(self):
        return {"State": self.state(), "Plug": self.plug, "Input": self.input, "Enable sys": self.enable_sys,
                "Max curr": self.max_curr(), "E pres": self.e_pres}

    def broadcasts(self, before):
        after = self.snapshot()
        out = ['{"%s": %d}\n' % (k, after[k]) for k in after if before.get(k) != after[k] and k != "E pres"]
        # The charged energy creeps up with every tick: the box tells it in
        # steps (here every 100 Wh, and when a session starts again at 0).
        if abs(self.e_pres - self.e_pres_sent) >= 1000 or (self.e_pres == 0 and self.e_pres_sent != 0):
            self.e_pres_sent = self.e_pres
            out.append('{"E pres": %d}\n' % self.e_pres)
        return out

    # ---- what a test does to the box ---------------------------------------
    def set(self, **changes):
        """Changes the box's state; returns the broadcasts it causes."""
        self.tick()
        before = self.snapshot()
        for k, v in changes.items():
            setattr(self, k, v)
        return self.broadcasts(before)

    def restart(self):
        """A power cut: fail-safe settings and relay are lost."""
        before = self.snapshot()
        self.started = self.clock()
        self.tmo_fs = self.curr_fs = 0
        self.output = 0
        self.curr_user = self.curr_hw
        self.failsafe_tripped = False
        return self.broadcasts(before)


class KebaServer:
    """The box on a UDP socket, with a control socket for tests."""

    def __init__(self, box, bind="0.0.0.0", port=PORT, control=None, record=None):
        self.box = box
        self.port = port
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.bind((bind, port))
        self.ctl = None
        if control:
            if os.path.exists(control):
                os.unlink(control)
            self.ctl = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
            self.ctl.bind(control)
        self.record = open(record, "a", buffering=1) if record else None
        self.peer = None
        self.silent = False
        self.running = True
        self.lose = [0, ""]    # answers to drop: count, command prefix
        self.refuse = [0, ""]  # commands to refuse: count, command prefix
        self.delay = 0.0       # seconds every datagram is held back
        self.held = []         # (due time, text) of held-back datagrams
        self.house = None      # rest of the house per phase (W) behind the meter
        self.rating = 0.0      # A per phase the readings are counted above
        self.over = 0          # meter readings with a phase above the rating
        self.grid = [0, 0, 0]  # W per phase of the last reading
        self.next_reading = 0.0

    def send(self, text):
        if self.peer is None or self.silent:
            return
        if self.delay > 0:
            self.held.append((time.monotonic() + self.delay, text))
        else:
            self.sock.sendto(text.encode(), (self.peer[0], self.port))

    def flush_held(self):
        """Sends the held-back datagrams that are due; returns seconds to the next."""
        now = time.monotonic()
        while self.held and self.held[0][0] <= now:
            self.sock.sendto(self.held.pop(0)[1].encode(), (self.peer[0], self.port))
        return self.held[0][0] - now if self.held else None

    @staticmethod
    def take(rule, text):
        """True (and one counted off) when rule = [count, prefix] applies to text."""
        if rule[0] > 0 and text.startswith(rule[1]):
            rule[0] -= 1
            return True
        return False

    def send_reading(self):
        """The meter's reading of now: the rest of the house plus the box."""
        from sma_energy_meter import GROUP, PORT as METER_PORT, SmaEnergyMeter, sender_socket
        if not hasattr(self, "meter"):
            self.meter = SmaEnergyMeter()
            self.meter_sock = sender_socket(self.sock.getsockname()[0], loop=False)
        self.box.tick()
        car = self.box.phase_currents()
        self.grid = [round(h + self.box.voltage * i / 1000.0) for h, i in zip(self.house, car)]
        self.meter.phase_power = list(self.grid)
        self.meter.current = [abs(g) / 230.0 for g in self.grid]
        if self.rating > 0 and max(self.meter.current) > self.rating:
            self.over += 1
        self.meter.advance(1.0)
        self.meter_sock.sendto(self.meter.datagram(), (GROUP, METER_PORT))

    def broadcast(self, items):
        for b in items:
            self.send(b)

    def on_datagram(self, data, addr):
        text = data.decode("ascii", "replace")
        if self.record:
            self.record.write(text.rstrip("\n") + "\n")
        if self.silent:
            return
        self.peer = addr
        if self.take(self.refuse, text):
            answer, broadcasts = ERROR, []
        else:
            answer, broadcasts = self.box.handle(text)
        if not self.take(self.lose, text):
            self.send(answer)
        self.broadcast(broadcasts)

    def on_control(self, line):
        w = line.split()
        box = self.box
        if not w:
            return "error empty"
        cmd, args = w[0], [int(x) for x in w[1:] if x.lstrip("-").isdigit()]
        if cmd == "plug":
            self.broadcast(box.set(plug=args[0]))
        elif cmd == "input":
            self.broadcast(box.set(input=args[0]))
        elif cmd == "power":
            box.power_override = args[0] if args[0] >= 0 else None
        elif cmd == "currents":
            box.currents_override = args[:3] if len(args) == 3 else None
        elif cmd == "car":
            box.car_phases, box.car_max = args[0], args[1]
        elif cmd == "x2-contactor":
            box.x2_contactor = bool(args[0])
        elif cmd == "restart":
            self.broadcast(box.restart())
        elif cmd == "silent":
            self.silent = bool(args[0])
        elif cmd == "error":
            # error E1 E2: state 4; the broadcast carries the state only, the
            # codes come with report 2.
            self.broadcast(box.set(forced_error=True, error1=args[0], error2=args[1]))
        elif cmd == "clear-error":
            self.broadcast(box.set(forced_error=False, error1=0, error2=0))
        elif cmd == "state":
            box.tick()
            return json.dumps({"state": box.state(), "enable": box.enable_sys, "curr_user": box.curr_user,
                               "output": box.output, "tmo_fs": box.tmo_fs, "curr_fs": box.curr_fs,
                               "max_curr": box.max_curr(), "plug": box.plug, "refused": box.output_refused,
                               "grid": self.grid, "over": self.over})
        elif cmd == "house" and len(w) in (4, 5):
            self.house = [int(x) for x in w[1:4]]
            self.rating = float(w[4]) if len(w) == 5 else 0.0
            self.over = 0
        elif cmd in ("lose", "refuse") and len(args) >= 1 and args[0] >= 0:
            setattr(self, cmd, [args[0], " ".join(w[2:])])
        elif cmd == "guard" and len(args) == 1:
            box.output_guard = args[0] / 1000.0
        elif cmd == "delay" and len(args) == 1 and args[0] >= 0:
            self.delay = args[0] / 1000.0
        elif cmd == "quit":
            self.running = False
        else:
            return "error unknown"
        return "ok"

    def serve(self, limit_s):
        end = time.monotonic() + limit_s
        socks = [self.sock] + ([self.ctl] if self.ctl else [])
        while self.running and time.monotonic() < end:
            wait = min(1.0, max(0.0, end - time.monotonic()))
            due = self.flush_held()
            if due is not None:
                wait = min(wait, max(0.0, due))
            if self.house is not None:
                if time.monotonic() >= self.next_reading:
                    self.next_reading = time.monotonic() + 1.0
                    self.send_reading()
                wait = min(wait, max(0.0, self.next_reading - time.monotonic()))
            ready, _, _ = select.select(socks, [], [], wait)
            for s in ready:
                data, addr = s.recvfrom(2048)
                if s is self.sock:
                    self.on_datagram(data, addr)
                else:
                    reply = self.on_control(data.decode())
                    if addr:
                        s.sendto(reply.encode(), addr)


def control(path, words, timeout=3.0):
    """Sends one control line to a running simulator and returns its reply."""
    me = "%s.client.%d" % (path, os.getpid())
    s = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
    s.bind(me)
    try:
        s.settimeout(timeout)
        s.sendto(" ".join(words).encode(), path)
        return s.recv(2048).decode()
    finally:
        s.close()
        os.unlink(me)


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--bind", default="0.0.0.0")
    ap.add_argument("--port", type=int, default=PORT)
    ap.add_argument("--control", help="unix datagram socket for test commands")
    ap.add_argument("--record", help="file that gets every received datagram, one a line")
    ap.add_argument("--limit", type=float, default=600.0, help="seconds before the simulator ends by itself")
    ap.add_argument("--plug", type=int, default=0)
    ap.add_argument("--enable", type=int, default=0)
    ap.add_argument("--output-guard", type=float, default=300.0,
                    help="seconds between two changes of output X2 (a change sooner is refused)")
    ap.add_argument("words", nargs="*", help="with --control only: a control line for a running simulator")
    a = ap.parse_args()
    if a.words:
        if not a.control:
            ap.error("control words need --control")
        reply = control(a.control, a.words)
        print(reply)
        return 0 if not reply.startswith("error") else 1
    box = KebaP20(output_guard=a.output_guard)
    box.plug, box.enable_sys = a.plug, a.enable
    server = KebaServer(box, a.bind, a.port, a.control, a.record)
    print("keba_p20 ready", flush=True)
    server.serve(a.limit)
    return 0


if __name__ == "__main__":
    sys.exit(main())
