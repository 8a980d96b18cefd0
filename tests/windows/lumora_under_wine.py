#!/usr/bin/env python3
"""lumora.exe under wine, in a private /dev whose serial ports are pseudo-terminals.

    lumora_under_wine.py FOLDER

FOLDER is the one a user unzips: lumora.exe beside its libraries. Inside, /dev has two ports,
ttyUSB0 and ttyUSB1, which wine maps to COM1 and COM2 as it maps USB serial adapters; the
machine's own serial ports are not there, so nothing can reach them. Another program holds
ttyUSB0 as terminal programs hold a port (TIOCEXCL, which holds off root too in the user
namespace this runs in), so that wine's CreateFile of COM1 fails. On a virtual X display, Lumora must report COM1 unavailable
and COM2 available in its "Com Status" box, open COM2 at 9600 8N1 and leave COM1 alone, show a
barcode sent at COM2's far end in its history (read back through the clipboard), and put COM2's
settings back when its window is closed.

Exit status: 0 when all of that holds, 1 when some of it does not, 77 (skipped) where the
folder, wine, Xvfb, xdotool or xclip is missing or no private mount namespace can be had.
"""
import os
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

sys.dont_write_bytecode = True  # no __pycache__ left in the checkout
HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent.parent / "scripts"))
from privatedev import Port, enter_private_dev, family  # noqa: E402

SKIP = 77
BARCODE = b"4006381333931"
# Wine's first start in a session takes a while on a busy machine.
START_TIMEOUT = 90.0


def skip(reason):
    print(f"SKIP: {reason}", file=sys.stderr)
    sys.exit(SKIP)


def wait_for(what, check, timeout=20.0):
    deadline = time.monotonic() + timeout
    while True:
        result = check()
        if result:
            return result
        if time.monotonic() > deadline:
            raise TimeoutError(f"timed out waiting for {what}")
        time.sleep(0.2)


class Display:
    """A virtual X display of our own; Xvfb picks a free number itself."""

    def __init__(self, scratch):
        read_end, write_end = os.pipe()
        self.log = open(scratch / "xvfb.log", "w")
        self.process = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write_end), "-nolisten", "tcp", "-screen", "0",
             "1024x768x24"], pass_fds=(write_end,), stderr=self.log)
        os.close(write_end)
        with os.fdopen(read_end) as f:
            number = f.readline().strip()
        if not number:
            raise RuntimeError("Xvfb did not start: " + (scratch / "xvfb.log").read_text())
        self.name = f":{number}"

    def tool(self, *args, check=True):
        result = subprocess.run(args, env={**os.environ, "DISPLAY": self.name},
                                capture_output=True, text=True, timeout=20)
        if check and result.returncode != 0:
            raise RuntimeError(f"{' '.join(args)} failed: {result.stderr.strip()}")
        return result.stdout

    def window(self, title):
        found = self.tool("xdotool", "search", "--name", f"^{title}$", check=False).split()
        return found[0] if found else None

    def keys(self, window, *keys):
        self.tool("xdotool", "windowfocus", "--sync", window)
        for key in keys:
            self.tool("xdotool", "key", "--clearmodifiers", key)
            time.sleep(0.2)

    def copied(self, window, *keys):
        """What the window puts on the clipboard for `keys` (ending in ctrl+c)."""
        self.tool("xdotool", "windowfocus", "--sync", window)
        subprocess.run(["xclip", "-selection", "clipboard", "-i", "/dev/null"],
                       env={**os.environ, "DISPLAY": self.name}, check=False)
        self.keys(window, *keys)
        return wait_for("the clipboard", lambda: self.tool(
            "xclip", "-selection", "clipboard", "-o", check=False), timeout=10)

    def close(self):
        self.process.terminate()
        self.process.wait()
        self.log.close()


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    folder = Path(sys.argv[1]).resolve()
    if not (folder / "lumora.exe").is_file():
        skip(f"{folder}/lumora.exe is not built (scripts/build-windows builds it)")
    for tool in ("wine", "wineserver", "Xvfb", "xdotool", "xclip"):
        if not shutil.which(tool):
            skip(f"{tool} not found (scripts/install-deps installs it)")

    env = {**os.environ, "WINEDEBUG": "-all", "WINEDLLOVERRIDES": "winemenubuilder.exe=d"}
    env.pop("QT_QPA_PLATFORM", None)
    env["WINEPREFIX"] = subprocess.run([HERE / "wineprefix.sh"], check=True, text=True,
                                       capture_output=True).stdout.strip()
    # A session of the prefix begun outside would map the machine's ports: this one starts in
    # the private /dev.
    subprocess.run(["wineserver", "--kill"], env=env, stderr=subprocess.DEVNULL)
    subprocess.run(["wineserver", "--wait"], env=env, stderr=subprocess.DEVNULL)
    try:
        enter_private_dev(user_namespace=True)
    except OSError as error:
        skip(f"no private mount namespace here: {error}")

    failures = []

    def check(ok, what):
        print(("ok: " if ok else "FAIL: ") + what, file=sys.stderr)
        if not ok:
            failures.append(what)

    held, free = Port("ttyUSB0"), Port("ttyUSB1")
    held.plug()
    held.hold()
    free.plug()
    held_settings, free_settings = held.settings(), free.settings()

    with tempfile.TemporaryDirectory() as scratch_name:
        scratch = Path(scratch_name)
        display = Display(scratch)
        env["DISPLAY"] = display.name
        log = open(scratch / "lumora.log", "w")
        lumora = subprocess.Popen(["wine", str(folder / "lumora.exe")], env=env,
                                  stdout=log, stderr=subprocess.STDOUT)
        # Wine's server has the port open for the program, so look for holders everywhere.
        others = lambda port: [h for h in port.holders(1) if h[0] != os.getpid()]
        try:
            box = wait_for('the "Com Status" box', lambda: display.window("Com Status"),
                           START_TIMEOUT)
            report = display.copied(box, "ctrl+c")
            check("Com Port 1 unavailable" in report and "Com Port 2 available" in report,
                  "the report has COM1 unavailable and COM2 available: "
                  + " | ".join(line for line in report.splitlines() if "Com Port" in line))
            display.keys(box, "Return")

            opened = lambda: others(free) and free.settings() == "9600 8N1"
            try:
                wait_for("COM2 open at 9600 8N1", opened)
                check(True, "COM2 open at 9600 8N1")
            except TimeoutError:
                check(False, f"COM2 open at 9600 8N1 (it is at {free.settings()}, open by "
                      f"{others(free)})")
            check(held.settings() == held_settings, "COM1, held by another program, untouched")

            free.send(BARCODE + b"\r")
            window = display.window("Lumora")
            # The history is the third control to take the focus, after the indicator and the
            # Clear button.
            time.sleep(1)
            history = display.copied(window, "Tab", "Tab", "ctrl+a", "ctrl+c")
            check(BARCODE.decode() in history, f"the barcode in the history: {history!r}")

            display.keys(window, "alt+F4")
            wait_for("Lumora to end", lambda: lumora.poll() is not None)
            check(lumora.returncode == 0, f"Lumora ended with status {lumora.returncode}")
            check(free.settings() == free_settings,
                  f"COM2's settings put back: {free_settings} (now {free.settings()})")
        except (TimeoutError, RuntimeError) as error:
            check(False, str(error))
        finally:
            if lumora.poll() is None:
                lumora.kill()
            subprocess.run(["wineserver", "--kill"], env=env, stderr=subprocess.DEVNULL)
            subprocess.run(["wineserver", "--wait"], env=env, stderr=subprocess.DEVNULL)
            display.close()
            log.close()
            if failures:
                print((scratch / "lumora.log").read_text(), file=sys.stderr)
    sys.exit(1 if failures else 0)


if __name__ == "__main__":
    main()
