"""What the rig shows, as stories told in order on one boot.

The guest has two ports with hardware behind them: ttyS1 (a 16550A UART, the 8250 driver)
and ttyUSB0 (an FTDI adapter, ftdi_sio); ttyS0 is the console and ttyS2, ttyS3 are UARTs the
8250 driver knows of with nothing fitted. ttyUSB sorts before ttyS, so the FTDI adapter is
Com Port 1 and the UART Com Port 2.

Lumora starts with both free and takes the FTDI adapter.
"""
REPORT_BOTH_FREE = ["Com Port 1 available", "Com Port 2 available", "Com Port 3 unavailable",
                    "Com Port 4 unavailable"]
NOT_PORTS = ("ttyS0", "ttyS2", "ttyS3")  # the console, and UARTs with nothing fitted


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


def check_report(checks, agent, expected, timeout=30):
    box = agent("box", timeout=timeout)
    lines = [line for line in box["text"].splitlines() if line.startswith("Com Port")]
    checks.check(lines == expected, "the Com Status box reports " + ", ".join(
        line.split(" ", 2)[2] for line in expected), f"it says {lines}")


def check_held_by_lumora(checks, agent, pid, name):
    port = agent("port", name=name)
    checks.check(port["holders"] == [[pid, "lumora"]], f"Lumora holds {name}, no one else",
                 f"held by {port['holders']}")


def startup_with_both_free(machine, checks):
    """Start-up with both ports free: the report, and the FTDI adapter opened as port 1"""
    agent = machine.agent
    pid = agent("start")["pid"]
    check_report(checks, agent, REPORT_BOTH_FREE)
    agent("ok")
    fields = agent("wait_field", field="connection", value="Connect to Comm 1")
    checks.check("/dev/ttyUSB0" in fields["tooltip"], "Connect to Comm 1 is /dev/ttyUSB0",
                 fields["tooltip"])
    check_held_by_lumora(checks, agent, pid, "ttyUSB0")
    for name in NOT_PORTS + ("ttyS1",):
        held = agent("port", name=name)["holders"]
        checks.check(not any(p == pid for p, _ in held), f"Lumora keeps no hold on {name}")


ALL = [startup_with_both_free]
