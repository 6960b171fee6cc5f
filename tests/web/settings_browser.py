#!/usr/bin/env python3
"""Drives the settings and KNX pages in headless Chromium (DevTools protocol
over a pipe, the Browser of cdp_drive.py): the pages' scripts enable and fill
fields, warn and refuse bad input; a submitted form lands in the file.

Usage: settings_browser.py BASE_URL OUT_DIR INI_PATH"""
import configparser
import os
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import cdp_drive  # noqa: E402
from cdp_drive import Browser, check  # noqa: E402


def ini(path):
    c = configparser.ConfigParser(strict=False, interpolation=None, inline_comment_prefixes=(";", "#"))
    with open(path) as f:
        c.read_string(f.read())
    return c


def dialog_of(b, expr):
    """Runs expr (which raises a dialog) and returns the dialog's message, accepted."""
    b.events = [e for e in b.events if e.get("method") != "Page.javascriptDialogOpening"]
    b.send("Runtime.evaluate", {"expression": f"setTimeout(() => {{ {expr} }}, 0)"})
    d = b.wait_event("Page.javascriptDialogOpening")
    b.send("Page.handleJavaScriptDialog", {"accept": True})
    return d["params"]["message"]


def set_line(text, section, key, value):
    """The file text with key's value in [section] replaced, the line kept in the written layout."""
    head = text.index(f"\n[{section}]\n")
    at = text.index(f"\n{key} ", head) + 1
    end = text.index("\n", at)
    return text[:at] + f"{key:<30} = {value}" + text[end:]


def click_save(b):
    """A real mouse click on the form's Save button, and the page it loads."""
    b.events = [e for e in b.events if e.get("method") != "Page.loadEventFired"]
    x, y = b.js("(() => { const e = document.querySelector('input[type=submit]'); e.scrollIntoView(); "
                "const r = e.getBoundingClientRect(); return [r.x + r.width / 2, r.y + r.height / 2]; })()")
    for kind in ("mousePressed", "mouseReleased"):
        b.send("Input.dispatchMouseEvent", {"type": kind, "x": x, "y": y, "button": "left", "clickCount": 1})
    b.wait_event("Page.loadEventFired")


def submit(b, form):
    b.events = [e for e in b.events if e.get("method") != "Page.loadEventFired"]
    b.js(f"document.forms['{form}'].requestSubmit()")
    b.wait_event("Page.loadEventFired")


def main():
    base, out, ini_path = sys.argv[1], sys.argv[2], sys.argv[3]
    os.makedirs(out, exist_ok=True)
    b = Browser()
    f = "document.forms['details'].elements"
    try:
        b.open_page()
        b.navigate(base + "/settings")
        check("settings page title", b.js("document.title") == "Orvane settings page")
        check("wallbox unticked: type and address disabled",
              b.js(f"[{f}.WallboxType.disabled, {f}.WallboxIP.disabled]") == [True, True])
        check("surplus: activation enabled, manual disabled",
              b.js(f"[{f}.ActivationValue.disabled, {f}.ManualValue.disabled]") == [False, True])
        b.js(f"{f}.WallboxUsing.click()")
        check("wallbox ticked: type and address enabled",
              b.js(f"[{f}.WallboxType.disabled, {f}.WallboxIP.disabled]") == [False, False])
        b.js(f"{f}.StartMode.value = 'quick'; {f}.StartMode.dispatchEvent(new Event('change'))")
        check("quick: activation and manual disabled",
              b.js(f"[{f}.ActivationValue.disabled, {f}.ManualValue.disabled]") == [True, True])
        check("meter unticked: its fields disabled", b.js(f"{f}.SmartmeterType.disabled") is True)
        b.js(f"{f}.SmartmeterUsing.click()")
        b.js(f"{f}.SmartmeterType.value = 'OEM'; {f}.SmartmeterType.dispatchEvent(new Event('change'))")
        check("OEM meter: address, port and serial set",
              b.js(f"[{f}.SmartmeterIP.value, {f}.SmartmeterPort.value, {f}.SmartmeterSerial.value, "
                   f"{f}.SmartmeterSerial.disabled]") == ["224.3.29.71", "10004", "0", True])
        b.js(f"{f}.KNXUsing.click(); {f}.KNXInterval.value = '5'")
        msg = dialog_of(b, f"{f}.KNXInterval.dispatchEvent(new Event('change'))")
        check("KNX interval 5: alert", msg == "The minimum interval is 10 seconds!")
        check("KNX interval set to 10", b.js(f"{f}.KNXInterval.value") == "10")
        b.js(f"{f}.StorageUsing.click(); {f}.StorageRatio.value = '150'")
        msg = dialog_of(b, f"{f}.StorageRatio.dispatchEvent(new Event('change'))")
        check("ratio 150: alert and 100", msg == "The maximum ev-ratio is 100%!" and
              b.js(f"{f}.StorageRatio.value") == "100")
        b.js(f"(() => {{ const x = {f}.FusesValue; x.value = '3a2b000'; x.dispatchEvent(new KeyboardEvent('keyup')); }})()")
        check("digits only", b.js(f"{f}.FusesValue.value") == "32000")
        b.js(f"{f}.WallboxIP.value = '300.1.1.1'")
        msg = dialog_of(b, "document.forms['details'].requestSubmit()")
        check("bad IP address: alert", msg == "Following errors are detected: \nWallboxIP: 300.1.1.1 is not a valid IP address\n")
        time.sleep(0.3)
        check("bad IP address: form not sent", "successfully saved" not in b.js("document.body.innerText"))
        b.js(f"{f}.WallboxIP.value = '10.20.30.40'")
        b.screenshot(os.path.join(out, "settings_page.png"))
        submit(b, "details")
        check("saved message", "Settings successfully saved. Restart the service to apply the configuration settings!"
              in b.js("document.body.innerText"))
        c = ini(ini_path)
        check("file: wallbox in use at the new address",
              c.get("wallbox", "using") == "TRUE" and c.get("wallbox", "host") == "10.20.30.40")
        check("file: start mode quick", c.get("infrastructure", "startmode") == "QUICK")
        check("file: activation kept (field disabled)", c.get("wallbox", "activation") == "-1380")
        check("file: OEM meter in use", c.get("smartmeter", "using") == "TRUE" and c.get("smartmeter", "type") == "OEM"
              and c.get("smartmeter", "host") == "224.3.29.71" and c.get("smartmeter", "port") == "10004")
        check("file: KNX interval 10, storage ratio 100, fuses 32000",
              c.get("knx", "interval") == "10" and c.get("storagesystem", "evratio") == "100" and
              c.get("infrastructure", "current") == "32000")
        check("page shows the saved address", b.js(f"{f}.WallboxIP.value") == "10.20.30.40")
        check("redirected to the page", b.js("location.pathname + location.search") == "/settings?saved=1")
        check("says when, with a Restart button", "The new settings take effect after a restart." in
              b.js("document.body.innerText") and b.js("!!document.querySelector('input[value=\"Restart service\"]')"))
        # A reload repeats the GET only: a value changed in the file since stays.
        with open(ini_path) as fh:
            text = fh.read()
        with open(ini_path, "w") as fh:
            fh.write(set_line(text, "knx", "interval", "33"))
        b.events = [e for e in b.events if e.get("method") != "Page.loadEventFired"]
        b.send("Page.reload")
        b.wait_event("Page.loadEventFired")
        check("reload posted nothing", ini(ini_path).get("knx", "interval") == "33" and
              "successfully saved" in b.js("document.body.innerText"))

        # KNX page
        k = "document.forms['vioform'].elements"
        b.navigate(base + "/knx")
        check("KNX page title", b.js("document.title") == "Orvane KNX page")
        check("unticked datapoint: address disabled", b.js(f"{k}.g_2.disabled") is True)
        b.js(f"{k}.c_2.click()")
        check("ticked datapoint: address enabled", b.js(f"{k}.g_2.disabled") is False)
        b.js(f"{k}.g_2.value = 'abc'")
        msg = dialog_of(b, "document.forms['vioform'].requestSubmit()")
        check("bad group address: alert",
              msg == "Following errors are detected: \ng_2: abc is not a valid group address\n")
        b.js(f"{k}.g_2.value = '1/2/3'")
        b.screenshot(os.path.join(out, "knx_page.png"))
        submit(b, "vioform")
        check("KNX saved message", "Restart the service to apply the knx configuration settings!"
              in b.js("document.body.innerText"))
        c = ini(ini_path)
        check("file: datapoint 2", c.get("dpt_2", "using") == "TRUE" and c.get("dpt_2", "groupadr") == "1/2/3")
        # Saving a page unchanged leaves the file unchanged, odd values and
        # rows the KNX page hides included.
        with open(ini_path) as fh:
            text = fh.read()
        for section, key, value in (("infrastructure", "startmode", "OFF"), ("smartmeter", "type", "LOCAL"),
                                    ("mysql", "using", "TRUE"), ("mysql", "username", '"Pa$$! ;#x"'),
                                    ("mysql", "database", "\" lead'q\""), ("mysql", "password", "p%41\"w"),
                                    ("dpt_12", "using", "TRUE"), ("dpt_12", "groupadr", "3/4/5")):
            text = set_line(text, section, key, value)
        with open(ini_path, "w") as fh:
            fh.write(text)
        for page in ("/settings", "/knx"):
            b.navigate(base + page)
            click_save(b)
            check(f"{page}: saved unchanged", "successfully saved" in b.js("document.body.innerText"))
            with open(ini_path) as fh:
                after = fh.read()
            check(f"{page}: file unchanged" + ("" if after == text else f":\n{after}"), after == text)
        exc = b.exceptions()
        check("no script errors" + ("" if not exc else f": {exc[0]['params']['exceptionDetails'].get('text')}"),
              not exc)
    except Exception as e:  # a broken step is a failed check, not a crash
        check(f"browser run: {e!r}", False)
    finally:
        b.close()
    return 1 if cdp_drive.FAILS else 0


if __name__ == "__main__":
    sys.exit(main())
