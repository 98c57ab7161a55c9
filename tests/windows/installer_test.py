#!/usr/bin/env python3
"""postern-setup.exe under wine, with Postern running as the user: a silent
install puts the stripped programs into Program Files\\Postern with an
all-users Start menu entry, the start at login and an entry in Add/Remove
Programs; an upgrade while postern.exe runs, silent and then driven by the
mouse, ends it and replaces every file, and Run Postern on the last page starts
it again; an uninstall while postern.exe and posternd.exe run from the folder
asks both to end, which they do cleanly, and takes all of it away, the user's
settings left. Nothing of
Postern's is ever left for a restart. Screenshots of the installer's pages are
left in the artefact folder.

It runs in a private copy of the build's prefix with a wine server of its own,
on an X screen of its own, as the desktop test does.

Usage: installer_test.py WINE WINEPREFIX SETUP_EXE STAGE_DIR ARTEFACT_DIR
"""
import filecmp
import glob
import os
import socket
import sys
import time

from desktop_test import START_TIMEOUT, WineDesktop, expect  # noqa: E402
from tray_desktop_test import Failure, check, frame  # noqa: E402
from support import free_port  # noqa: E402

FOLDER = "C:\\Program Files\\Postern"
PROGRAMS = ("postern.exe", "posternd.exe")
UNINSTALL_KEY = r"HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\Postern"
RUN_KEY = r"HKLM\Software\Microsoft\Windows\CurrentVersion\Run"
SESSION_MANAGER = r"HKLM\System\CurrentControlSet\Control\Session Manager"
SETTINGS_KEY = r"HKCU\Software\quill\Postern\postern\Settings"
OLD_TIME = 946684800  # 2000-01-01: files of "the version before"


def listening(port):
    try:
        socket.create_connection(("127.0.0.1", port), 1).close()
        return True
    except OSError:
        return False


def left_for_restart(desktop):
    """Files to be deleted or replaced at the next start of Windows. NSIS's
    uninstaller runs from a copy of itself in Temp (~nsuN.tmp), which cannot
    delete itself, so it is always among them."""
    pending = desktop.reg_value(SESSION_MANAGER, "PendingFileRenameOperations") or ""
    return [path for path in pending.split("\\0") if path and "\\~nsu" not in path]


def run(desktop, setup, stage):
    folder = os.path.join(desktop.prefix, "drive_c", "Program Files", "Postern")
    local_port = free_port()
    desktop.wine("reg", "add", SETTINGS_KEY, "/v", "LocalPort", "/t", "REG_DWORD", "/d",
                 str(local_port), "/f")
    # Without a server name Postern listens nowhere.
    desktop.wine("reg", "add", SETTINGS_KEY, "/v", "HostName", "/t", "REG_SZ", "/d",
                 "127.0.0.1", "/f")

    def shortcuts():
        return glob.glob(os.path.join(desktop.prefix, "drive_c", "**", "Postern", "Postern.lnk"),
                         recursive=True)

    def installed(name):
        return os.path.join(folder, name)

    def check_current():
        for name in PROGRAMS:
            check(filecmp.cmp(installed(name), os.path.join(stage, name), shallow=False),
                  f"{name} is not the one built")
            check(os.stat(installed(name)).st_mtime != OLD_TIME, f"{name} was not replaced")
        check(os.path.isfile(installed("uninstall.exe")), "no uninstaller")
        check(not left_for_restart(desktop), f"left for a restart: {left_for_restart(desktop)}")

    def start_postern():
        app = desktop.start([desktop.wine_program, FOLDER + "\\postern.exe"])
        expect("postern.exe to listen", lambda: listening(local_port), START_TIMEOUT)
        return app

    def setup_run(*args):
        result = desktop.wine(*args)
        check(result.returncode == 0, f"{args[0]} ended with {result.returncode}: {result.stdout}")

    setup_run(setup, "/S")
    check_current()
    for name in PROGRAMS:
        check(b".debug_info" not in open(installed(name), "rb").read(), f"{name} is not stripped")
    found = shortcuts()
    check(len(found) == 1 and "ProgramData" in found[0], f"Start menu entries: {found}")
    check(desktop.reg_value(UNINSTALL_KEY, "DisplayName") == "Postern", "not in Add/Remove Programs")
    check(desktop.reg_value(RUN_KEY, "Postern") == f'"{FOLDER}\\postern.exe"', "not started at login")

    # An upgrade with Postern running: it is asked to end, and every file is new.
    for name in os.listdir(folder):
        os.utime(installed(name), (OLD_TIME, OLD_TIME))
    app = start_postern()
    setup_run(setup, "/S")
    check(app.wait(START_TIMEOUT) == 0, "postern.exe did not end cleanly")
    check_current()

    # The same driven by the mouse; Run Postern on the last page starts it again.
    for name in os.listdir(folder):
        os.utime(installed(name), (OLD_TIME, OLD_TIME))
    app = start_postern()
    upgrade = desktop.start([desktop.wine_program, setup])
    page = expect("the installer", lambda: desktop.shown("Postern Setup "), START_TIMEOUT)
    x, y, w, h = frame(page)

    def next_button(shot):
        time.sleep(0.5)
        desktop.screenshot(shot, (x, y, w, h))
        desktop.click(x + w - 160, y + h - 27)
    next_button("setup-components.png")
    next_button("setup-folder.png")  # Install
    check(app.wait(START_TIMEOUT) == 0, "postern.exe did not end cleanly")
    expect("the files to be replaced",
           lambda: all(os.stat(installed(n)).st_mtime != OLD_TIME for n in PROGRAMS))
    time.sleep(1)
    next_button("setup-finish.png")  # Finish, with Run Postern ticked
    check(upgrade.wait(START_TIMEOUT) == 0, "the installer failed")
    check_current()
    expect("Run Postern to start it", lambda: listening(local_port), START_TIMEOUT)

    daemon = desktop.start([desktop.wine_program, FOLDER + "\\posternd.exe", "--host",
                            "127.0.0.1", "--local-port", str(free_port())])
    time.sleep(2)
    check(daemon.poll() is None, "posternd.exe did not start")

    # The uninstall with both running ends them and leaves nothing but the settings.
    setup_run(FOLDER + "\\uninstall.exe", "/S")
    check(daemon.wait(START_TIMEOUT) == 0, "posternd.exe did not end cleanly")
    # The uninstaller works on from a copy of itself: wait for its work.
    expect("the uninstaller to finish", lambda: not os.path.exists(folder) and not shortcuts(),
           START_TIMEOUT)
    check(not listening(local_port), "Postern still runs")
    check(desktop.reg_value(UNINSTALL_KEY, "DisplayName") is None, "still in Add/Remove Programs")
    check(desktop.reg_value(RUN_KEY, "Postern") is None, "still started at login")
    check(not left_for_restart(desktop), f"left for a restart: {left_for_restart(desktop)}")
    check(desktop.reg_value(SETTINGS_KEY, "LocalPort") == hex(local_port), "settings lost")


def main():
    wine, prefix, setup, stage, artefacts = sys.argv[1:6]
    desktop = WineDesktop(artefacts, wine, prefix)
    try:
        desktop.start_xvfb()
        run(desktop, setup, stage)
        print("ok: installed, upgraded and uninstalled with Postern running")
        return 0
    except Failure as failure:
        return desktop.failed(failure, "installer-failure.png")
    finally:
        desktop.stop_all()
        desktop.end_wine()


if __name__ == "__main__":
    sys.exit(main())
