#!/usr/bin/env python3
"""A simulated house: PV, household, battery, car and wallbox on one grid
connection, served as the devices a charging controller talks to.

The model (all powers in W, + drawn from the grid):
  - PV: a sun curve between sunrise and sunset, dimmed by passing clouds;
    fed in evenly on the three phases.
  - Household: a base load plus appliances (fridge, dishwasher, washing
    machine, cooker, kettle) switching on and off, each on its own phase.
  - Battery (a Sunny Island on L1): charges from surplus and discharges into
    the load so that the grid is held near zero, within its power limit and
    its state of charge; the state of charge follows the energy moved.
  - Car: draws what the wallbox offers, on one phase or, with output X2 on,
    on the car's phases; it tapers near full and stops when full.
  - Grid: what is left per phase, seen by the energy meter.

Served as: SMA Energy Meter datagrams to 239.12.255.254:9522 once a second,
the KEBA P20 wallbox on UDP 7090 and the Sunny Island on Speedwire UDP 9522,
all bound to the house's address (--bind). The device classes come from the
simulators next to this file.

--speed N runs the physics (sun, appliances, battery and car charge, meter
counters) N times faster than the wall clock; the devices still answer and
the meter still sends in real time. --start sets the time of day to begin
with; the default is a sunny early afternoon with the car plugged in and the
box enabled at its minimum current, so that a controller in surplus mode
takes over within its first cycle.

Every --status-every seconds it prints a line of the state (battery +
discharging / - charging, grid + drawn / - fed in) and, with --status,
writes the state as JSON to a file.

Run inside a network namespace of its own (it binds the house's address and
sends multicast), e.g.
    ip netns exec house python3 house.py --bind 10.200.0.2 --status /tmp/house.status
Only the standard library is used.
"""

import argparse
import json
import math
import os
import random
import select
import signal
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from keba_p20 import KebaP20, KebaServer  # noqa: E402
from sma_energy_meter import GROUP, PORT as METER_PORT, SmaEnergyMeter, sender_socket  # noqa: E402
from sunny_island import SunnyIsland  # noqa: E402

DAY = 86400.0


def parse_time_of_day(text):
    parts = text.split(":")
    if not 1 <= len(parts) <= 3 or not all(p.isdigit() for p in parts):
        raise argparse.ArgumentTypeError("time of day as HH:MM[:SS], not %r" % text)
    h, m, s = (int(p) for p in parts + ["0"] * (3 - len(parts)))
    if h > 23 or m > 59 or s > 59:
        raise argparse.ArgumentTypeError("time of day out of range: %r" % text)
    return h * 3600 + m * 60 + s


def clock_text(t):
    t = int(t) % int(DAY)
    return "%02d:%02d:%02d" % (t // 3600, t // 60 % 60, t % 60)


class Sky:
    """Sun height over the day and clouds drifting past."""

    def __init__(self, rng, sunrise=6 * 3600, sunset=20 * 3600, clouds=True):
        self.rng = rng
        self.sunrise = sunrise
        self.sunset = sunset
        self.clouds = clouds
        self.cloud = None  # (start, length, depth) in simulated seconds
        self.next_cloud = None

    def sun(self, t):
        """0..1: the clear-sky share of the peak at time of day t."""
        t %= DAY
        if not self.sunrise < t < self.sunset:
            return 0.0
        x = (t - self.sunrise) / (self.sunset - self.sunrise)
        return math.sin(math.pi * x) ** 1.5

    def shade(self, t):
        """0..1: the share of the light the clouds let through at time t."""
        if not self.clouds:
            return 1.0
        if self.next_cloud is None:
            # The first cloud comes a little later, so a run starts sunny.
            self.next_cloud = t + self.rng.uniform(240, 600)
        if self.cloud is None and t >= self.next_cloud:
            self.cloud = (t, self.rng.uniform(60, 420), self.rng.uniform(0.3, 0.8))
        if self.cloud is None:
            return 1.0
        start, length, depth = self.cloud
        if t >= start + length:
            self.cloud = None
            self.next_cloud = t + self.rng.expovariate(1 / 600.0)
            return 1.0
        # The cloud's edge takes a fifth of its passage to come and to go.
        edge = max(length / 5, 1.0)
        k = min((t - start) / edge, (start + length - t) / edge, 1.0)
        return 1.0 - depth * k


class Appliance:
    """A consumer on one phase that switches on and off at random, more
    likely within its hours."""

    def __init__(self, name, phase, watts, on_mean, off_mean, hours=(0, 24), on=False):
        self.name = name
        self.phase = phase
        self.watts = watts
        self.on_mean = on_mean
        self.off_mean = off_mean
        self.hours = hours
        self.on = on
        self.until = None

    def step(self, t, rng):
        if self.until is None:
            self.until = t + rng.expovariate(1 / (self.on_mean if self.on else self.off_mean))
        if t < self.until:
            return
        h = (t % DAY) / 3600
        in_hours = self.hours[0] <= h < self.hours[1]
        self.on = (not self.on) and in_hours
        mean = self.on_mean if self.on else self.off_mean
        self.until = t + rng.expovariate(1 / mean)

    def power(self):
        return self.watts if self.on else 0.0


class Car:
    """The car's battery: takes what the box offers, less near full."""

    def __init__(self, capacity_kwh=60.0, soc=35.0, max_current=16000, phases=3):
        self.capacity_wh = capacity_kwh * 1000
        self.energy_wh = soc / 100 * self.capacity_wh
        self.max_current = max_current
        self.phases = phases

    def soc(self):
        return 100.0 * self.energy_wh / self.capacity_wh

    def current_limit(self):
        """mA the charger takes at most: full current up to 90 %, then less."""
        s = self.soc()
        if s >= 100.0:
            return 0
        if s < 90.0:
            return self.max_current
        return max(int(self.max_current * (100.0 - s) / 10.0), 6000)

    def charge(self, watts, seconds):
        self.energy_wh = min(self.energy_wh + watts * seconds / 3600.0, self.capacity_wh)


class House:
    def __init__(self, a):
        self.a = a
        self.rng = random.Random(a.seed)
        self.sky = Sky(self.rng, clouds=not a.no_clouds)
        self.pv_peak = a.pv_peak
        self.base = [90.0, 70.0, 80.0]
        self.appliances = [
            Appliance("fridge", 0, 110, 600, 1500, on=True),
            Appliance("dishwasher", 0, 1900, 900, 5400, hours=(11, 22)),
            Appliance("washer", 1, 2100, 600, 4800, hours=(8, 20)),
            Appliance("cooker", 2, 2400, 900, 7200, hours=(11, 20)),
            Appliance("kettle", 1, 2000, 150, 3600, hours=(6, 23)),
            Appliance("lights/tv", 2, 180, 3600, 3600, hours=(17, 24)),
        ]
        self.capacity_wh = a.battery_kwh * 1000
        self.bat_max = a.battery_power
        self.min_soc = a.battery_min_soc
        self.bat_power = 0.0  # + discharging
        self.car = Car(a.car_kwh, a.car_soc, a.car_current, a.car_phases)

        self.meter = SmaEnergyMeter(a.meter_serial)
        self.meter.energy_in_ws = 3_600_000 * 4213
        self.meter.energy_out_ws = 3_600_000 * 6120
        self.meter_sock = sender_socket(a.bind, loop=False)
        self.meter_target = (GROUP, METER_PORT)

        self.storage = SunnyIsland(device=a.storage_device, soc=a.battery_soc, ac_power=0, bat_current=0,
                                   foreign_host=None)

        self.box = KebaP20()
        self.box.plug = 7 if a.plugged else 0
        self.box.enable_sys = 1 if a.box_enabled else 0
        self.box.curr_user = 6000
        self.box.car_phases = a.car_phases
        self.box.car_max = self.car.current_limit()
        self.keba = KebaServer(self.box, a.bind, a.keba_port, record=a.keba_record)

        self.t = float(a.start)  # simulated time of day, seconds (grows past midnight)
        self.values = {}

    # ---- physics -----------------------------------------------------------
    def step(self, dt):
        """Moves the house on by dt simulated seconds."""
        self.t += dt
        t = self.t
        pv = self.pv_peak * self.sky.sun(t) * self.sky.shade(t) * (1 + self.rng.uniform(-0.01, 0.01))
        for ap in self.appliances:
            ap.step(t, self.rng)
        load = list(self.base)
        for k in range(3):
            load[k] += self.rng.uniform(-15, 15)
        for ap in self.appliances:
            load[ap.phase] += ap.power()

        self.keba.broadcast(self.box.set(car_max=self.car.current_limit()))
        car_ph = [i * self.box.voltage / 1000.0 for i in self.box.phase_currents()]
        car = sum(car_ph)
        self.car.charge(car, dt)

        # The battery inverter holds the grid near zero; it follows within a
        # few seconds, and never discharges below its reserve.
        surplus = pv - sum(load) - car
        soc = self.storage.soc
        target = -surplus
        target = max(-self.bat_max, min(self.bat_max, target))
        if target > 0:
            above_reserve_wh = max(soc - self.min_soc, 0) / 100.0 * self.capacity_wh
            target = min(target, above_reserve_wh * 3600.0 / dt) if dt > 0 else 0.0
        lag = min(1.0, dt / 2.0)
        with self.storage.lock:
            # A 16-cell LFP pack: about 49 V empty, 55 V full.
            self.storage.bat_voltage = int(49000 + 60 * soc)
        self.bat_power += (target - self.bat_power) * lag
        self.storage.run_power(self.bat_power, dt, self.capacity_wh)
        self.bat_power = float(self.storage.ac_power)  # 0 when empty or full
        with self.storage.lock:
            self.storage.bat_temp = int(250 + abs(self.bat_power) / 200)

        phases = [load[k] + car_ph[k] - pv / 3 for k in range(3)]
        phases[0] -= self.bat_power
        self.meter.phase_power = phases
        # The voltage sags a little with what a phase draws.
        self.meter.voltage = [round(231.0 - p / 2000.0 + self.rng.uniform(-0.3, 0.3), 1) for p in phases]
        self.meter.current = [abs(p) / v for p, v in zip(phases, self.meter.voltage)]
        self.meter.power_factor = 0.98 if sum(load) > 1000 else 0.95
        self.meter.advance(dt)
        self.storage.set_state(ac_voltage=[int(v * 1000) for v in self.meter.voltage],
                               frequency=int(50000 + self.rng.uniform(-30, 30)))
        self.values = {
            "time": clock_text(t), "pv": round(pv), "load": round(sum(load)),
            "appliances": [ap.name for ap in self.appliances if ap.on],
            "battery": round(self.bat_power), "battery_soc": self.storage.soc,
            "car": round(car), "car_soc": round(self.car.soc(), 1), "car_phases": sum(1 for c in car_ph if c > 0),
            "box": {"enable": self.box.enable_sys, "curr": self.box.curr_user, "output": self.box.output,
                    "state": self.box.state()},
            "grid": round(sum(phases)), "grid_phases": [round(p) for p in phases],
        }

    def send_meter(self):
        try:
            self.meter_sock.sendto(self.meter.datagram(), self.meter_target)
        except OSError as e:
            print("house: meter datagram not sent: %s" % e, file=sys.stderr, flush=True)

    def status_line(self):
        v = self.values
        return ("%s  pv %5d W  load %5d W  battery %+5d W (%3d %%)  car %5d W on %d (%.1f %%)  grid %+6d W"
                % (v["time"], v["pv"], v["load"], v["battery"], v["battery_soc"], v["car"], v["car_phases"],
                   v["car_soc"], v["grid"]))

    # ---- the loop ----------------------------------------------------------
    def run(self):
        a = self.a
        self.storage.start((a.bind, a.storage_port), a.duration + 5)
        running = [True]

        def stop(_sig, _frame):
            running[0] = False

        signal.signal(signal.SIGTERM, stop)
        signal.signal(signal.SIGINT, stop)
        t0 = last = time.monotonic()
        next_step = t0
        next_status = t0
        print("house: serving at %s (meter to %s:%d, wallbox :%d, storage :%d), %s, speed %g"
              % (a.bind, GROUP, METER_PORT, a.keba_port, a.storage_port, clock_text(self.t), a.speed), flush=True)
        while running[0] and self.keba.running and time.monotonic() - t0 < a.duration:
            now = time.monotonic()
            if now >= next_step:
                self.step((now - last) * a.speed)
                last = now
                self.send_meter()
                next_step += a.step
                if next_step < now:
                    next_step = now + a.step
                if now >= next_status:
                    line = self.status_line()
                    if a.status:
                        with open(a.status + ".tmp", "w") as f:
                            json.dump(self.values, f)
                        os.replace(a.status + ".tmp", a.status)
                    if not a.quiet:
                        print(line, flush=True)
                    next_status = now + a.status_every
            wait = max(0.0, next_step - time.monotonic())
            try:
                ready, _, _ = select.select([self.keba.sock], [], [], wait)
            except InterruptedError:
                continue
            if ready:
                try:
                    data, addr = self.keba.sock.recvfrom(2048)
                except OSError:
                    continue
                self.keba.on_datagram(data, addr)
        self.storage.stop()
        print("house: stopped at %s" % clock_text(self.t), flush=True)


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--bind", default="127.0.0.1", help="the house's address: devices bind here, the meter sends from it")
    ap.add_argument("--speed", type=float, default=1.0, help="physics runs this many times faster than real time")
    ap.add_argument("--start", type=parse_time_of_day, default=parse_time_of_day("13:30"),
                    help="time of day to start at, HH:MM[:SS] (default 13:30)")
    ap.add_argument("--duration", type=float, default=4 * 3600.0, help="wall-clock seconds before it ends by itself")
    ap.add_argument("--seed", type=int, default=11, help="random seed for clouds and appliances")
    ap.add_argument("--no-clouds", action="store_true")
    ap.add_argument("--pv-peak", type=float, default=9800.0, help="W at noon under a clear sky")
    ap.add_argument("--battery-kwh", type=float, default=10.0)
    ap.add_argument("--battery-power", type=float, default=4600.0, help="W the battery charges/discharges at most")
    ap.add_argument("--battery-soc", type=int, default=48, help="%% at the start")
    ap.add_argument("--battery-min-soc", type=int, default=10, help="%% below which it stops discharging")
    ap.add_argument("--storage-device", default="si6", help="device kind of sunny_island.py (si6, si8, sbs25, ...)")
    ap.add_argument("--storage-port", type=int, default=9522)
    ap.add_argument("--car-kwh", type=float, default=60.0)
    ap.add_argument("--car-soc", type=float, default=35.0, help="%% at the start")
    ap.add_argument("--car-current", type=int, default=16000, help="mA per phase the car takes at most")
    ap.add_argument("--car-phases", type=int, choices=(1, 2, 3), default=3)
    ap.add_argument("--unplugged", dest="plugged", action="store_false", help="no car at the box")
    ap.add_argument("--box-disabled", dest="box_enabled", action="store_false",
                    help="start with the box disabled (a controller needs several cycles of surplus then)")
    ap.add_argument("--keba-port", type=int, default=7090)
    ap.add_argument("--keba-record", help="file that gets every datagram the wallbox receives, one a line")
    ap.add_argument("--meter-serial", type=int, default=1900000001)
    ap.add_argument("--step", type=float, default=1.0, help="wall-clock seconds per step and meter datagram")
    ap.add_argument("--status", help="file that always holds the latest state as JSON")
    ap.add_argument("--status-every", type=float, default=10.0, help="seconds between status lines")
    ap.add_argument("--quiet", action="store_true", help="no status lines on stdout")
    a = ap.parse_args(argv)
    if not 0 < a.speed <= 3600:
        ap.error("--speed must be in (0, 3600]")
    if not 0.1 <= a.step <= 10:
        ap.error("--step must be in [0.1, 10]")
    if a.duration <= 0 or a.duration > 7 * 86400:
        ap.error("--duration must be in (0, 604800]")
    House(a).run()
    return 0


if __name__ == "__main__":
    sys.exit(main())
