#!/usr/bin/env python3
"""postern on a real X desktop: Xvfb for the screen, trayer for the status area.

Starts postern with a temporary settings file pointing at a scripted POP3 server,
sees its icon dock, opens the tray menu and restores the dialog with xdotool,
logs a mail client in through it and sees the icon turn active, then ends it
through the menu's Exit and the quit question. Screenshots of the tray, the menu
and the dialog are left in the artefact folder.

Usage: tray_desktop_test.py POSTERN ARTEFACT_DIR
"""
import hashlib
import os
import poplib
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import time

STEP_TIMEOUT = 15  # seconds for any one thing to happen on screen
TIMESTAMP = b"<1896.697170952@pop.test>"
USER, PASSWORD = "alice", "tanstaaf"

# The icon colours (res/icons/draw_icons.py): the idle envelope is grey, the
# active one yellow with a green dot.
YELLOW = (255, 200, 40)
GREEN = (30, 170, 60)
GREY = (200, 200, 200)


class Failure(Exception):
    pass


def wait_until(what, probe, timeout=STEP_TIMEOUT):
    deadline = time.monotonic() + timeout
    while True:
        value = probe()
        if value:
            return value
        if time.monotonic() > deadline:
            raise Failure(f"timed out waiting for {what}")
        time.sleep(0.1)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class ScriptedPop3Server(threading.Thread):
    """Greets with a time stamp, accepts only the right APOP, then answers STAT and QUIT."""

    def __init__(self):
        super().__init__(daemon=True)
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.listener.settimeout(0.2)
        self.port = self.listener.getsockname()[1]
        self.logins = []
        self.stop = threading.Event()

    def run(self):
        while not self.stop.is_set():
            try:
                conn, _ = self.listener.accept()
            except socket.timeout:
                continue
            with conn:
                conn.settimeout(STEP_TIMEOUT * 2)
                self.serve(conn.makefile("rwb"))

    def serve(self, stream):
        digest = hashlib.md5(TIMESTAMP + PASSWORD.encode()).hexdigest()
        stream.write(b"+OK scripted POP3 server ready " + TIMESTAMP + b"\r\n")
        stream.flush()
        try:
            for line in stream:
                words = line.decode().split()
                if not words:
                    continue
                command = words[0].upper()
                if command == "APOP":
                    ok = words[1:] == [USER, digest]
                    self.logins.append(ok)
                    stream.write(b"+OK alice has 1 message\r\n" if ok else b"-ERR no\r\n")
                elif command == "STAT":
                    stream.write(b"+OK 1 120\r\n")
                elif command == "QUIT":
                    stream.write(b"+OK bye\r\n")
                    stream.flush()
                    return
                else:
                    stream.write(b"-ERR unknown\r\n")
                stream.flush()
        except OSError:
            pass


class Desktop:
    def __init__(self, artefacts):
        self.artefacts = artefacts
        self.processes = []
        self.env = dict(os.environ)

    def start(self, args, env=None, **kwargs):
        process = subprocess.Popen(args, env=env or self.env, stdin=subprocess.DEVNULL, **kwargs)
        self.processes.append(process)
        return process

    def stop_all(self):
        for process in reversed(self.processes):
            if process.poll() is None:
                process.terminate()
                try:
                    process.wait(5)
                except subprocess.TimeoutExpired:
                    process.kill()
                    process.wait(5)

    def start_xvfb(self):
        # A display number of our own: the first one from 90 on whose server starts.
        for number in range(90, 160):
            if os.path.exists(f"/tmp/.X{number}-lock"):
                continue
            self.env["DISPLAY"] = f":{number}"
            with open(os.path.join(self.artefacts, "xvfb.log"), "w") as log:
                xvfb = self.start(["Xvfb", f":{number}", "-screen", "0", "800x600x24",
                                   "-nolisten", "tcp", "-noreset"],
                                  stdout=log, stderr=subprocess.STDOUT)

            def answers():
                return xvfb.poll() is not None or subprocess.run(
                    ["xwininfo", "-root"], env=self.env, capture_output=True,
                    timeout=STEP_TIMEOUT).returncode == 0
            wait_until("the X server to answer", answers)
            if xvfb.poll() is None:
                return
        raise Failure("no display number free for Xvfb")

    def run(self, *args):
        return subprocess.run(args, env=self.env, capture_output=True, text=True,
                              timeout=STEP_TIMEOUT).stdout

    def windows(self):
        """(id, name, class, width, height, x, y) of every window, absolute positions."""
        found = []
        pattern = re.compile(r'^\s*(0x[0-9a-f]+) (?:"(.*)"|\(has no name\)): \((.*)\)\s+'
                             r'(\d+)x(\d+)\+(-?\d+)\+(-?\d+)\s+\+(-?\d+)\+(-?\d+)')
        for line in self.run("xwininfo", "-root", "-tree").splitlines():
            match = pattern.match(line)
            if match:
                wid, name, klass, w, h, _, _, x, y = match.groups()
                found.append((wid, name or "", klass, int(w), int(h), int(x), int(y)))
        return found

    def visible(self, wid):
        return "IsViewable" in self.run("xwininfo", "-id", wid)

    def postern_windows(self, predicate):
        return [w for w in self.windows()
                if '"postern"' in w[2] and predicate(w) and self.visible(w[0])]

    def pixels(self, geometry):
        """RGB triples of a screen area, read from a PPM of the root window."""
        x, y, w, h = geometry
        data = subprocess.run(["import", "-window", "root", "-crop", f"{w}x{h}+{x}+{y}",
                               "+repage", "-depth", "8", "ppm:-"], env=self.env, capture_output=True,
                              timeout=STEP_TIMEOUT).stdout
        match = re.match(rb"P6\s+(\d+)\s+(\d+)\s+(\d+)\s", data)
        if not match or match.group(3) != b"255":
            raise Failure("cannot read the screen")
        body = data[match.end():]
        return [tuple(body[i:i + 3]) for i in range(0, len(body) - 2, 3)]

    def screenshot(self, name, geometry=None):
        path = os.path.join(self.artefacts, name)
        args = ["import", "-window", "root"]
        if geometry:
            x, y, w, h = geometry
            args += ["-crop", f"{w}x{h}+{x}+{y}", "+repage"]
        subprocess.run(args + [path], env=self.env, timeout=STEP_TIMEOUT, check=True)
        print("screenshot:", path)


def near(pixel, colour, tolerance=40):
    return all(abs(a - b) <= tolerance for a, b in zip(pixel, colour))


def icon_look(desktop, geometry):
    pixels = desktop.pixels(geometry)
    yellow = sum(near(p, YELLOW) for p in pixels)
    green = sum(near(p, GREEN) for p in pixels)
    grey = sum(near(p, GREY, 12) for p in pixels)
    if yellow >= 10 and green >= 4:
        return "active"
    if yellow == 0 and green == 0 and grey >= 10:
        return "idle"
    return None


def main():
    postern, artefacts = sys.argv[1], sys.argv[2]
    os.makedirs(artefacts, exist_ok=True)
    for old in os.listdir(artefacts):
        if old.endswith((".png", ".log")):
            os.remove(os.path.join(artefacts, old))
    for tool in ("Xvfb", "trayer", "xdotool", "xwininfo", "import"):
        if shutil.which(tool) is None:
            print(f"{tool} is missing")
            return 1
    desktop = Desktop(artefacts)
    server = ScriptedPop3Server()
    server.start()
    home = tempfile.mkdtemp(prefix="postern-desktop-")
    try:
        local_port = free_port()
        settings = os.path.join(home, "config", "quill", "Postern")
        os.makedirs(settings)
        with open(os.path.join(settings, "postern.conf"), "w") as out:
            out.write(f"[Settings]\nHostName=127.0.0.1\nHostPort={server.port}\n"
                      f"LocalPort={local_port}\n")

        desktop.start_xvfb()
        desktop.start(["trayer", "--edge", "top", "--align", "right", "--widthtype", "request",
                       "--height", "32", "--transparent", "false", "--tint", "0xffffff",
                       "--SetDockType", "true"], stdout=subprocess.DEVNULL,
                      stderr=subprocess.DEVNULL)
        wait_until("the tray", lambda: [w for w in desktop.windows() if w[1] == "panel"])

        env = dict(desktop.env)
        env.update({"XDG_CONFIG_HOME": os.path.join(home, "config"),
                    "XDG_RUNTIME_DIR": home,
                    "QT_QPA_PLATFORM": "xcb",
                    # No session bus: the icon goes to the X tray, and nothing is launched.
                    "DBUS_SESSION_BUS_ADDRESS": "unix:path=" + os.path.join(home, "no-bus")})
        app = desktop.start([postern], env=env)

        # The icon docks in trayer's panel, idle.
        def docked():
            panels = [w for w in desktop.windows() if w[1] == "panel"]
            if not panels:
                return None
            p = panels[0]
            icons = desktop.postern_windows(
                lambda w: 1 < w[3] <= 64 and 1 < w[4] <= 64 and
                p[5] <= w[5] < p[5] + p[3] and p[6] <= w[6] < p[6] + p[4])
            return (p, icons[0]) if icons else None
        panel, icon = wait_until("the icon to dock", docked)
        icon_area = (icon[5], icon[6], icon[3], icon[4])
        tray_area = (panel[5], panel[6], panel[3], panel[4])
        wait_until("the idle icon", lambda: icon_look(desktop, icon_area) == "idle")
        desktop.screenshot("tray-idle.png", tray_area)
        if desktop.postern_windows(lambda w: w[1] == "Postern configuration"):
            raise Failure("the dialog is visible at start-up")

        def open_menu():
            desktop.run("xdotool", "mousemove", str(icon[5] + icon[3] // 2),
                        str(icon[6] + icon[4] // 2), "click", "3")
            return wait_until("the tray menu", lambda: desktop.postern_windows(
                lambda w: w[0] != icon[0] and w[1] == "postern" and w[3] > 40 and w[4] > 40))[0]

        def choose(menu, item):
            # Three items of equal height: Restore, About, Exit.
            desktop.run("xdotool", "mousemove", str(menu[5] + menu[3] // 2),
                        str(menu[6] + menu[4] * (2 * item + 1) // 6), "click", "1")

        menu = open_menu()
        desktop.screenshot("tray-menu.png", (max(0, menu[5] - 20), 0, menu[3] + 40 + (
            tray_area[0] + tray_area[2] - menu[5] - menu[3]), menu[6] + menu[4] + 20))
        choose(menu, 0)
        dialog = wait_until("the dialog", lambda: desktop.postern_windows(
            lambda w: w[1] == "Postern configuration"))[0]
        centre = (dialog[5] + dialog[3] // 2, dialog[6] + dialog[4] // 2)
        if abs(centre[0] - 400) > 30 or abs(centre[1] - 300) > 30:
            raise Failure(f"the dialog is not centred: {dialog}")
        time.sleep(0.3)  # let it paint
        desktop.screenshot("dialog.png", (dialog[5], dialog[6], dialog[3], dialog[4]))

        # A mail client logs in through postern; the icon turns active.
        client = poplib.POP3("127.0.0.1", local_port, timeout=STEP_TIMEOUT)
        if not client.getwelcome().startswith(b"+OK Postern 1.0 Ready"):
            raise Failure(f"unexpected greeting {client.getwelcome()!r}")
        client.user(USER)
        if not client.pass_(PASSWORD).startswith(b"+OK alice has 1 message"):
            raise Failure("the login was refused")
        if client.stat() != (1, 120):
            raise Failure("STAT was not relayed")
        if server.logins != [True]:
            raise Failure(f"the server saw logins {server.logins}")
        wait_until("the active icon", lambda: icon_look(desktop, icon_area) == "active")
        desktop.screenshot("tray-active.png", tray_area)
        client.quit()
        wait_until("the idle icon after the session", lambda: icon_look(desktop, icon_area) == "idle")

        # Exit through the menu, and OK at the quit question.
        choose(open_menu(), 2)
        question = wait_until("the quit question", lambda: desktop.postern_windows(
            lambda w: w[1] == "Postern"))[0]
        time.sleep(0.3)
        desktop.screenshot("quit-question.png", (question[5], question[6], question[3],
                                                 question[4]))
        desktop.run("xdotool", "mousemove", str(question[5] + question[3] // 2),
                    str(question[6] + question[4] // 2))
        desktop.run("xdotool", "windowfocus", "--sync", str(int(question[0], 16)))
        desktop.run("xdotool", "key", "Return")
        try:
            status = app.wait(STEP_TIMEOUT)
        except subprocess.TimeoutExpired:
            raise Failure("postern did not end after the quit question")
        if status != 0:
            raise Failure(f"postern ended with status {status}")
        if desktop.postern_windows(lambda w: True):
            raise Failure("a postern window is left on screen")
        print("ok: docked, menu, dialog, active icon, exit")
        return 0
    except Failure as failure:
        print("FAIL:", failure)
        try:
            desktop.screenshot("failure.png")
        except (subprocess.SubprocessError, OSError):
            pass
        return 1
    finally:
        desktop.stop_all()
        server.stop.set()
        server.join(5)
        shutil.rmtree(home, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
