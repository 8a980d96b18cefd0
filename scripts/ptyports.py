#!/usr/bin/env python3
"""Runs a program in a private /dev whose serial ports are pseudo-terminals; you play the scanner.

    scripts/try [--port NAME]... [--busy NAME]... [--script FILE] [-- COMMAND [ARG]...]

Without a COMMAND, scripts/try builds Lumora if needed and runs it.

Inside, /dev holds only null, zero, full, random, urandom, tty, a private pts and shm, and one
pseudo-terminal per port at /dev/NAME (default: ttyACM0). The machine's real serial devices
are not there, so the program cannot reach them. The far end of every port stays here: type a
line and Enter to send it as a barcode ended by CR; lines starting with ':' are commands.
--script FILE runs FILE's lines first. In a script, or with input that is not a terminal, a
failed command ends the run. At the end of the input the program is stopped.

Exit status: the program's when it ends by itself, 0 when it was stopped, 1 after a failed
command, 2 for a usage error, 3 when no private mount namespace can be had here (neither root
nor unprivileged user namespaces).
"""
import argparse
import os
import re
import select
import shutil
import signal
import subprocess
import sys
import time

sys.dont_write_bytecode = True  # no __pycache__ left in the checkout
from privatedev import RESERVED_NAMES, DevListings, Port, enter_private_dev, family, libc

NO_NAMESPACE = 3
DEFAULT_TIMEOUT = 30.0
PR_SET_PDEATHSIG = 1
ESCAPES = {b"r": b"\r", b"n": b"\n", b"t": b"\t", b"\\": b"\\"}

COMMANDS = """\
  TEXT                  send TEXT and a CR to the current port (# starts a comment)
  :send TEXT            send TEXT as it is; \\r \\n \\t \\xHH and \\\\ are escapes
  :port NAME            make NAME the current port
  :unplug [NAME]        pull the scanner out: /dev/NAME goes away and the far end hangs up
  :plug [NAME]          plug a scanner in: a new pseudo-terminal at /dev/NAME
  :busy [NAME]          hold the port as a terminal program does (flock and TIOCEXCL)
  :free [NAME]          let go of a port held with :busy
  :ok [SECONDS]         press OK in the program's message box (needs DISPLAY and xdotool)
  :status [NAME]        who has the ports open, and their settings
  :wait [NAME] open|closed|gone [SECONDS]
                        wait until the program has the port open at 9600 8N1; until no one
                        but us has it open; or, after an unplug, until the program let go of
                        the old device and has listed /dev since (so it has seen it go, and
                        a device plugged in at the name is new to it); default 30 s
  :sleep SECONDS        pause
  :quit                 stop the program and end"""


class Failed(Exception):
    pass


def unescape(text):
    return re.sub(rb"\\(x[0-9A-Fa-f]{2}|[rnt\\])",
                  lambda m: bytes([int(m[1][1:], 16)]) if m[1][:1] == b"x" else ESCAPES[m[1]],
                  text)


class Session:
    def __init__(self, ports, busy, command):
        self.ports = {name: Port(name) for name in ports}
        self.current = ports[0]
        self.listings = DevListings()
        for port in self.ports.values():
            port.plug()
        for name in busy:
            self.ports[name].hold()
        # The program must not outlive us: it would hold ports no one can unplug any more.
        self.child = subprocess.Popen(
            command, preexec_fn=lambda: libc.prctl(PR_SET_PDEATHSIG, signal.SIGTERM))
        self.exited = os.pidfd_open(self.child.pid)

    def say(self, text):
        print(f"try: {text}", file=sys.stderr, flush=True)

    def port(self, name=None):
        name = (name or self.current).removeprefix("/dev/")
        if name not in self.ports:
            raise Failed(f"no port {name} (ports: {', '.join(self.ports)})")
        return self.ports[name]

    def pump(self, timeout, with_input=False):
        """Waits up to `timeout` seconds for the program to write or end, and for input if
        `with_input`; says whether there is input to read."""
        masters = {p.master: p for p in self.ports.values() if p.plugged}
        watched = [*masters, self.exited] + ([0] if with_input else [])
        ready, _, _ = select.select(watched, [], [], timeout)
        for fd in set(ready) & set(masters):
            if data := masters[fd].read_written():
                self.say(f"the program wrote {len(data)} bytes to {masters[fd].name}: {data!r}")
        if self.exited in ready:
            raise SystemExit(self.finish(stop=False))
        return 0 in ready

    def until(self, timeout, condition, what):
        deadline = time.monotonic() + timeout
        while not condition():
            if time.monotonic() > deadline:
                raise Failed(f"gave up after {timeout:g} s waiting for {what}")
            self.pump(0.1)

    def status(self, port):
        parts = [f"plugged at {os.ttyname(port.slave)}" if port.plugged else "unplugged"]
        if port.holder is not None:
            parts.append("held busy by us")
        who = ", ".join(f"{name}[{pid}]" for pid, name in port.holders(self.child.pid))
        if port.plugged:
            parts += [f"open by {who}" if who else "not open", port.settings()]
            if unread := port.unread():
                parts.append(f"{unread} bytes unread")
        else:
            parts.append(f"old device still open by {who}" if who else "let go")
        return f"{port.name}: " + ", ".join(parts)

    def is_open(self, port):
        return (port.plugged and port.holders(self.child.pid)
                and port.settings().startswith("9600 8N1"))

    def press_ok(self, timeout):
        if not os.environ.get("DISPLAY") or not shutil.which("xdotool"):
            raise Failed("needs an X display (DISPLAY) and xdotool (apt install xdotool)")

        def windows():
            found = set()
            for pid in family(self.child.pid):
                out = subprocess.run(["xdotool", "search", "--onlyvisible", "--pid", str(pid)],
                                     capture_output=True, text=True).stdout
                found.update(int(w) for w in out.split())
            return sorted(found)

        # The program's windows are its main window, mapped first, and modal message boxes
        # over it: the newest window is the box on top.
        self.until(timeout, lambda: len(windows()) > 1, "a message box")
        box = windows()[-1]
        # A real key press on the focused box. A press sent to the window alone closes the box,
        # but the release then finds no window and Qt takes the next box as answered too.
        subprocess.run(["xdotool", "windowfocus", "--sync", str(box), "key", "Return"],
                       stderr=subprocess.DEVNULL, timeout=timeout)
        self.until(timeout, lambda: box not in windows(), "the message box to close")

    def execute(self, line):
        if not line.startswith(b":"):
            return self.send(line + b"\r")
        verb, _, rest = line[1:].partition(b" ")
        verb, args = verb.decode(errors="replace"), rest.decode(errors="replace").split()
        if verb == "send":
            self.send(unescape(rest))
        elif verb == "port":
            self.current = self.port(*args[:1]).name
        elif verb == "plug":
            name = (args[0] if args else self.current).removeprefix("/dev/")
            if "/" in name or name in RESERVED_NAMES:
                raise Failed(f"{name} cannot be a port")
            port = self.ports.setdefault(name, Port(name))
            if port.plugged:
                raise Failed(f"{name} is plugged in already")
            port.plug()
        elif verb == "unplug":
            port = self.port(*args[:1])
            if not port.plugged:
                raise Failed(f"{port.name} is not plugged in")
            port.unplug()
            self.listings.count()  # a listing from before may still have seen the device
        elif verb == "busy":
            port = self.port(*args[:1])
            if not port.plugged or port.holder is not None:
                raise Failed(f"{port.name} is not plugged in, or held already")
            try:
                port.hold()
            except OSError as e:
                raise Failed(f"cannot hold {port.name}: {e.strerror} (the program has it?)")
        elif verb == "free":
            port = self.port(*args[:1])
            if port.holder is None:
                raise Failed(f"{port.name} is not held")
            port.release()
        elif verb == "ok":
            self.press_ok(float(args[0]) if args else DEFAULT_TIMEOUT)
        elif verb == "status":
            for port in [self.port(args[0])] if args else self.ports.values():
                print(self.status(port), flush=True)
        elif verb == "wait":
            self.wait(args)
        elif verb == "sleep":
            deadline = time.monotonic() + float(args[0])
            while (left := deadline - time.monotonic()) > 0:
                self.pump(left)
        elif verb == "quit":
            raise SystemExit(self.finish(stop=True))
        elif verb == "help":
            print(COMMANDS, flush=True)
        else:
            raise Failed(f"unknown command :{verb} (:help lists them)")

    def send(self, data):
        port = self.port()
        if not port.plugged:
            raise Failed(f"{port.name} is not plugged in")
        if left := port.send(data):
            raise Failed(f"{port.name}'s input is full: {left} bytes not sent")

    def wait(self, args):
        states = ("open", "closed", "gone")
        port = self.port(args.pop(0) if args and args[0] not in states else None)
        if not args or args[0] not in states:
            raise Failed("usage: :wait [NAME] open|closed|gone [SECONDS]")
        timeout = float(args[1]) if len(args) > 1 else DEFAULT_TIMEOUT
        if args[0] == "open":
            self.until(timeout, lambda: self.is_open(port), f"the program to open {port.name}")
            return
        if args[0] == "gone" and port.plugged:
            raise Failed(f"{port.name} is plugged in")
        self.until(timeout, lambda: not port.holders(self.child.pid),
                   f"the program to let go of {port.name}")
        if args[0] == "gone":
            self.listings.count()
            self.until(timeout, self.listings.count, "the program to list /dev")

    def run_line(self, line, strict):
        line = line.rstrip(b"\r\n")
        if not line or line.startswith(b"#"):
            return
        try:
            self.execute(line)
        except (Failed, OSError, ValueError, IndexError, subprocess.TimeoutExpired) as e:
            self.say(f"{line.decode(errors='replace')}: {e}")
            if strict:
                raise SystemExit(self.finish(stop=True, status=1))

    def run(self, script):
        for line in script:
            self.run_line(line, strict=True)
        interactive = os.isatty(0)
        if interactive:
            self.say(f"type a barcode and Enter to send it to {self.current}; :help lists the"
                     " commands, Ctrl-D ends")
        pending = b""
        while True:
            if not self.pump(None, with_input=True):
                continue
            data = os.read(0, 4096)
            if not data:
                return self.finish(stop=True)
            *lines, pending = (pending + data).split(b"\n")
            for line in lines:
                self.run_line(line, strict=not interactive)

    def finish(self, stop, status=None):
        if stop and self.child.poll() is None:
            self.child.terminate()
            try:
                self.child.wait(10)
            except subprocess.TimeoutExpired:
                self.child.kill()
        code = self.child.wait()
        if not stop:
            self.say(f"the program ended with status {code}")
        return status if status is not None else (0 if stop else code)


def main():
    ap = argparse.ArgumentParser(usage=__doc__.split("\n\n")[1].strip(),
                                 description=__doc__.split("\n\n", 2)[2],
                                 formatter_class=argparse.RawDescriptionHelpFormatter,
                                 epilog="commands:\n" + COMMANDS)
    ap.add_argument("--port", action="append", default=[], metavar="NAME",
                    help="a serial device at /dev/NAME (repeatable; default ttyACM0)")
    ap.add_argument("--busy", action="append", default=[], metavar="NAME",
                    help="a port held by another program from the start (repeatable)")
    ap.add_argument("--script", metavar="FILE", help="run FILE's lines first")
    ap.add_argument("command", nargs=argparse.REMAINDER, help=argparse.SUPPRESS)
    a = ap.parse_args()
    command = a.command[1:] if a.command[:1] == ["--"] else a.command
    if not command:
        ap.error("no command given")
    busy = [name.removeprefix("/dev/") for name in a.busy]
    ports = list(dict.fromkeys([name.removeprefix("/dev/") for name in a.port] + busy))
    if any(not name or "/" in name or name in RESERVED_NAMES for name in ports):
        ap.error("a port is a device name such as ttyACM0 or ttyUSB1")
    with open(a.script, "rb") if a.script else open(os.devnull, "rb") as f:
        script = f.readlines()

    try:
        enter_private_dev()
    except OSError as e:
        reason = e.strerror + (f" ({e.filename})" if e.filename else "")
        print(f"try: cannot make a private /dev here: {reason}.\n"
              "It needs root (sudo), or a kernel that lets users make user namespaces (Debian:\n"
              "sysctl kernel.unprivileged_userns_clone=1 and user.max_user_namespaces above 0;\n"
              "Ubuntu 23.10 and later: sysctl kernel.apparmor_restrict_unprivileged_userns=0).\n"
              "In a container it needs CAP_SYS_ADMIN; in a chroot it needs root.", file=sys.stderr)
        return NO_NAMESPACE
    try:
        session = Session(ports or ["ttyACM0"], busy, command)
    except OSError as e:
        print(f"try: {e}", file=sys.stderr)
        return 1
    try:
        return session.run(script)
    except KeyboardInterrupt:
        return session.finish(stop=True, status=130)


if __name__ == "__main__":
    sys.exit(main())
