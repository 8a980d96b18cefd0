#!/usr/bin/env python3
"""Runs the real Lumora in a small Linux guest under QEMU, against real kernel serial drivers:
the 8250 driver on an emulated 16550A UART and ftdi_sio on an emulated FTDI USB adapter.

    rig.py --lumora BUILD/tester/lumora [--work DIR] [--only STORY]...

Boots the guest once and tells the stories in stories.py in order, printing each check.
Exit status: 0 when every check passed, 1 when one failed, 77 when QEMU or the guest kernel
cannot be had here (the reason is printed).
"""
import argparse
import os
import shutil
import sys
import tempfile
import time

sys.dont_write_bytecode = True  # no __pycache__ left in the checkout
import guestimage
import stories
import vm

HERE = os.path.dirname(os.path.abspath(__file__))
SKIP = 77
# What the guest runs, all from the host's /usr (scripts/install-deps installs them).
GUEST_NEEDS = ["/usr/bin/python3", "/usr/bin/Xvfb", "/usr/bin/xdotool", "/usr/bin/stty",
               "/usr/bin/dbus-daemon", "/usr/libexec/at-spi-bus-launcher",
               "/usr/lib/python3/dist-packages/pyatspi"]
BOOT_TIMEOUT = 90


def log(text):
    print(f"[{time.monotonic() - START:6.1f}s] {text}", flush=True)


def unavailable():
    """Why the rig cannot run here, or None."""
    if not shutil.which("qemu-system-x86_64"):
        return "qemu-system-x86_64 not found (scripts/install-deps installs qemu-system-x86)"
    missing = [p for p in GUEST_NEEDS if not os.path.exists(p)]
    if missing:
        return f"missing for the guest: {', '.join(missing)} (scripts/install-deps)"
    return None


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--lumora", required=True, help="the lumora binary to test")
    parser.add_argument("--work", help="where logs go (default: a temporary folder)")
    parser.add_argument("--only", action="append", choices=[s.__name__ for s in stories.ALL],
                        help="tell only this story (repeatable)")
    args = parser.parse_args()

    reason = unavailable()
    if reason:
        print(f"SKIP: {reason}")
        return SKIP
    work = os.path.abspath(args.work or tempfile.mkdtemp(prefix="lumora-realdrivers-"))
    # Only what the last run left goes: the folder itself may hold other things.
    shutil.rmtree(os.path.join(work, "guest-logs"), ignore_errors=True)
    os.makedirs(os.path.join(work, "guest-logs"))
    try:
        vmlinuz, modules = guestimage.kernel(log)
        initrd = os.path.join(work, "initrd.cpio")
        guestimage.initramfs(initrd, guestimage.load_order(modules),
                             os.path.join(HERE, "init.sh"))
    except guestimage.Unavailable as e:
        print(f"SKIP: {e}")
        return SKIP

    shares = {"usr": ("/usr", False), "etc": ("/etc", False), "var": ("/var", False),
              "src": (HERE, False), "app": (os.path.dirname(os.path.abspath(args.lumora)), False),
              "out": (os.path.join(work, "guest-logs"), True)}
    # Socket paths must stay short; the work folder may be deep.
    with tempfile.TemporaryDirectory(prefix="lumora-vm-") as sockets:
        log(f"booting {os.path.basename(vmlinuz)}; logs in {work}")
        try:
            machine = vm.Machine(work, sockets, vmlinuz, initrd, shares)
        except (OSError, vm.Failed) as e:
            print(f"SKIP: QEMU cannot run here: {e}")
            return SKIP
        try:
            machine.agent.wait_ready(BOOT_TIMEOUT)
            log("guest up")
            checks = stories.Checks(log)
            for story in stories.ALL:
                if args.only and story.__name__ not in args.only:
                    continue
                log(f"story: {story.__doc__.strip().splitlines()[0]}")
                try:
                    story(machine, checks)
                except vm.Failed as e:
                    checks.check(False, f"{story.__name__} could not go on: {e}")
        except vm.Failed as e:
            print(f"FAIL: {e}\n--- guest console ---\n{machine.console()[-4000:]}")
            return 1
        finally:
            machine.stop()
    log(f"{checks.passed} checks passed, {len(checks.failed)} failed")
    for failure in checks.failed:
        print(f"FAILED: {failure}")
    return 1 if checks.failed else 0


START = time.monotonic()
if __name__ == "__main__":
    sys.exit(main())
