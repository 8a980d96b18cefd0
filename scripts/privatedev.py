"""A private /dev whose serial ports are pseudo-terminals, and the far ends of those ports.

Used by ptyports.py (scripts/try). Linux only: mount namespaces, devpts, /proc.
"""
import ctypes
import fcntl
import os
import struct
import termios
import tty

BASIC_NODES = ("null", "zero", "full", "random", "urandom", "tty")
RESERVED_NAMES = BASIC_NODES + ("pts", "ptmx", "shm", "fd", "stdin", "stdout", "stderr")
SPEEDS = {getattr(termios, n): int(n[1:]) for n in dir(termios) if n[0] == "B" and n[1:].isdigit()}
BITS = {termios.CS5: 5, termios.CS6: 6, termios.CS7: 7, termios.CS8: 8}

libc = ctypes.CDLL(None, use_errno=True)
libc.mount.argtypes = [ctypes.c_char_p] * 3 + [ctypes.c_ulong, ctypes.c_char_p]
libc.umount2.argtypes = [ctypes.c_char_p, ctypes.c_int]
CLONE_NEWNS, CLONE_NEWUSER = 0x00020000, 0x10000000
MS_NOSUID, MS_NODEV, MS_NOEXEC, MS_BIND, MS_REC, MS_PRIVATE = 2, 4, 8, 4096, 16384, 1 << 18
MNT_DETACH = 2


def _checked(result, what):
    if result != 0:
        error = ctypes.get_errno()
        raise OSError(error, f"{what}: {os.strerror(error)}")


def _mount(source, target, fstype, flags=0, options=None):
    def enc(s):
        return s.encode() if s is not None else None

    _checked(libc.mount(enc(source), enc(target), enc(fstype), flags, enc(options)),
             f"mount {target}")


def enter_private_dev(user_namespace=False):
    """Moves this process into a mount namespace of its own and gives it a fresh /dev.

    With `user_namespace`, into a user namespace as well, even as root: there the kernel holds
    everyone off a terminal another program took with TIOCEXCL, as it holds off all but the
    machine's root. Raises OSError when the namespace or its mounts cannot be had."""
    uid, gid = os.getuid(), os.getgid()
    # Root needs only a mount namespace; anyone else becomes root of a user namespace first.
    attempts = ([CLONE_NEWNS] if os.geteuid() == 0 and not user_namespace else [])
    attempts.append(CLONE_NEWNS | CLONE_NEWUSER)
    for flags in attempts:
        if libc.unshare(flags) == 0:
            break
    else:
        _checked(-1, "unshare")
    if flags & CLONE_NEWUSER:
        for name, text in (("setgroups", "deny"), ("uid_map", f"0 {uid} 1"),
                           ("gid_map", f"0 {gid} 1")):
            with open(f"/proc/self/{name}", "w") as f:
                f.write(text)
    _mount(None, "/", None, MS_REC | MS_PRIVATE)  # nothing done here reaches the real /dev

    # Handles on the basic nodes, taken before the real /dev is covered, are bound back in.
    handles = {n: os.open("/dev/" + n, os.O_PATH) for n in BASIC_NODES
               if os.path.exists("/dev/" + n)}
    _mount("tmpfs", "/dev", "tmpfs", MS_NOSUID | MS_NOEXEC, "mode=755,size=1m")
    for name, handle in handles.items():
        open("/dev/" + name, "w").close()
        _mount(f"/proc/self/fd/{handle}", "/dev/" + name, None, MS_BIND)
        os.close(handle)
    # A devpts instance of our own: its ptmx may be opened inside a user namespace, and none
    # of the machine's terminals is visible.
    os.mkdir("/dev/pts")
    _mount("devpts", "/dev/pts", "devpts", MS_NOSUID | MS_NOEXEC,
           "newinstance,ptmxmode=0666,mode=0620")
    os.mkdir("/dev/shm")
    _mount("tmpfs", "/dev/shm", "tmpfs", MS_NOSUID | MS_NODEV, "mode=1777")
    for name, target in (("ptmx", "pts/ptmx"), ("fd", "/proc/self/fd"),
                         ("stdin", "/proc/self/fd/0"), ("stdout", "/proc/self/fd/1"),
                         ("stderr", "/proc/self/fd/2")):
        os.symlink(target, "/dev/" + name)


def family(root):
    """`root` and every process below it."""
    parents = {}
    for entry in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{entry}/stat", "rb") as f:
                stat = f.read()
        except OSError:  # not a process, or gone
            continue
        parents[int(entry)] = int(stat[stat.rindex(b")") + 2:].split()[1])
    found, frontier = [root], [root]
    while frontier:
        frontier = [pid for pid, parent in parents.items() if parent in frontier]
        found += frontier
    return found


def _command_name(pid):
    try:
        with open(f"/proc/{pid}/comm") as f:
            return f.read().strip()
    except OSError:
        return "?"


class DevListings:
    """Counts the times /dev itself is opened, that is, listed: a program that watches for
    devices coming and going lists it, and nothing else in the private /dev does."""

    IN_OPEN = 0x20
    HEADER = struct.Struct("iIII")  # struct inotify_event without its name

    def __init__(self):
        self.fd = libc.inotify_init1(os.O_NONBLOCK | os.O_CLOEXEC)
        _checked(0 if self.fd >= 0 else -1, "inotify_init1")
        _checked(0 if libc.inotify_add_watch(self.fd, b"/dev", self.IN_OPEN) >= 0 else -1,
                 "inotify_add_watch /dev")

    def count(self):
        """Listings since the last call."""
        listings = 0
        while True:
            try:
                data = os.read(self.fd, 65536)
            except BlockingIOError:
                return listings
            at = 0
            while at < len(data):
                _, mask, _, name_length = self.HEADER.unpack_from(data, at)
                # Without a name the event is about /dev itself; with one, about a file in it.
                listings += bool(mask & self.IN_OPEN) and name_length == 0
                at += self.HEADER.size + name_length


class Port:
    """One serial device in the private /dev, and the scanner at its far end."""

    def __init__(self, name):
        self.name = name
        self.path = "/dev/" + name
        self.master = self.slave = self.holder = None
        self.identity = None  # (st_dev, st_ino) of the device, kept after an unplug

    @property
    def plugged(self):
        return self.master is not None

    def plug(self):
        self.master, self.slave = os.openpty()
        # Raw until the program sets its own mode: no echo, nothing rewritten. Settings made
        # through the master are the device's.
        tty.setraw(self.master)
        os.set_blocking(self.master, False)
        open(self.path, "w").close()
        _mount(os.ttyname(self.slave), self.path, None, MS_BIND)
        st = os.fstat(self.slave)
        self.identity = (st.st_dev, st.st_ino)
        # The device stays open here as well, so the master sees no hang-up whenever the
        # program closes it, and its settings can be read at any time.

    def unplug(self):
        # The node goes first, then the master closes and whoever has the device open gets the
        # hang-up. So a program that looks at /dev on the hang-up no longer finds the device,
        # and one plugged in again at the same name is new to it however soon that happens.
        _checked(libc.umount2(self.path.encode(), MNT_DETACH), f"umount {self.path}")
        os.unlink(self.path)
        for fd in (self.master, self.holder, self.slave):
            if fd is not None:
                os.close(fd)
        self.master = self.slave = self.holder = None

    def hold(self):
        """Takes the device as terminal programs do: open, flock, TIOCEXCL."""
        fd = os.open(self.path, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK | os.O_CLOEXEC)
        try:
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
            fcntl.ioctl(fd, termios.TIOCEXCL)
        except OSError:
            os.close(fd)
            raise
        self.holder = fd

    def release(self):
        fcntl.ioctl(self.holder, termios.TIOCNXCL)
        os.close(self.holder)  # drops the flock
        self.holder = None

    def send(self, data):
        """Writes what the scanner sends; returns how many bytes did not fit."""
        try:
            return len(data) - os.write(self.master, data)
        except BlockingIOError:
            return len(data)

    def read_written(self):
        """What the program wrote to the device, if anything."""
        try:
            return os.read(self.master, 4096)
        except OSError:
            return b""

    def holders(self, root):
        """(pid, name) of the processes in `root`'s family that have the device open."""
        found = []
        for pid in family(root):
            try:
                fds = os.listdir(f"/proc/{pid}/fd")
            except OSError:
                continue
            for fd in fds:
                try:
                    st = os.stat(f"/proc/{pid}/fd/{fd}")
                except OSError:
                    continue
                if (st.st_dev, st.st_ino) == self.identity:
                    found.append((pid, _command_name(pid)))
                    break
        return found

    def settings(self):
        """"9600 8N1", with ", errors marked" when the terminal marks errors (PARMRK)."""
        iflag, _, cflag, _, _, ospeed, _ = termios.tcgetattr(self.master)
        parity = "N" if not cflag & termios.PARENB else "O" if cflag & termios.PARODD else "E"
        text = (f"{SPEEDS.get(ospeed, '?')} {BITS[cflag & termios.CSIZE]}{parity}"
                f"{2 if cflag & termios.CSTOPB else 1}")
        return text + (", errors marked" if iflag & termios.PARMRK else "")

    def unread(self):
        """Bytes sent that no one has read yet."""
        count = fcntl.ioctl(self.slave, termios.FIONREAD, struct.pack("i", 0))
        return struct.unpack("i", count)[0]
