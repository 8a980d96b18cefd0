"""Runs inside the guest: starts a desktop session and Lumora, and looks at both as a user
and the system's own tools would, answering the host's commands over the virtio port "rig".

The session is Xvfb, a D-Bus session bus and the accessibility bus. Lumora's window is read
through the accessibility tree, as a screen reader reads it: each field found by the heading
that labels it, every change it announces recorded with the time it came. Ports are looked at
through /dev, /proc and their ioctls. The agent never touches Lumora's insides.

One JSON object a line each way: {"cmd": NAME, ...arguments} in, {"result": ...} or
{"error": TEXT} out.
"""
import fcntl
import glob
import json
import os
import select
import signal
import struct
import subprocess
import sys
import termios
import time
import traceback

sys.dont_write_bytecode = True  # the source folder is read-only in the guest

TIOCGICOUNT = 0x545D
ICOUNT_FIELDS = ("cts", "dsr", "rng", "dcd", "rx", "tx", "frame", "overrun", "parity", "brk",
                 "buf_overrun")
LINES = {"dtr": termios.TIOCM_DTR, "rts": termios.TIOCM_RTS, "out1": 0x2000, "out2": 0x4000,
         "loop": 0x8000, "cts": termios.TIOCM_CTS, "dsr": termios.TIOCM_DSR,
         "ri": termios.TIOCM_RI, "cd": termios.TIOCM_CD}
HEADINGS = {"RS232 Connection": "connection", "Errors": "errors", "Current Bar Code": "barcode",
            "All Barcodes so far": "history"}
WATCHED_NODES = ("ttyS1", "ttyUSB0")
OUT = "/rig/out"


class Failed(Exception):
    pass


def rig_port():
    for name_file in glob.glob("/sys/class/virtio-ports/*/name"):
        with open(name_file) as f:
            if f.read().strip() == "rig":
                return "/dev/" + name_file.split("/")[-2]
    raise Failed("no virtio port named rig")


def start_session():
    """Xvfb, a session bus and the accessibility bus; returns the environment to run in."""
    env = dict(os.environ, DISPLAY=":0")
    subprocess.Popen(["Xvfb", ":0", "-nolisten", "tcp", "-screen", "0", "1024x768x24"],
                     stdout=subprocess.DEVNULL, stderr=open(f"{OUT}/xvfb.log", "w"))
    bus = subprocess.run(["dbus-daemon", "--session", "--fork", "--nopidfile",
                          "--print-address=1"], capture_output=True, text=True, check=True)
    env["DBUS_SESSION_BUS_ADDRESS"] = bus.stdout.strip()
    deadline = time.monotonic() + 30
    while not os.path.exists("/tmp/.X11-unix/X0"):
        if time.monotonic() > deadline:
            raise Failed("Xvfb did not start")
        time.sleep(0.05)
    subprocess.Popen(["/usr/libexec/at-spi-bus-launcher", "--launch-immediately"], env=env,
                     stdout=subprocess.DEVNULL, stderr=open(f"{OUT}/at-spi.log", "w"))
    os.environ.update(env)
    return env


class Window:
    """Lumora's window as the accessibility tree shows it."""

    def __init__(self, pyatspi, record):
        self.pyatspi = pyatspi
        self.fields = {}
        self.record = record
        pyatspi.Registry.registerEventListener(self._event,
                                               "object:property-change:accessible-name",
                                               "object:text-changed:insert")

    def _event(self, event):
        field = next((k for k, v in self.fields.items() if v == event.source), None)
        if field:
            # Qt names only the object whose name changed, so the name is read now, as a
            # screen reader would; inserted text comes with the announcement.
            text = event.any_data if isinstance(event.any_data, str) else event.source.name
            self.record({"field": field, "type": event.type, "text": text})

    def app(self):
        desktop = self.pyatspi.Registry.getDesktop(0)
        return next((a for a in desktop if a is not None and a.name == "lumora"), None)

    def _walk(self, node):
        yield node
        for child in node:
            if child is not None:
                yield from self._walk(child)

    def find_fields(self):
        app = self.app()
        if app is None:
            return False
        found = {}
        for node in self._walk(app):
            for relation in node.getRelationSet():
                if relation.getRelationType() == self.pyatspi.RELATION_LABELLED_BY:
                    heading = relation.getTarget(0).name
                    if heading in HEADINGS:
                        found[HEADINGS[heading]] = node
        if len(found) == len(HEADINGS):
            self.fields = found
            return True
        return False

    def read(self):
        def text(node):
            t = node.queryText()
            return t.getText(0, t.characterCount)

        # details: what a screen reader is told of the connection, the device's path first.
        f = self.fields
        return {"connection": f["connection"].name, "details": f["connection"].description,
                "errors": f["errors"].name, "barcode": text(f["barcode"]),
                "history": text(f["history"])}

    def _window(self, title):
        app = self.app()
        return next((w for w in (app or []) if w is not None and w.name == title), None)

    def box(self, title):
        """The text of the message box titled `title`, or None."""
        window = self._window(title)
        if window is None:
            return None
        labels = [n.name for n in self._walk(window)
                  if n.getRole() == self.pyatspi.ROLE_LABEL and n.name]
        return "\n".join(labels)

    def button(self, title, name):
        """The button `name` in the window titled `title`, once it is on screen."""
        window = self._window(title)
        for node in self._walk(window) if window is not None else []:
            if (node.getRole() == self.pyatspi.ROLE_PUSH_BUTTON and node.name == name
                    and node.getState().contains(self.pyatspi.STATE_SHOWING)):
                return node
        return None


class Agent:
    """Serves the host's commands, recording announcements and device nodes in between."""

    def __init__(self, commands, replies):
        self.commands = commands
        self.replies = replies
        self.env = start_session()
        import pyatspi  # after the session bus exists
        from gi.repository import GLib
        self.context = GLib.MainContext.default()
        self.events = []
        self.window = Window(pyatspi, self._record)
        self.lumora = None
        self.runs = 0
        self.holders = {}
        self.line_ports = {}
        self.nodes = {n: os.path.exists("/dev/" + n) for n in WATCHED_NODES}

    def _record(self, entry):
        self.events.append(dict(entry, t=time.monotonic()))

    def pump(self, seconds=0.0):
        """Lets announcements arrive and notes device nodes coming and going, for `seconds`."""
        end = time.monotonic() + seconds
        while True:
            # Nodes first: what the program announces in answer to a node going comes after.
            for name, was in self.nodes.items():
                now = os.path.exists("/dev/" + name)
                if now != was:
                    self.nodes[name] = now
                    self._record({"node": name, "present": now})
            while self.context.pending():
                self.context.iteration(False)
            left = end - time.monotonic()
            if left <= 0:
                return
            time.sleep(min(left, 0.01))

    def until(self, timeout, what, check):
        deadline = time.monotonic() + timeout
        while True:
            result = check()
            if result:
                return result
            if time.monotonic() > deadline:
                raise Failed(f"no {what} within {timeout} s")
            self.pump(0.05)

    # Each cmd_NAME answers {"cmd": NAME, ...}; its keyword arguments are the request's.

    def cmd_start(self, timeout=60):
        self.runs += 1
        # Full stacks in a sanitizer's reports, should the binary be built with one.
        env = dict(self.env, QT_QPA_PLATFORM="xcb", QT_LINUX_ACCESSIBILITY_ALWAYS_ON="1",
                   ASAN_OPTIONS="fast_unwind_on_malloc=0")
        log = open(f"{OUT}/lumora-{self.runs}.log", "w")
        self.lumora = subprocess.Popen(["/rig/app/lumora"], env=env, stdout=log,
                                       stderr=subprocess.STDOUT)
        self.until(timeout, "window in the accessibility tree", self.window.find_fields)
        return {"pid": self.lumora.pid, "t": time.monotonic()}

    def cmd_box(self, title="Com Status", timeout=30):
        text = self.until(timeout, f"'{title}' box", lambda: self.window.box(title))
        return {"text": text, "t": time.monotonic()}

    def cmd_ok(self, title="Com Status", timeout=20):
        """Clicks the box's OK button with the pointer, as a user closes it. (A key press would
        do as well, but with a screen reader on Qt keeps a copy of each key event until the
        screen reader answers, and one still waiting at exit is reported as a leak under
        LeakSanitizer.)"""
        button = self.until(timeout, f"OK in the '{title}' box",
                            lambda: self.window.button(title, "OK"))
        extents = button.queryComponent().getExtents(self.window.pyatspi.DESKTOP_COORDS)
        x, y = extents.x + extents.width // 2, extents.y + extents.height // 2
        subprocess.run(["xdotool", "mousemove", "--sync", str(x), str(y), "click", "1"],
                       capture_output=True, timeout=timeout)
        self.until(timeout, f"'{title}' box to close", lambda: self.window.box(title) is None)
        return {"t": time.monotonic()}

    def cmd_fields(self):
        self.pump()
        return dict(self.window.read(), t=time.monotonic())

    def cmd_wait_field(self, field, value, timeout=30):
        self.until(timeout, f"{field} showing {value!r}",
                   lambda: self.window.read()[field] == value)
        return self.cmd_fields()

    def cmd_events(self, since=0):
        self.pump()
        return {"events": self.events[since:], "next": len(self.events), "t": time.monotonic()}

    def cmd_wait_event(self, since, field, text=None, timeout=30):
        """The first announcement from `field` (with `text`, if given) at or after `since`."""
        def found():
            return next((e for e in self.events[since:] if e.get("field") == field
                         and (text is None or e.get("text") == text)), None)

        return self.until(timeout, f"announcement from {field} of {text!r}", found)

    def cmd_idle(self, seconds):
        self.pump(seconds)
        return {"t": time.monotonic()}

    def cmd_port(self, name, settings=False):
        path = "/dev/" + name
        result = {"exists": os.path.exists(path), "holders": holders(path)}
        if result["exists"] and settings:
            # Opening a port someone else holds exclusively works for root only, as here. Every
            # open raises DTR and RTS, so the line stories move lines through one open only.
            result["stty"] = run(["stty", "-a", "-F", path])
            result["saved"] = run(["stty", "-g", "-F", path])
            fd = os.open(path, os.O_RDONLY | os.O_NOCTTY | os.O_NONBLOCK)
            try:
                counts = fcntl.ioctl(fd, TIOCGICOUNT, bytes(80))
                result["icount"] = dict(zip(ICOUNT_FIELDS, struct.unpack("20i", counts)))
                bits = struct.unpack("i", fcntl.ioctl(fd, termios.TIOCMGET, bytes(4)))[0]
                result["lines"] = sorted(k for k, v in LINES.items() if bits & v)
            except OSError as e:
                result["ioctl_error"] = str(e)
            finally:
                os.close(fd)
        return result

    def cmd_stty(self, name, settings):
        subprocess.run(["stty", "-F", "/dev/" + name] + settings, check=True)
        return {}

    def cmd_lines(self, name, set=(), clear=()):
        """Moves the port's modem control lines, as the driver sets them (TIOCMBIS/TIOCMBIC).
        The port stays open here until let_go: every open of a tty raises DTR and RTS again."""
        if name not in self.line_ports:
            flags = os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK
            self.line_ports[name] = os.open("/dev/" + name, flags)
        fd = self.line_ports[name]
        for request, names in ((termios.TIOCMBIC, clear), (termios.TIOCMBIS, set)):
            bits = sum(LINES[n] for n in names)
            if bits:
                fcntl.ioctl(fd, request, struct.pack("i", bits))
        return {"t": time.monotonic()}

    def cmd_let_go(self, name):
        os.close(self.line_ports.pop(name))
        return {}

    def cmd_hold(self, name, speed="38400"):
        """Another program takes the port as terminal programs do: flock and TIOCEXCL."""
        holder = subprocess.Popen([sys.executable, __file__, "--hold", "/dev/" + name, speed],
                                  stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        if holder.stdout.readline().strip() != b"held":
            raise Failed(f"could not hold {name}")
        self.holders[name] = holder
        return {"pid": holder.pid}

    def cmd_release(self, name):
        holder = self.holders.pop(name)
        holder.stdin.close()
        holder.wait()
        return {}

    def cmd_cpu(self, seconds):
        """Lumora's CPU time over `seconds`, as a share of one core."""
        before = cpu_seconds(self.lumora.pid)
        self.pump(seconds)
        return {"share": (cpu_seconds(self.lumora.pid) - before) / seconds}

    def cmd_term(self, timeout=20):
        if self.lumora is None or self.lumora.poll() is not None:
            return {"status": None}
        self.lumora.send_signal(signal.SIGTERM)
        try:
            status = self.lumora.wait(timeout)
        except subprocess.TimeoutExpired:
            self.lumora.kill()
            raise Failed("Lumora did not end on SIGTERM")
        self.window.fields = {}
        return {"status": status}

    def serve(self):
        self.reply({"ready": True})
        while True:
            ready, _, _ = select.select([self.commands], [], [], 0.01)
            if not ready:
                self.pump()
                continue
            line = self.commands.readline()
            if not line:
                return
            request = json.loads(line)
            try:
                reply = {"result": getattr(self, "cmd_" + request.pop("cmd"))(**request)}
            except Exception as e:  # the host shows it and fails the check
                reply = {"error": f"{type(e).__name__}: {e}"}
                traceback.print_exc()
            self.reply(reply)

    def reply(self, message):
        self.replies.write(json.dumps(message) + "\n")
        self.replies.flush()


def run(args):
    return subprocess.run(args, capture_output=True, text=True).stdout.strip()


def holders(path):
    """The processes that have `path` open: (pid, command name)."""
    found = []
    for fd_dir in glob.glob("/proc/[0-9]*/fd"):
        pid = fd_dir.split("/")[2]
        try:
            if any(os.readlink(f"{fd_dir}/{fd}") == path for fd in os.listdir(fd_dir)):
                with open(f"/proc/{pid}/comm") as f:
                    found.append([int(pid), f.read().strip()])
        except OSError:
            pass
    return found


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def hold(path, speed):
    fd = os.open(path, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
    attributes = termios.tcgetattr(fd)
    attributes[4] = attributes[5] = getattr(termios, "B" + speed)
    termios.tcsetattr(fd, termios.TCSANOW, attributes)
    fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
    fcntl.ioctl(fd, termios.TIOCEXCL)
    print("held", flush=True)
    sys.stdin.read()  # until the agent lets go


if __name__ == "__main__":
    if sys.argv[1:2] == ["--hold"]:
        hold(sys.argv[2], sys.argv[3])
    else:
        port = os.open(rig_port(), os.O_RDWR)
        Agent(os.fdopen(port, "r"), os.fdopen(os.dup(port), "w")).serve()
