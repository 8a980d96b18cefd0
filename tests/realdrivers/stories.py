"""What the rig shows, as stories told in order on one boot.

The guest has two ports with hardware behind them: ttyS1 (a 16550A UART, the 8250 driver)
and ttyUSB0 (an FTDI adapter, ftdi_sio); ttyS0 is the console and ttyS2, ttyS3 are UARTs the
8250 driver knows of with nothing fitted. ttyUSB sorts before ttyS, so the FTDI adapter is
Com Port 1 and the UART Com Port 2.

The first run of Lumora finds both free, takes the FTDI adapter, loses it to an unplug and
gets it back; the second finds the adapter held by another program and takes the UART, which
sends a break and moves its modem lines; the third finds the UART held and takes the adapter.
"""
BARCODE = b"4006381333931"
ALL_BYTES = bytes(range(256))
REPORT_BOTH_FREE = ["Com Port 1 available", "Com Port 2 available", "Com Port 3 unavailable",
                    "Com Port 4 unavailable"]
REPORT_ADAPTER_HELD = ["Com Port 1 unavailable", "Com Port 2 available",
                       "Com Port 3 unavailable", "Com Port 4 unavailable"]
REPORT_UART_HELD = ["Com Port 1 available", "Com Port 2 unavailable", "Com Port 3 unavailable",
                    "Com Port 4 unavailable"]
NOT_PORTS = ("ttyS0", "ttyS2", "ttyS3")  # the console, and UARTs with nothing fitted
# Lumora's terminal settings for 9600 8N1 with nothing done to the data, as stty names them.
OPEN_SETTINGS = ["speed 9600 baud", "cs8", "-parenb", "-cstopb", "-icanon", "-echo", "-isig",
                 "-iexten", "-opost", "-ixon", "-icrnl", "-inlcr", "-igncr", "-istrip"]
UNPLUG_NOTICED_S = 0.5
# Of one core under QEMU's translator, where even an idle Lumora costs a few percent, and a
# sanitized build (every instruction checked, then translated) some tens of percent; a spinning
# loop takes all of it.
CPU_SHARE_MAX = 0.6


class Checks:
    def __init__(self, log):
        self.log = log
        self.passed = 0
        self.failed = []

    def check(self, ok, what, detail=""):
        self.log(f"  {'ok  ' if ok else 'FAIL'} {what}{'' if ok or not detail else ': ' + detail}")
        if ok:
            self.passed += 1
        else:
            self.failed.append(what)
        return ok


def check_put_back_after_sigterm(agent, checks, name, before):
    """Ends Lumora with SIGTERM: it quits the normal way and the port has its settings back"""
    status = agent("term")["status"]
    checks.check(status == 0, "Lumora ends on SIGTERM with status 0", f"status {status}")
    after = agent("port", name=name, settings=True)["saved"]
    checks.check(after == before, f"{name}'s settings are put back after SIGTERM",
                 f"{before} became {after}")


def shown(data):
    """How the window shows received bytes: one character each, controls as pictures."""
    special = {0x7F: "\u2421", 0x85: "\u2424", 0xA0: "\u237D", 0xAD: "\u2E17"}
    return "".join(chr(0x2400 + b) if b < 0x20 else special.get(b, chr(b)) for b in data)


def settings_problems(stty):
    words = " " + " ".join(stty.replace(";", " ").split()) + " "
    return [s for s in OPEN_SETTINGS if f" {s} " not in words]


def announced(events, field):
    """What a field announced: Qt says each change twice (the label's and the widget's)."""
    said = []
    for e in events:
        if e.get("field") == field and (not said or said[-1] != e["text"]):
            said.append(e["text"])
    return said


def check_report(checks, agent, expected, timeout=30):
    box = agent("box", timeout=timeout)
    lines = [line for line in box["text"].splitlines() if line.startswith("Com Port")]
    checks.check(lines == expected, "the Com Status box reports " + ", ".join(
        line.split(" ", 2)[2] for line in expected), f"it says {lines}")


def check_held_by_lumora(checks, agent, pid, name):
    port = agent("port", name=name)
    checks.check(port["holders"] == [[pid, "lumora"]], f"Lumora holds {name}, no one else",
                 f"held by {port['holders']}")


def check_receives(checks, agent, far_end, name):
    """A barcode, then every byte value: exact in the history and the barcode field."""
    port = agent("port", name=name, settings=True)
    problems = settings_problems(port["stty"])
    checks.check(not problems, f"{name} is open at 9600 8N1 raw", f"differs in {problems}: "
                 f"{port['stty']}")
    since = agent("events")["next"]
    far_end.send(BARCODE + b"\r")
    agent("wait_event", since=since, field="barcode", text=BARCODE.decode())
    checks.check(True, f"a barcode on {name} is shown in Current Bar Code")

    before = agent("fields")["history"]
    since = agent("events")["next"]
    far_end.send(ALL_BYTES + b"\r")
    # A CR ends a barcode, so the bytes after 0x0D make the barcode shown last.
    last = shown(ALL_BYTES[0x0E:])
    agent("wait_event", since=since, field="barcode", text=last)
    checks.check(True, f"bytes 0x0E-0xFF on {name} are the barcode shown, each as itself")
    history = agent("fields")["history"]
    added = history[len(before):] if history.startswith(before) else history
    expected = shown(ALL_BYTES[:0x0D]) + "\n" + last + "\n"
    checks.check(added == expected, f"every byte 0x00-0xFF on {name} is in the history exactly",
                 f"added {added!r}")
    after = agent("port", name=name, settings=True)
    counted = after["icount"]["rx"] - port["icount"]["rx"]
    checks.check(counted == len(BARCODE) + 1 + 257, f"the {name} driver counted each byte once",
                 f"rx moved by {counted}")


def check_nothing_written(checks, machine):
    for name, far_end in (("ttyS1", machine.uart), ("ttyUSB0", machine.usb)):
        checks.check(not far_end.data, f"nothing was written to {name}",
                     f"the far end received {bytes(far_end.data)[:40]!r}")


def startup_with_both_free(machine, checks):
    """Start-up with both ports free: the report, and the FTDI adapter opened as port 1"""
    agent = machine.agent
    pid = agent("start")["pid"]
    check_report(checks, agent, REPORT_BOTH_FREE)
    agent("ok")
    fields = agent("wait_field", field="connection", value="Connect to Comm 1")
    checks.check("/dev/ttyUSB0" in fields["details"], "Connect to Comm 1 is /dev/ttyUSB0",
                 fields["details"])
    check_held_by_lumora(checks, agent, pid, "ttyUSB0")
    for name in NOT_PORTS + ("ttyS1",):
        held = agent("port", name=name)["holders"]
        checks.check(not any(p == pid for p, _ in held), f"Lumora keeps no hold on {name}")


def ftdi_receives(machine, checks):
    """FTDI adapter: a barcode and every byte value arrive exact; no line event is reported"""
    agent = machine.agent
    check_receives(checks, agent, machine.usb, "ttyUSB0")
    # ftdi_sio's first modem-status packet after the open is no line change.
    errors = agent("fields")["errors"]
    checks.check(errors == "No Errors", "Errors still says No Errors after the first data on "
                 "the FTDI adapter", f"it says {errors}")


def ftdi_unplug(machine, checks):
    """FTDI adapter pulled out while open: Lumora says so at once, stays idle, opens no other"""
    agent = machine.agent
    agent("idle", seconds=1)  # announcements of the connection may still be on their way
    since = agent("events")["next"]
    machine.unplug_scanner()
    said = agent("wait_event", since=since, field="connection", timeout=10)
    events = agent("events", since=since)["events"]
    gone = next((e for e in events if e.get("node") == "ttyUSB0" and not e["present"]), None)
    if checks.check(gone is not None, "the guest's /dev/ttyUSB0 went with the unplug"):
        # Both are seen in the same 10 ms pass at best.
        delay = max(0.0, said["t"] - gone["t"])
        checks.check(delay <= UNPLUG_NOTICED_S, f"RS232 Connection changed "
                     f"{delay * 1000:.0f} ms after the device went (at most "
                     f"{UNPLUG_NOTICED_S * 1000:.0f})", f"{delay:.2f} s")
    agent("idle", seconds=1)  # the loss itself handled, and announced to the screen reader
    share = agent("cpu", seconds=3)["share"]
    checks.check(share <= CPU_SHARE_MAX, f"Lumora idles after the unplug ({share:.0%} of a core "
                 f"over 3 s)", f"{share:.0%}")
    # Lumora tries ports it could not open once a second; watch ttyS1 for longer than that.
    holders = []
    for _ in range(6):
        agent("idle", seconds=0.4)
        holders += agent("port", name="ttyS1")["holders"]
    checks.check(not holders, "ttyS1 is not opened in the adapter's place",
                 f"held by {holders}")
    connection = agent("fields")["connection"]
    checks.check(connection == "No RS232 Connection", "RS232 Connection still says "
                 "No RS232 Connection", connection)


def ftdi_replug(machine, checks):
    """FTDI adapter plugged back in: a new report, the adapter opened, its data arriving"""
    agent = machine.agent
    machine.plug_scanner()
    # Lumora scans within two seconds of a device appearing.
    check_report(checks, agent, REPORT_BOTH_FREE, timeout=10)
    before = agent("port", name="ttyUSB0", settings=True)["saved"]
    agent("ok")
    agent("wait_field", field="connection", value="Connect to Comm 1")
    since = agent("events")["next"]
    machine.usb.send(BARCODE + b"\r")
    agent("wait_event", since=since, field="barcode", text=BARCODE.decode())
    checks.check(True, "a barcode arrives again after the re-plug")
    errors = agent("fields")["errors"]
    checks.check(errors == "No Errors", "Errors still says No Errors after the re-plug",
                 f"it says {errors}")
    check_put_back_after_sigterm(agent, checks, "ttyUSB0", before)


def held_adapter_left_alone(machine, checks):
    """Start-up with the FTDI adapter held by another program: left alone, the UART opened"""
    agent = machine.agent
    agent("term")
    holder = agent("hold", name="ttyUSB0")["pid"]
    held_settings = agent("port", name="ttyUSB0", settings=True)["saved"]
    # Settings of its own, so that putting them back shows.
    agent("stty", name="ttyS1", settings=["38400", "sane"])
    machine.notes["uart settings"] = agent("port", name="ttyS1", settings=True)["saved"]
    pid = agent("start")["pid"]
    check_report(checks, agent, REPORT_ADAPTER_HELD)
    agent("ok")
    fields = agent("wait_field", field="connection", value="Connect to Comm 2")
    checks.check("/dev/ttyS1" in fields["details"], "Connect to Comm 2 is /dev/ttyS1",
                 fields["details"])
    check_held_by_lumora(checks, agent, pid, "ttyS1")
    port = agent("port", name="ttyUSB0", settings=True)
    checks.check(port["holders"] == [[holder, "python3"]], "the held adapter is not opened",
                 f"held by {port['holders']}")
    checks.check(port["saved"] == held_settings, "the held adapter's settings are unchanged")
    agent("release", name="ttyUSB0")


def uart_receives(machine, checks):
    """16550A UART: a barcode and every byte value arrive exact (0xFF too)"""
    check_receives(checks, machine.agent, machine.uart, "ttyS1")


def uart_break(machine, checks):
    """16550A UART: a break is named comEventBreak and adds no character"""
    agent = machine.agent
    before = agent("port", name="ttyS1", settings=True)["icount"]
    history = agent("fields")["history"]
    since = agent("events")["next"]
    machine.uart.send_break()
    agent("wait_event", since=since, field="errors", text="comEventBreak", timeout=10)
    checks.check(True, "a break on ttyS1 is named comEventBreak in Errors")
    agent("idle", seconds=1)
    after = agent("fields")["history"]
    checks.check(after == history, "the break adds nothing to the history",
                 f"added {after[len(history):]!r}")
    counts = agent("port", name="ttyS1", settings=True)["icount"]
    # The driver counts the break's NUL as received too; Lumora must not show it.
    checks.check(counts["brk"] == before["brk"] + 1, "the 8250 driver counted one break",
                 f"brk {before['brk']}->{counts['brk']}")


# In the UART's loopback mode its modem inputs follow its outputs: RTS->CTS, DTR->DSR,
# OUT1->RI, OUT2->CD. Each step moves one output; Errors must announce the name once.
# RI falling is no ring. Steps alternate names, so that a repeated name would still be heard.
LINE_STEPS = [
    ({"clear": ["rts"]}, "comEvCTS"),
    ({"clear": ["dtr"]}, "comEvDSR"),
    ({"set": ["out1"]}, "comEvRing"),
    ({"clear": ["out2"]}, "comEvCD"),
    ({"set": ["rts"]}, "comEvCTS"),
    ({"set": ["out2"]}, "comEvCD"),
    ({"set": ["dtr"]}, "comEvDSR"),
    ({"clear": ["out1"]}, None),
]
LINE_SETTLE_S = 0.6  # Lumora looks at the lines every 100 ms


def uart_modem_lines(machine, checks):
    """16550A UART: each change of CTS, DSR, RI and CD is named once in Errors"""
    agent = machine.agent
    since = agent("events")["next"]
    agent("lines", name="ttyS1", set=["loop"])
    agent("idle", seconds=LINE_SETTLE_S)
    for move, name in LINE_STEPS:
        since = agent("events")["next"]
        agent("lines", name="ttyS1", **move)
        agent("idle", seconds=LINE_SETTLE_S)
        heard = announced(agent("events", since=since)["events"], "errors")
        line, action = next(iter(move.values()))[0], next(iter(move))
        checks.check(heard == ([name] if name else []), f"{action} {line.upper()}: Errors "
                     f"announces {name or 'nothing'}", f"heard {heard}")
    agent("lines", name="ttyS1", clear=["loop"])
    agent("let_go", name="ttyS1")


def uart_restored(machine, checks):
    """16550A UART: settings put back after SIGTERM"""
    agent = machine.agent
    check_put_back_after_sigterm(agent, checks, "ttyS1", machine.notes["uart settings"])


def held_uart_left_alone(machine, checks):
    """Start-up with the UART held by another program: left alone, the adapter opened"""
    agent = machine.agent
    agent("term")
    holder = agent("hold", name="ttyS1")["pid"]
    held_settings = agent("port", name="ttyS1", settings=True)["saved"]
    agent("stty", name="ttyUSB0", settings=["19200", "sane"])
    adapter_settings = agent("port", name="ttyUSB0", settings=True)["saved"]
    pid = agent("start")["pid"]
    check_report(checks, agent, REPORT_UART_HELD)
    agent("ok")
    agent("wait_field", field="connection", value="Connect to Comm 1")
    check_held_by_lumora(checks, agent, pid, "ttyUSB0")
    port = agent("port", name="ttyS1", settings=True)
    checks.check(port["holders"] == [[holder, "python3"]], "the held UART is not opened",
                 f"held by {port['holders']}")
    checks.check(port["saved"] == held_settings, "the held UART's settings are unchanged")
    check_put_back_after_sigterm(agent, checks, "ttyUSB0", adapter_settings)
    agent("release", name="ttyS1")


def nothing_written(machine, checks):
    """Nothing was written to either port in all that"""
    check_nothing_written(checks, machine)


ALL = [startup_with_both_free, ftdi_receives, ftdi_unplug, ftdi_replug, held_adapter_left_alone,
       uart_receives, uart_break, uart_modem_lines, uart_restored, held_uart_left_alone,
       nothing_written]
