"""The guest's kernel and initramfs.

The kernel is Debian's own, fetched with apt-get and unpacked with dpkg -x into a cache
outside the checkout; it need not be installed. The initramfs is built afresh for every run
(it takes milliseconds): busybox, the few driver modules the rig needs with everything they
depend on, and the guest's /init. Everything else the guest runs comes from the host's /usr
over 9p.
"""
import glob
import os
import re
import shutil
import subprocess
import tempfile

# What the guest loads, in this order; their dependencies are added before them. 8250 is
# built into Debian's kernel, the rest are modules.
MODULES = ["virtio_pci", "virtio_console", "9pnet_virtio", "9p", "xhci_pci", "ftdi_sio"]
BUSYBOX = "/bin/busybox"


class Unavailable(Exception):
    """The guest cannot be built here; the reason says why."""


def cache_dir():
    base = os.environ.get("XDG_CACHE_HOME") or os.path.join(os.path.expanduser("~"), ".cache")
    return os.path.join(base, "lumora-realdrivers")


def _run(args):
    return subprocess.run(args, capture_output=True, text=True)


def _kernel_package():
    """The name of the kernel package linux-image-amd64 stands for today."""
    for attempt in range(2):
        out = _run(["apt-cache", "depends", "linux-image-amd64"]).stdout
        found = re.search(r"Depends: (linux-image-\S+-amd64)", out)
        if found:
            return found.group(1)
        # A fresh machine may have no package lists yet.
        if attempt == 0 and os.geteuid() == 0:
            _run(["apt-get", "update", "-qq"])
    raise Unavailable("apt knows no linux-image-amd64 (no package lists, or not Debian)")


def kernel(log):
    """Returns (vmlinuz, modules directory), fetching and unpacking the kernel if needed."""
    root = os.path.join(cache_dir(), "kernel")
    found = sorted(glob.glob(os.path.join(root, "boot", "vmlinuz-*")))
    if not found:
        if not shutil.which("apt-get") or not shutil.which("dpkg"):
            raise Unavailable("no apt-get or dpkg to fetch the guest kernel with")
        package = _kernel_package()
        os.makedirs(cache_dir(), exist_ok=True)
        with tempfile.TemporaryDirectory(dir=cache_dir()) as scratch:
            log(f"fetching {package} into {cache_dir()}")
            got = subprocess.run(["apt-get", "download", "-q", package], cwd=scratch,
                                 capture_output=True, text=True)
            debs = glob.glob(os.path.join(scratch, "*.deb"))
            if got.returncode != 0 or not debs:
                raise Unavailable(f"apt-get download {package} failed: {got.stderr.strip()}")
            unpacked = os.path.join(scratch, "kernel")
            subprocess.run(["dpkg", "-x", debs[0], unpacked], check=True)
            # Renamed into place whole, so an interrupted fetch leaves nothing half-unpacked. A
            # rig running beside this one may have put its own there first: either will do.
            try:
                os.rename(unpacked, root)
            except OSError:
                if not glob.glob(os.path.join(root, "boot", "vmlinuz-*")):
                    raise
        found = sorted(glob.glob(os.path.join(root, "boot", "vmlinuz-*")))
    vmlinuz = found[-1]
    release = os.path.basename(vmlinuz)[len("vmlinuz-"):]
    return vmlinuz, os.path.join(root, "lib", "modules", release)


def _module_name(path):
    return os.path.basename(path)[: -len(".ko")].replace("-", "_")


def _depends(path):
    """The modules a .ko needs: the depends= entry of its .modinfo section."""
    with open(path, "rb") as f:
        found = re.search(rb"\0depends=([\w,-]*)\0", f.read())
    names = found.group(1).decode().split(",") if found else []
    return [n.replace("-", "_") for n in names if n]


def load_order(modules_dir):
    """The .ko files to load, each after what it depends on."""
    paths = {_module_name(p): p for p in glob.glob(os.path.join(modules_dir, "kernel", "**",
                                                                "*.ko"), recursive=True)}
    order = []

    def add(name):
        if name in order:
            return
        if name not in paths:
            raise Unavailable(f"the guest kernel has no module {name}")
        for dependency in _depends(paths[name]):
            add(dependency)
        order.append(name)

    for name in MODULES:
        add(name)
    return [paths[name] for name in order]


class _Cpio:
    """Writes a cpio archive in the kernel's "newc" format."""

    def __init__(self, out):
        self.out = out
        self.inode = 1

    def _entry(self, name, mode, data=b""):
        header = "070701" + "".join(f"{v:08x}" for v in (
            self.inode, mode, 0, 0, 1, 0, len(data), 0, 0, 0, 0, len(name) + 1, 0))
        self.inode += 1
        self.out.write(header.encode() + name.encode() + b"\0")
        self.out.write(b"\0" * (-(110 + len(name) + 1) % 4))
        self.out.write(data + b"\0" * (-len(data) % 4))

    def directory(self, name):
        self._entry(name, 0o040755)

    def file(self, name, data, mode=0o644):
        self._entry(name, 0o100000 | mode, data)

    def symlink(self, name, target):
        self._entry(name, 0o120777, target.encode())

    def close(self):
        self._entry("TRAILER!!!", 0)


def initramfs(path, modules, init_script):
    """Writes the initramfs: /init, busybox in /rig/bin, the modules in /rig/modules (with
    /rig/modules/order naming them in load order) and mount points for the host's /usr, /etc
    and /var. /lib and /lib64 lead into /usr as on the host."""
    if not os.path.exists(BUSYBOX):
        raise Unavailable(f"{BUSYBOX} missing (Debian package busybox-static)")
    with open(path, "wb") as out:
        cpio = _Cpio(out)
        for d in ("dev", "proc", "sys", "usr", "etc", "var", "tmp", "run", "root", "rig",
                  "rig/bin", "rig/modules", "rig/src", "rig/app", "rig/out"):
            cpio.directory(d)
        for link in ("lib", "lib64", "bin", "sbin"):
            cpio.symlink(link, "usr/" + link)
        with open(BUSYBOX, "rb") as f:
            cpio.file("rig/bin/busybox", f.read(), 0o755)
        names = []
        for module in modules:
            name = os.path.basename(module)
            names.append(name)
            with open(module, "rb") as f:
                cpio.file("rig/modules/" + name, f.read())
        cpio.file("rig/modules/order", ("\n".join(names) + "\n").encode())
        with open(init_script, "rb") as f:
            cpio.file("init", f.read(), 0o755)
        cpio.close()
