#!/usr/bin/env python3
"""Drives headless Chromium over the DevTools protocol on a pipe (stdlib only)
against the daemon's pages: runs the control form's scripts, submits it, and
saves screenshots; the info page's values follow the simulated meter
without a reload and turn stale when it falls silent. Mode "cross-site": a page from a second origin posts a
form and loads an image URL to the daemon, which must refuse both. Mode
"login": the web password's login page, wrong and right password, the
session cookie and its expiry.

Usage: cdp_drive.py BASE_URL OUT_DIR [cross-site EVIL_URL | login PASSWORD SESSION_SECONDS]
Prints one line per check ("ok   - ..." / "FAIL - ..."); exit status 1 when a
check failed."""
import base64
import contextlib
import io
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time
import urllib.request
import xml.etree.ElementTree as ET

CHROME = "/usr/lib/chromium/chromium"
FAILS = 0


def check(what, ok):
    global FAILS
    print(("ok   - " if ok else "FAIL - ") + what, flush=True)
    if not ok:
        FAILS += 1


def high_fd(fd):
    import fcntl
    high = fcntl.fcntl(fd, fcntl.F_DUPFD_CLOEXEC, 10)
    os.close(fd)
    return high


class Browser:
    def __init__(self):
        self.profile = tempfile.mkdtemp(prefix="kivd-chr-")
        to_chrome_r, self.to_chrome = os.pipe()
        self.from_chrome, from_chrome_w = os.pipe()
        # Out of the way of 3 and 4, where Chromium expects its pipe ends.
        to_chrome_r, from_chrome_w = high_fd(to_chrome_r), high_fd(from_chrome_w)

        def fds():
            os.dup2(to_chrome_r, 3)
            os.dup2(from_chrome_w, 4)

        self.proc = subprocess.Popen(
            [CHROME, "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
             "--disable-background-networking", "--disable-component-update", "--disable-sync",
             "--host-resolver-rules=MAP * ~NOTFOUND , EXCLUDE 127.0.0.1 , EXCLUDE localhost",
             "--remote-debugging-pipe", "--user-data-dir=" + self.profile, "--window-size=1000,900",
             "about:blank"],
            preexec_fn=fds, pass_fds=(3, 4),
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(to_chrome_r)
        os.close(from_chrome_w)
        self.buf = b""
        self.next_id = 0
        self.events = []
        self.session = None

    def send(self, method, params=None, session=True, timeout=20):
        self.next_id += 1
        msg = {"id": self.next_id, "method": method, "params": params or {}}
        if session and self.session:
            msg["sessionId"] = self.session
        os.write(self.to_chrome, json.dumps(msg).encode() + b"\0")
        deadline = time.time() + timeout
        while time.time() < deadline:
            m = self.read_message(deadline)
            if m is None:
                break
            if m.get("id") == self.next_id:
                if "error" in m:
                    raise RuntimeError(f"{method}: {m['error']}")
                return m.get("result", {})
            self.events.append(m)
        raise TimeoutError(method)

    def read_message(self, deadline):
        import select
        while b"\0" not in self.buf:
            left = deadline - time.time()
            if left <= 0:
                return None
            r, _, _ = select.select([self.from_chrome], [], [], left)
            if not r:
                return None
            chunk = os.read(self.from_chrome, 65536)
            if not chunk:
                return None
            self.buf += chunk
        raw, self.buf = self.buf.split(b"\0", 1)
        return json.loads(raw)

    def wait_event(self, name, timeout=15, accept_dialogs=True):
        deadline = time.time() + timeout
        while True:
            for i, e in enumerate(self.events):
                if e.get("method") == name:
                    return self.events.pop(i)
            m = self.read_message(deadline)
            if m is None:
                raise TimeoutError(name)
            self.events.append(m)

    def open_page(self):
        target = self.send("Target.createTarget", {"url": "about:blank"}, session=False)["targetId"]
        self.session = self.send("Target.attachToTarget", {"targetId": target, "flatten": True},
                                 session=False)["sessionId"]
        self.send("Page.enable")
        self.send("Runtime.enable")
        self.send("Log.enable")
        # Whatever the page's policy blocks (an inline script or handler) is counted.
        self.send("Page.addScriptToEvaluateOnNewDocument", {"source": "window.__csp = []; document.addEventListener("
                  "'securitypolicyviolation', e => window.__csp.push(e.violatedDirective + ' ' + e.blockedURI));"})

    def navigate(self, url):
        self.events = [e for e in self.events if e.get("method") != "Page.loadEventFired"]
        self.send("Page.navigate", {"url": url})
        self.wait_event("Page.loadEventFired")

    def js(self, expr):
        r = self.send("Runtime.evaluate", {"expression": expr, "returnByValue": True, "awaitPromise": True})
        if "exceptionDetails" in r:
            raise RuntimeError(f"{expr}: {r['exceptionDetails']}")
        return r["result"].get("value")

    def screenshot(self, path):
        data = self.send("Page.captureScreenshot", {"format": "png", "captureBeyondViewport": True})["data"]
        with open(path, "wb") as f:
            f.write(base64.b64decode(data))

    def exceptions(self):
        """Script errors, and errors the console reports (a missing stylesheet)."""
        def wanted_404(entry):  # the error page's own test, and the favicon the sandbox lacks
            return entry.get("url", "").endswith(("/nope", "/favicon.ico"))
        return [e for e in self.events if e.get("method") == "Runtime.exceptionThrown" or
                (e.get("method") == "Log.entryAdded" and e["params"]["entry"]["level"] == "error" and
                 not wanted_404(e["params"]["entry"]))]

    def close(self):
        try:
            self.send("Browser.close", session=False, timeout=5)
        except Exception:
            pass
        try:
            self.proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
        os.close(self.to_chrome)
        os.close(self.from_chrome)
        shutil.rmtree(self.profile, ignore_errors=True)


def xml_value(base, path):
    with urllib.request.urlopen(base + "/xml", timeout=10) as r:
        return ET.fromstring(r.read()).findtext(path)


def wait_title(b, title, timeout=10):
    deadline = time.time() + timeout
    while time.time() < deadline:
        try:
            # The title arrives before the rest of a page sent in pieces.
            if b.js("document.title") == title and b.js("document.readyState") == "complete":
                return True
        except RuntimeError:
            pass  # the page is being replaced
        time.sleep(0.1)
    return False


def wait_js(b, expr, want, timeout):
    deadline = time.time() + timeout
    while time.time() < deadline:
        if b.js(expr) == want:
            return True
        time.sleep(0.2)
    return False


def send_meter(power_w):
    """A few datagrams of the simulated SMA meter on loopback (the daemon's meter)."""
    sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "sim"))
    import sma_energy_meter
    with contextlib.redirect_stdout(io.StringIO()):
        sma_energy_meter.main(["send", "--serial", "1900000001", "--power", str(power_w), "--count", "3",
                               "--interval", "0.2"])


def live_values(b):
    """The info page, loaded before the meter's first datagram, follows it by script."""
    mark = "document.querySelector('[data-stale=meter]').textContent"
    check("silent meter marked stale by the server", b.js(mark) == " stale" and
          b.js("document.querySelector('[data-stale=meter]').className") == "stale")
    b.js("window.kivdSamePage = 1")
    send_meter(-2500)
    check("grid power follows the meter without a reload",
          wait_js(b, "document.getElementById('lv-grid').textContent", "2500 W to the grid", 10))
    check("grid power in kW beside it", b.js("document.getElementById('lv-grid-kw').textContent") == "(2.5 kW)")
    check("grid currents in A", b.js("document.getElementById('lv-grid-a').textContent") == "3.6 / 3.6 / 3.6 A")
    check("stale mark gone with fresh data", b.js(mark) == "" and
          b.js("document.getElementById('lv-meter-data').textContent") == "fresh")
    check("meter marked stale again once silent (TIMEOUT=5)", wait_js(b, mark, " stale", 12) and
          b.js("document.getElementById('lv-meter-data').textContent") == "stale, older than 5 s")
    check("all on the same page", b.js("window.kivdSamePage") == 1 and
          b.js("document.body.getAttribute('data-live')") == "ok")


def submit_login(b, password):
    b.js("document.forms[0].password.value = %s; document.forms[0].submit()" % json.dumps(password))


def cross_site(b, base, evil):
    before = xml_value(base, "EV/Charging/ChargingMode")
    b.navigate(evil)
    time.sleep(1.5)  # the form post and the image load have been answered
    check("another site's form post changed nothing", xml_value(base, "EV/Charging/ChargingMode") == before)
    # A top-level navigation from a no-referrer page carries no Origin,
    # Referer or (over plain HTTP) Sec-Fetch-*: only the browser's marks.
    b.navigate(evil + "nav.html")
    time.sleep(1.5)  # the navigation has been answered (the log says how)
    check("a no-referrer navigation to /remote changed nothing", xml_value(base, "EV/Charging/ChargingMode") == before)
    b.send("Page.navigate", {"url": base + "/control"})
    check("own pages keep working", wait_title(b, "Orvane control page"))


def login(b, base, password, session_seconds):
    b.navigate(base + "/settings")
    check("settings page asks for the password", b.js("document.title") == "Orvane login")
    check("login page in the phone layout", b.js("!!document.querySelector('meta[name=viewport]')") is True)
    submit_login(b, password + "x")
    time.sleep(0.5)
    check("wrong password refused", wait_title(b, "Orvane login") and
          "Wrong password." in b.js("document.body.innerText"))
    submit_login(b, password)
    check("right password leads to the settings page", wait_title(b, "Orvane settings page"))
    check("session cookie hidden from scripts", "kivd_session" not in b.js("document.cookie"))
    check("web password block asks for the current one",
          b.js("document.details.WebPwOld.autocomplete") == "current-password" and
          b.js("document.details.WebPwNew.autocomplete") == "new-password")
    b.navigate(base + "/log")
    check("cookie opens the next page", b.js("document.title") == "Orvane log page")
    time.sleep(session_seconds + 1.5)
    b.navigate(base + "/log")
    check("unused session expires", b.js("document.title") == "Orvane login")


def chart_points(b, base):
    """The day chart is drawn from /api/day, one point per ring entry."""
    count = "(() => { const c = window.Chart && Chart.getChart('daychart-canvas');" \
            " return c ? c.data.datasets[0].data.length : -1; })()"
    deadline = time.time() + 10
    while b.js(count) < 2 and time.time() < deadline:
        time.sleep(0.5)
        b.navigate(base + "/")
    with urllib.request.urlopen(base + "/api/day", timeout=10) as r:
        day = json.load(r)
    drawn = b.js(count)
    check(f"chart has points ({drawn} drawn, {len(day['t'])} in /api/day)", drawn >= 2 and len(day["t"]) >= drawn)
    check("chart note hidden", b.js("getComputedStyle(document.getElementById('daychart-note')).display") == "none")
    check("history linked", b.js("document.querySelector('a[href=\"/history\"]') !== null"))


def error_text(e):
    p = e["params"]
    return p["entry"]["text"] + " " + p["entry"].get("url", "") if "entry" in p else p["exceptionDetails"].get("text")


def phone(b, base, out):
    """Every page at 390x844 reflows without a horizontal scroll bar, with
    its viewport declared and taps of at least 44 px."""
    b.send("Emulation.setDeviceMetricsOverride", {"width": 390, "height": 844, "deviceScaleFactor": 1,
                                                  "mobile": True})
    for path in ["/", "/control", "/log", "/settings", "/knx", "/checkupdate", "/download", "/nope",
                 "/settings?saved=1&refused=WallboxIP"]:
        b.navigate(base + path)
        fits = b.js("[document.documentElement.scrollWidth, document.documentElement.clientWidth]")
        check(f"{path} at 390 px: no horizontal scroll {fits}", fits[0] <= fits[1])
        csp = b.js("window.__csp")
        check(f"{path}: nothing blocked by the page's policy {csp}", csp == [])
        check(f"{path} declares the viewport",
              b.js("!!document.querySelector('meta[name=viewport]')") is True)
        small = b.js("[...document.querySelectorAll('input[type=button],input[type=submit],select')]"
                     ".filter(e => e.offsetParent && e.getBoundingClientRect().height < 43).length")
        check(f"{path} buttons and lists at least 44 px tall", small == 0)
        if path == "/":
            b.screenshot(os.path.join(out, "info_phone.png"))
            check("info columns stacked", b.js("(() => { const t = document.querySelectorAll('td');"
                                               " return t[1].getBoundingClientRect().top >"
                                               " t[0].getBoundingClientRect().bottom - 1; })()") is True)
        if path == "/settings":
            b.screenshot(os.path.join(out, "settings_phone.png"))
            check("numeric fields bring up a number keypad",
                  b.js("document.details.FusesValue.inputMode") == "numeric")
    b.send("Emulation.clearDeviceMetricsOverride")


def main():
    base, out = sys.argv[1], sys.argv[2]
    mode = sys.argv[3] if len(sys.argv) > 3 else "pages"
    os.makedirs(out, exist_ok=True)
    b = Browser()
    try:
        b.open_page()
        if mode == "cross-site":
            cross_site(b, base, sys.argv[4])
            return 1 if FAILS else 0
        if mode == "login":
            login(b, base, sys.argv[4], float(sys.argv[5]))
            return 1 if FAILS else 0
        # Info page: renders, its confirm scripts ask and, declined, go nowhere.
        b.navigate(base + "/")
        check("info page title", b.js("document.title") == "Orvane info page")
        check("info page shows the wallbox block", "Wallbox info" in b.js("document.body.innerText"))
        live_values(b)
        b.send("Runtime.evaluate", {"expression": "setTimeout(() => ConfirmRestart(), 0)"})
        d = b.wait_event("Page.javascriptDialogOpening")
        check("restart button asks first", d["params"]["type"] == "confirm" and
              d["params"]["message"].startswith("Do you want to restart the service?"))
        b.send("Page.handleJavaScriptDialog", {"accept": False})
        time.sleep(0.3)
        check("declined restart stays on the page", b.js("location.pathname") == "/")
        chart_points(b, base)
        b.screenshot(os.path.join(out, "info_page.png"))
        b.navigate(base + "/history")
        check("history without database says so", "the database, which is not configured" in b.js("document.body.innerText"))

        # Control page: the mode script enables the matching inputs.
        b.navigate(base + "/control")
        check("control page title", b.js("document.title") == "Orvane control page")
        state = "[document.details.ActivationValue.disabled, document.details.ManualValue.disabled]"
        check("surplus: activation enabled, manual list disabled", b.js(state) == [False, True])
        b.js("document.details.WebChargingMode[3].click()")
        check("manual: activation disabled, manual list enabled", b.js(state) == [True, False])
        b.js("document.details.WebChargingMode[0].click()")
        check("off: both disabled", b.js(state) == [True, True])
        b.js("document.details.WebChargingMode[2].click()")
        b.js("(() => { const f = document.details.ActivationValue; f.value = '2a5x00';"
             " f.dispatchEvent(new KeyboardEvent('keyup')); })()")
        check("input filter keeps digits only", b.js("document.details.ActivationValue.value") == "2500")
        b.screenshot(os.path.join(out, "control_page.png"))

        # Submit: quick mode with other minimum current and phases.
        b.js("document.details.WebChargingMode[1].click()")
        b.js("document.details.MinCharge.value = '7020'; document.details.MaxPhases.value = '3'")
        b.events = [e for e in b.events if e.get("method") != "Page.loadEventFired"]
        b.js("document.details.submit()")
        b.wait_event("Page.loadEventFired")
        check("form answered with success", "Operation succeeded." in b.js("document.body.innerText"))
        check("the answer says when", "at the next control cycle, within a minute" in b.js("document.body.innerText"))
        check("redirected to the page", b.js("location.pathname + location.search") == "/control?done=1")
        check("answer shows quick marked", b.js("document.details.WebChargingMode[1].checked") is True)
        b.screenshot(os.path.join(out, "control_after_post.png"))
        check("daemon now in quick mode", xml_value(base, "EV/Charging/ChargingMode") == "QUICK")
        check("daemon min charge 7020", xml_value(base, "EV/Charging/MinCharge") == "7020")
        check("daemon phases 3", xml_value(base, "EV/Charging/MaxPhases") == "3")
        # A reload repeats the GET only: the mode set since stays.
        with urllib.request.urlopen(base + "/remote?mode=off", timeout=10) as r:
            r.read()
        check("mode changed elsewhere", xml_value(base, "EV/Charging/ChargingMode") == "OFF")
        b.events = [e for e in b.events if e.get("method") != "Page.loadEventFired"]
        b.send("Page.reload")
        b.wait_event("Page.loadEventFired")
        check("reload shows the page again", "Operation succeeded." in b.js("document.body.innerText"))
        check("reload posted nothing", xml_value(base, "EV/Charging/ChargingMode") == "OFF")
        phone(b, base, out)
        exc = b.exceptions()
        check("no script errors" + ("" if not exc else f": {error_text(exc[0])}"), not exc)
    except Exception as e:  # a broken step is a failed check, not a crash
        check(f"browser run: {e!r}", False)
    finally:
        b.close()
    return 1 if FAILS else 0


if __name__ == "__main__":
    sys.exit(main())
