#!/usr/bin/env python3
"""postern.exe under wine on an X desktop: Xvfb as the screen, trayer as the
notification area, xdotool as the user's mouse, no window manager (wine draws
its own captions). The icon docks idle; the right-click menu opens; Restore shows
the dialog; an edited local port, applied with the box for other computers
cleared, is in the registry with ListenAddress=localhost and takes the next mail
client, whose login to a TLS server with a self-signed certificate is refused
with the offer to trust it; Yes stores its fingerprint in the registry, and the
next login's session turns the icon active; with the server down, ten failed
logins give one report box; the system menu ends with the About item; a typed
edit makes Close ask to apply it, No keeps the registry as it was and hides the
dialog; a second start shows it; Exit from the menu asks, About and Exit chosen
again meanwhile open no second box, and OK and then No at the apply question end
the program. Started again at 144 dpi without a server set, the dialog shows at
once, half as large again, and the icon bears the red mark. Screenshots of the
dialog (at 96 and 144 dpi), the trust offer, the menu, the report box, the system
menu, the About box and the red-marked icon are left in the artefact folder.

The program runs in a private copy of the build's wine prefix, with a wine
server of its own: one that other tests started without a display would take
the notification area with it.

Usage: desktop_test.py WINE WINEPREFIX POSTERN_EXE ARTEFACT_DIR
"""
import os
import poplib
import shutil
import subprocess
import sys
import tempfile
import time

TESTS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")
sys.path[:0] = [TESTS, os.path.join(TESTS, "app")]
from support import free_port  # noqa: E402
from support.pop3 import ScriptedPop3Server  # noqa: E402
from support.tls import Authority, fingerprint, server_context  # noqa: E402
from tray_desktop_test import (PASSWORD, SCREEN, STEP_TIMEOUT, USER, Desktop, Failure,  # noqa: E402
                               check, expect, fail_logins, frame, icon_look,
                               refused_for_trust, start_trayer)

SETTINGS_KEY = r"HKCU\Software\quill\Postern\postern\Settings"
# A new prefix, or wine starting up in it, takes its time.
START_TIMEOUT = 60


class WineDesktop(Desktop):
    def __init__(self, artefacts, wine, prefix):
        super().__init__(artefacts)
        self.wine_program = wine
        # Hard links but for the registry files, which the wine server rewrites.
        self.prefix = os.path.join(artefacts, "wineprefix")
        shutil.rmtree(self.prefix, ignore_errors=True)
        subprocess.run(["cp", "-al", prefix, self.prefix], check=True)
        for name in os.listdir(prefix):
            if name.endswith(".reg"):
                os.remove(os.path.join(self.prefix, name))
                shutil.copy2(os.path.join(prefix, name), self.prefix)
        self.env.update(WINEPREFIX=self.prefix, WINEDEBUG="-all")

    def wine(self, *args):
        # Output through a file, not a pipe: wine's own background processes, which
        # the first program in a prefix starts, would hold a pipe open.
        with tempfile.TemporaryFile("w+") as out:
            result = subprocess.run([self.wine_program, *args], env=self.env, stdout=out,
                                    stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL,
                                    timeout=START_TIMEOUT)
            out.seek(0)
            return subprocess.CompletedProcess(result.args, result.returncode, out.read())

    def end_wine(self):
        subprocess.run(["wineserver", "-k"], env=self.env, timeout=START_TIMEOUT)
        shutil.rmtree(self.prefix, ignore_errors=True)

    def reg_value(self, key, name):
        for line in self.wine("reg", "query", key, "/v", name).stdout.splitlines():
            parts = line.split(None, 2)
            if len(parts) == 3 and parts[0] == name:
                return parts[2]
        return None

    def shown(self, name):
        """The visible top-level window of that title, or None."""
        found = [w for w in self.windows() if w[1] == name and self.visible(w[0])]
        return found[0] if found else None

    def click(self, x, y, button="1"):
        self.run("xdotool", "mousemove", str(x), str(y), "click", button)


def new_popup(desktop, before, click):
    """Clicks, then finds the menu: a window that was not on screen before."""
    click()

    def appeared():
        found = [w for w in desktop.windows() if w[0] not in before and w[3] > 30 and
                 w[4] > 30 and desktop.visible(w[0])]
        return found[0] if found else None
    return expect("a popup menu", appeared)


def run(desktop, postern, server, cert):
    local_port, new_port = free_port(), free_port()
    for name, kind, value in (("HostName", "REG_SZ", "127.0.0.1"),
                              ("HostPort", "REG_DWORD", str(server.port)),
                              ("LocalPort", "REG_DWORD", str(local_port)),
                              ("ServerTls", "REG_DWORD", "2")):
        desktop.wine("reg", "add", SETTINGS_KEY, "/v", name, "/t", kind, "/d", value, "/f")
    # No window manager: wine draws the captions, with their system menu.
    desktop.wine("reg", "add", r"HKCU\Software\Wine\X11 Driver", "/v", "Decorated", "/t",
                 "REG_SZ", "/d", "N", "/f")

    tray = start_trayer(desktop)
    app = desktop.start([desktop.wine_program, postern])

    def docked():
        panels = [w for w in desktop.windows() if w[1] == "panel"]
        if not panels:
            return None
        p = panels[0]
        icons = [w for w in desktop.windows() if w[0] != p[0] and 8 < w[3] <= 64 and
                 8 < w[4] <= 64 and p[5] <= w[5] < p[5] + p[3] and p[6] <= w[6] < p[6] + p[4]
                 and desktop.visible(w[0])]
        return (p, icons[0]) if icons else None
    panel, icon = expect("the icon to dock", docked, START_TIMEOUT)
    icon_area, tray_area = frame(icon), frame(panel)
    expect("the idle icon", lambda: icon_look(desktop, icon_area) == "idle")
    check(desktop.shown("Postern configuration") is None, "the dialog shows at start")
    desktop.screenshot("win-tray-idle.png", tray_area)
    icon_centre = (icon[5] + icon[3] // 2, icon[6] + icon[4] // 2)

    def open_menu():
        before = {w[0] for w in desktop.windows()}
        return new_popup(desktop, before, lambda: desktop.click(*icon_centre, button="3"))

    def choose(menu, item):
        # Three items of equal height: Restore, About, Exit.
        desktop.click(menu[5] + menu[3] // 2, menu[6] + menu[4] * (2 * item + 1) // 6)

    menu = open_menu()
    time.sleep(0.3)
    desktop.screenshot("win-tray-menu.png", (max(0, menu[5] - 20), 0,
                                             min(400, SCREEN[0] - menu[5] + 20),
                                             menu[6] + menu[4] + 20))
    choose(menu, 0)
    dialog = expect("Restore to show the dialog",
                        lambda: desktop.shown("Postern configuration"))
    time.sleep(0.5)
    desktop.screenshot("win-dialog.png", frame(dialog))

    # The local port field (dialog units 51, 79, 28 by 14 in a 201 by 142 dialog):
    # a new port, applied, is stored and taken by the next mail client; with
    # the box for other computers cleared, on loopback only.
    # Wine's caption and frame at 96 dots per inch take 22 pixels.
    x, y, w, h = frame(dialog)
    caption = 22

    def spot(dlu_x, dlu_y):
        return x + w * dlu_x // 201, y + caption + (h - caption) * dlu_y // 142
    desktop.click(*spot(65, 86))
    desktop.run("xdotool", "key", "--delay", "30", "End", *["BackSpace"] * 8)
    desktop.run("xdotool", "type", "--delay", "50", str(new_port))
    desktop.click(*spot(18, 116))  # Accept mail clients from other computers
    desktop.click(*spot(169, 40))  # Apply
    expect("Apply to store the local port",
               lambda: desktop.reg_value(SETTINGS_KEY, "LocalPort") == hex(new_port))
    check(desktop.reg_value(SETTINGS_KEY, "ListenAddress") == "localhost",
          "the cleared box did not store ListenAddress=localhost")

    client = expect("postern to listen on the new port", lambda: connect(new_port))
    client.close()
    # The self-signed certificate stops the login; Yes at the offer trusts it.
    check(refused_for_trust(new_port), "a login passed an untrusted certificate")
    answer(desktop, "win-trust-question.png", left=True)
    expect("Yes to store the fingerprint",
           lambda: desktop.reg_value(SETTINGS_KEY, "TlsFingerprint") == fingerprint(cert))
    client = connect(new_port)
    check(client.getwelcome().startswith(b"+OK Postern 1.0 Ready"),
          f"unexpected greeting {client.getwelcome()!r}")
    client.user(USER)
    check(client.pass_(PASSWORD).startswith(b"+OK alice has 1 message"), "the login was refused")
    expect("the active icon", lambda: icon_look(desktop, icon_area) == "active")
    desktop.screenshot("win-tray-active.png", tray_area)
    client.quit()
    expect("the idle icon after the session", lambda: icon_look(desktop, icon_area) == "idle")

    # The server goes down: ten failed logins, one report box.
    server.stop.set()
    server.join(5)
    server.listener.close()
    clients = fail_logins(new_port, 10)
    report = expect("the report", lambda: desktop.shown("Postern"))
    time.sleep(2)  # for every login to fail
    reports = [w for w in desktop.windows() if w[1] == "Postern" and desktop.visible(w[0])]
    check(len(reports) == 1, f"{len(reports)} report boxes for ten failed logins")
    desktop.screenshot("win-report-count.png", frame(report))
    rx, ry, rw, rh = frame(report)
    for _ in range(3):
        desktop.click(rx + rw // 2, ry + rh - 20)  # OK
        try:
            expect("OK to close the report", lambda: not desktop.visible(report[0]), 2)
            break
        except Failure:
            pass
    check(not desktop.visible(report[0]), "the report did not take the click")
    for client in clients:
        client.close()

    # The system menu, from the icon at the caption's left, ends with the About item.
    before = {w[0] for w in desktop.windows()}
    sysmenu = new_popup(desktop, before, lambda: desktop.click(x + caption // 2 + 2,
                                                               y + caption // 2))
    time.sleep(0.3)
    desktop.screenshot("win-system-menu.png", (x, y, max(w, sysmenu[3] + 20),
                                               sysmenu[6] - y + sysmenu[4] + 10))
    desktop.click(sysmenu[5] + sysmenu[3] // 2, sysmenu[6] + sysmenu[4] - 10)
    about = expect("the About box", lambda: desktop.shown("About postern"))
    time.sleep(0.5)
    desktop.screenshot("win-about.png", frame(about))
    ax, ay, aw, ah = frame(about)
    desktop.click(ax + aw * 151 // 183, ay + ah - (ah * 14 // 71))  # OK
    expect("OK to close the About box", lambda: desktop.shown("About postern") is None)

    # A typed edit makes Close ask; No keeps the stored host name and hides the dialog.
    desktop.click(*spot(100, 26))
    desktop.run("xdotool", "key", "End", "x")
    desktop.click(*spot(169, 114))  # Close
    answer(desktop, "win-apply-question.png", left=False)
    expect("No to hide the dialog", lambda: desktop.shown("Postern configuration") is None)
    check(desktop.reg_value(SETTINGS_KEY, "HostName") == "127.0.0.1", "the edit was saved")

    # A second start shows the hidden dialog and ends at once.
    second = desktop.wine(postern)
    check(second.returncode == 0, f"the second start ended with {second.returncode}")
    expect("the second start to show the dialog",
               lambda: desktop.shown("Postern configuration"))

    # Exit from the tray menu: OK at the quit question, and No at the apply
    # question, which comes again for the edit not applied.
    choose(open_menu(), 2)
    expect("the quit question", lambda: desktop.shown("Postern"))
    # About and Exit from the menu while it waits bring it forward, stacking no box on it.
    for item in (1, 2):
        time.sleep(1)  # right after a box comes up, wine's tray opens no menu yet
        choose(open_menu(), item)
        time.sleep(1)
        boxes = [w for w in desktop.windows() if w[1] in ("Postern", "About postern") and
                 desktop.visible(w[0])]
        check(len(boxes) == 1, f"{len(boxes)} boxes open after menu item {item}")
    answer(desktop, "win-quit-question.png", left=True)
    answer(desktop, "win-apply-question-again.png", left=False)
    try:
        status = app.wait(STEP_TIMEOUT)
    except subprocess.TimeoutExpired:
        raise Failure("postern.exe did not end after the quit question")
    check(status == 0, f"postern.exe ended with status {status}")
    check(docked() is None, "the icon is left in the tray")

    # At 144 dots per inch the dialog, laid out in dialog units, is half as
    # large again, its text drawn at that size (the program is DPI aware).
    # Without a server set it shows at start, and the icon bears the red mark.
    desktop.wine("reg", "add", r"HKCU\Control Panel\Desktop", "/v", "LogPixels", "/t",
                 "REG_DWORD", "/d", "144", "/f")
    desktop.wine("reg", "delete", SETTINGS_KEY, "/v", "HostName", "/f")
    app = desktop.start([desktop.wine_program, postern])
    panel, icon = expect("the icon to dock at 144 dpi", docked, START_TIMEOUT)
    large = expect("the dialog at start without a server",
                   lambda: desktop.shown("Postern configuration"))
    expect("the icon with the red mark",
           lambda: icon_look(desktop, frame(icon)) == "not-listening")
    desktop.screenshot("win-tray-not-listening.png", frame(panel))
    time.sleep(0.5)
    desktop.screenshot("win-dialog-144dpi.png", frame(large))
    check(1.3 < large[3] / w < 1.7 and 1.3 < large[4] / h < 1.7,
          f"the dialog is {large[3]}x{large[4]} at 144 dpi, {w}x{h} at 96")
    app.terminate()
    app.wait(STEP_TIMEOUT)
    tray.terminate()
    tray.wait(STEP_TIMEOUT)


def answer(desktop, screenshot, left):
    """Clicks the left (Yes, OK) or right (No, Cancel) button of the open question."""
    question = expect("a question", lambda: desktop.shown("Postern"))
    time.sleep(0.3)
    desktop.screenshot(screenshot, frame(question))
    x, y, w, h = frame(question)
    # The two buttons sit side by side in the middle, however wide the text.
    offset = min(w // 8, 40)
    # Without a window manager a box may come up inactive, and then the first
    # click only activates it.
    for _ in range(3):
        desktop.click(x + w // 2 + (-offset if left else offset), y + h - 20)
        try:
            expect("the question to close", lambda: not desktop.visible(question[0]), 2)
            return
        except Failure:
            pass
    raise Failure("the question did not take the click")


def connect(port):
    try:
        return poplib.POP3("127.0.0.1", port, timeout=STEP_TIMEOUT)
    except OSError:
        return None


def main():
    wine, prefix, postern, artefacts = sys.argv[1:5]
    desktop = WineDesktop(artefacts, wine, prefix)
    authority = Authority()
    key, cert = authority.self_signed("home-server")
    server = ScriptedPop3Server(USER, PASSWORD, tls=server_context(key, cert))
    server.start()
    try:
        desktop.start_xvfb()
        run(desktop, postern, server, cert)
        print("ok: postern.exe in trayer")
        return 0
    except Failure as failure:
        return desktop.failed(failure, "win-failure.png")
    finally:
        desktop.stop_all()
        desktop.end_wine()
        server.stop.set()
        server.join(5)
        authority.remove()


if __name__ == "__main__":
    sys.exit(main())
