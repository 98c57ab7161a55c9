#!/usr/bin/env python3
"""postern-setup.exe under wine: a silent install puts both programs into
Program Files\\Postern with a Start menu entry, the start at login and an entry in
Add/Remove Programs; the silent uninstall takes all of it away again and leaves
the user's settings.

Usage: installer_test.py WINE_RUN WINEPREFIX SETUP_EXE
"""
import glob
import os
import subprocess
import sys
import tempfile
import time

TIMEOUT = 120
UNINSTALL_KEY = r"HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\Postern"
RUN_KEY = r"HKCU\Software\Microsoft\Windows\CurrentVersion\Run"
# Settings of a program name of its own, apart from those of the desktop test.
SETTINGS_KEY = r"HKCU\Software\quill\Postern\postern-setup-test\Settings"


def wine(wine_run, *args):
    # Output through a file, not a pipe: wine's own background processes, which
    # the first program in a prefix starts, would hold a pipe open.
    with tempfile.TemporaryFile("w+") as out:
        result = subprocess.run([wine_run, *args], stdout=out, stderr=subprocess.STDOUT,
                                stdin=subprocess.DEVNULL, timeout=TIMEOUT)
        out.seek(0)
        return subprocess.CompletedProcess(result.args, result.returncode, out.read())


def reg_value(wine_run, key, name):
    """The value's data as reg prints it, or None when it is absent."""
    result = wine(wine_run, "reg", "query", key, "/v", name)
    for line in result.stdout.splitlines():
        parts = line.split(None, 2)
        if result.returncode == 0 and len(parts) >= 2 and parts[0] == name:
            return parts[2] if len(parts) == 3 else ""
    return None


def main():
    wine_run, prefix, setup = sys.argv[1:4]
    folder = os.path.join(prefix, "drive_c", "Program Files", "Postern")
    installed = [os.path.join(folder, name) for name in ("postern.exe", "posternd.exe",
                                                         "uninstall.exe")]

    def shortcuts():
        return glob.glob(os.path.join(prefix, "drive_c", "**", "Postern", "Postern.lnk"),
                         recursive=True)

    # A stored setting of the user's, which the uninstaller must leave.
    wine(wine_run, "reg", "add", SETTINGS_KEY, "/v", "HostName", "/t", "REG_SZ", "/d",
         "pop.example", "/f")

    result = wine(wine_run, setup, "/S")
    assert result.returncode == 0, f"setup ended with {result.returncode}: {result.stdout}"
    for path in installed:
        assert os.path.isfile(path), f"not installed: {path}"
    assert shortcuts(), "no Start menu entry"
    assert reg_value(wine_run, UNINSTALL_KEY, "DisplayName") == "Postern"
    uninstall = reg_value(wine_run, UNINSTALL_KEY, "UninstallString")
    assert uninstall == '"C:\\Program Files\\Postern\\uninstall.exe"', uninstall
    run = reg_value(wine_run, RUN_KEY, "Postern")
    assert run == '"C:\\Program Files\\Postern\\postern.exe"', run

    # The uninstaller copies itself away and returns at once: wait for its work.
    wine(wine_run, "C:\\Program Files\\Postern\\uninstall.exe", "/S")
    deadline = time.monotonic() + TIMEOUT
    while (os.path.exists(folder) or shortcuts()) and time.monotonic() < deadline:
        time.sleep(0.2)
    assert not os.path.exists(folder), f"left behind: {os.listdir(folder)}"
    assert not shortcuts(), "the Start menu entry is left"
    assert reg_value(wine_run, UNINSTALL_KEY, "DisplayName") is None, "still in Add/Remove Programs"
    assert reg_value(wine_run, RUN_KEY, "Postern") is None, "still started at login"
    assert reg_value(wine_run, SETTINGS_KEY, "HostName") == "pop.example", "settings lost"
    wine(wine_run, "reg", "delete", SETTINGS_KEY.rsplit("\\", 1)[0], "/f")
    print("installer: installed, found, uninstalled")


if __name__ == "__main__":
    main()
