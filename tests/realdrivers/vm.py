"""The guest machine under QEMU, and the host's ends of its wires.

Two serial devices with real kernel drivers behind them, their far ends on this side:
- a 16550A UART (the kernel's built-in 8250 driver) at the guest's ttyS1, its line a telnet
  socket: data goes as it is (0xFF doubled), IAC BREAK sends a break;
- an FTDI USB serial adapter (ftdi_sio) on an xHCI controller at the guest's ttyUSB0, its line
  a plain socket; QMP unplugs and re-plugs it as a real USB unplug.
The guest console is ttyS0, written to console.log. The agent inside is reached over a
virtio port.
"""
import ctypes
import json
import os
import signal
import socket
import subprocess
import threading
import time

IAC, BREAK = 0xFF, 0xF3
TELNET_WITH_OPTION = (0xFB, 0xFC, 0xFD, 0xFE)  # WILL WONT DO DONT, followed by an option byte


class Failed(Exception):
    pass


PR_SET_PDEATHSIG = 1


def _die_with_parent():
    # QEMU goes when the rig goes, even when a test runner kills the rig outright.
    ctypes.CDLL(None, use_errno=True).prctl(PR_SET_PDEATHSIG, signal.SIGKILL)


def _connect(path, deadline, process):
    while True:
        try:
            s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
            s.connect(path)
            return s
        except OSError:
            s.close()
            if process.poll() is not None:
                raise Failed(f"QEMU ended with status {process.returncode}")
            if time.monotonic() > deadline:
                raise Failed(f"QEMU did not offer {path}")
            time.sleep(0.05)


class FarEnd:
    """The scanner's side of a port: sends bytes, and keeps every byte the guest wrote."""

    def __init__(self, sock, telnet):
        self.sock = sock
        self.telnet = telnet
        self.data = bytearray()
        self._state = None  # where the telnet parser is inside a command
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        while chunk := self._recv():
            for byte in chunk:
                self._take(byte)

    def _recv(self):
        try:
            return self.sock.recv(4096)
        except OSError:
            return b""

    def _take(self, byte):
        # QEMU's telnet server opens with its own option negotiation; only data counts.
        if not self.telnet:
            self.data.append(byte)
        elif self._state is None:
            if byte == IAC:
                self._state = "iac"
            else:
                self.data.append(byte)
        elif self._state == "iac":
            if byte == IAC:
                self.data.append(byte)
                self._state = None
            else:
                self._state = "option" if byte in TELNET_WITH_OPTION else None
        else:
            self._state = None

    def send(self, data):
        if self.telnet:
            data = data.replace(bytes([IAC]), bytes([IAC, IAC]))
        self.sock.sendall(data)

    def send_break(self):
        if not self.telnet:
            raise Failed("a break can only be sent on the telnet line")
        self.sock.sendall(bytes([IAC, BREAK]))


class Qmp:
    def __init__(self, sock):
        self.file = sock.makefile("rw")
        self.events = []
        self._read()  # the greeting
        self.command("qmp_capabilities")

    def _read(self):
        line = self.file.readline()
        if not line:
            raise Failed("QMP closed")
        return json.loads(line)

    def command(self, name, **arguments):
        self.file.write(json.dumps({"execute": name, "arguments": arguments}) + "\n")
        self.file.flush()
        while True:
            reply = self._read()
            if "event" in reply:
                self.events.append(reply)
            elif "error" in reply:
                raise Failed(f"QMP {name}: {reply['error'].get('desc')}")
            elif "return" in reply:
                return reply["return"]


class Agent:
    """JSON lines to and from the agent in the guest (agent.py)."""

    def __init__(self, sock):
        self.sock = sock
        self.file = sock.makefile("rw")

    def wait_ready(self, timeout):
        self.sock.settimeout(timeout)
        try:
            while True:
                line = self.file.readline()
                if not line:
                    raise Failed("the guest closed the agent's port")
                if json.loads(line).get("ready"):
                    break
        except socket.timeout:
            raise Failed(f"the guest's agent was not ready within {timeout:.0f} s")
        self.sock.settimeout(None)

    def __call__(self, command, **arguments):
        self.file.write(json.dumps({"cmd": command, **arguments}) + "\n")
        self.file.flush()
        # Commands that wait bring their own timeout; the agent answers after it at the latest.
        timeout = arguments.get("timeout", 0) + arguments.get("seconds", 0) + 60
        self.sock.settimeout(timeout)
        try:
            line = self.file.readline()
        except socket.timeout:
            raise Failed(f"the agent did not answer {command} within {timeout} s")
        if not line:
            raise Failed(f"the agent went away during {command}")
        reply = json.loads(line)
        if "error" in reply:
            raise Failed(f"agent {command}: {reply['error']}")
        return reply["result"]


class Machine:
    SCANNER = {"driver": "usb-serial", "id": "scanner", "chardev": "usbline",
               "always-plugged": True}

    def __init__(self, workdir, sockdir, vmlinuz, initrd, shares):
        self.workdir = workdir
        self.notes = {}  # what one story leaves for a later one
        sock = {name: os.path.join(sockdir, name) for name in ("qmp", "agent", "uart", "usb")}
        args = ["qemu-system-x86_64", "-nodefaults", "-display", "none", "-vga", "none",
                "-no-reboot", "-machine", "pc", "-m", "1024", "-smp", "2",
                "-kernel", vmlinuz, "-initrd", initrd,
                "-append", "console=ttyS0 panic=-1 loglevel=4 quiet",
                "-chardev", f"file,id=console,path={os.path.join(workdir, 'console.log')}",
                "-device", "isa-serial,index=0,chardev=console",
                "-chardev", f"socket,id=uart,path={sock['uart']},server=on,wait=off,telnet=on",
                "-device", "isa-serial,index=1,chardev=uart",
                "-device", "qemu-xhci,id=xhci",
                "-chardev", f"socket,id=usbline,path={sock['usb']},server=on,wait=off",
                "-device", "usb-serial,id=scanner,chardev=usbline,always-plugged=on",
                "-device", "virtio-serial-pci",
                "-chardev", f"socket,id=agent,path={sock['agent']},server=on,wait=off",
                "-device", "virtserialport,chardev=agent,name=rig",
                "-qmp", f"unix:{sock['qmp']},server=on,wait=off"]
        # QEMU's own translator, not KVM: a /dev/kvm that opens may still not run a guest
        # (nested virtualisation), and the timings below are set for the translator.
        args += ["-accel", "tcg,thread=multi"]
        for tag, (path, writable) in shares.items():
            args += ["-virtfs", f"local,path={path},mount_tag={tag},security_model=none,"
                                f"multidevs=remap{'' if writable else ',readonly=on'}"]
        self.log = open(os.path.join(workdir, "qemu.log"), "w")
        self.process = subprocess.Popen(args, stdin=subprocess.DEVNULL, stdout=self.log,
                                        stderr=subprocess.STDOUT, preexec_fn=_die_with_parent)
        deadline = time.monotonic() + 20
        try:
            def connect(name):
                return _connect(sock[name], deadline, self.process)

            self.qmp = Qmp(connect("qmp"))
            self.agent = Agent(connect("agent"))
            self.uart = FarEnd(connect("uart"), telnet=True)
            self.usb = FarEnd(connect("usb"), telnet=False)
        except Failed as e:
            self.stop()
            raise Failed(f"{e}\n{self.qemu_output()}")

    def qemu_output(self):
        with open(os.path.join(self.workdir, "qemu.log")) as f:
            return f.read()

    def console(self):
        try:
            with open(os.path.join(self.workdir, "console.log"), errors="replace") as f:
                return f.read()
        except OSError:
            return ""

    def unplug_scanner(self):
        self.qmp.command("device_del", id="scanner")

    def plug_scanner(self):
        # An unplug ends when the guest lets go of the device; until then its id is taken.
        deadline = time.monotonic() + 5
        while True:
            try:
                return self.qmp.command("device_add", **self.SCANNER)
            except Failed as e:
                if "Duplicate ID" not in str(e) or time.monotonic() > deadline:
                    raise
                time.sleep(0.1)

    def stop(self):
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait()
        self.log.close()
