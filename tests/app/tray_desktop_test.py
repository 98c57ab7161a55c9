#!/usr/bin/env python3
"""postern on a real X desktop: Xvfb for the screen, openbox as the window manager,
a private D-Bus session bus, and two kinds of status area.

First trayer, an XEmbed tray, started after postern: the dialog shows while there
is no tray and hides once the icon docks. Through the tray with xdotool: the menu,
Restore, a mail client's login and the active icon, a minimised dialog brought back
by a double click, ten failed logins that give one "Cannot connect" box with a
count, which stays reachable over the restored dialog, the apply question that
Escape does not answer and the tray menu that still opens while it waits, the tray
going away and coming back, --help and --version beside the running one, and a
second start that shows the running one's dialog. Then xfce4-panel, whose status
tray is a StatusNotifier host, started after a second postern at twice the scale
and without a server set: the dialog stays in sight when the item registers, the
icon bears the red mark, Close hides the dialog, a single left click on the icon
opens it again, and the panel's task list shows it; the tip and the menu are read
over D-Bus and Exit is chosen from the menu.
Screenshots are left in the artefact folder.

Usage: tray_desktop_test.py POSTERN ARTEFACT_DIR
"""
import os
import poplib
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from support import free_port, wait_until  # noqa: E402
from support.pop3 import ScriptedPop3Server  # noqa: E402
from support.tls import Authority, fingerprint, server_context  # noqa: E402

STEP_TIMEOUT = 15  # seconds for any one thing to happen on screen
SCREEN = (1280, 800)
USER, PASSWORD = "alice", "tanstaaf"

# The icon colours (res/icons/draw_icons.py): the idle envelope is grey, the
# active one yellow with a green dot.
YELLOW = (255, 200, 40)
GREEN = (30, 170, 60)
GREY = (200, 200, 200)
RED = (215, 30, 30)


class Failure(Exception):
    pass


def expect(what, probe, timeout=STEP_TIMEOUT):
    value = wait_until(probe, timeout, 0.1)
    if not value:
        raise Failure(f"timed out waiting for {what}")
    return value


class Desktop:
    """An X screen of the test's own; screenshots and logs go to artefacts,
    emptied of an earlier run's."""

    def __init__(self, artefacts):
        self.artefacts = artefacts
        os.makedirs(artefacts, exist_ok=True)
        for old in os.listdir(artefacts):
            if old.endswith((".png", ".log")):
                os.remove(os.path.join(artefacts, old))
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
                xvfb = self.start(["Xvfb", f":{number}", "-screen", "0", f"{SCREEN[0]}x{SCREEN[1]}x24",
                                   "-nolisten", "tcp", "-noreset"],
                                  stdout=log, stderr=subprocess.STDOUT)

            def answers():
                return xvfb.poll() is not None or subprocess.run(
                    ["xwininfo", "-root"], env=self.env, capture_output=True,
                    timeout=STEP_TIMEOUT).returncode == 0
            expect("the X server to answer", answers)
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

    def failed(self, failure, shot="failure.png"):
        """Reports a failed run with what the screen showed; the exit status."""
        print("FAIL:", failure)
        try:
            self.screenshot(shot)
        except (subprocess.SubprocessError, OSError):
            pass
        return 1

    def prop(self, wid, name):
        return self.run("xprop", "-id", wid, name)

    def root_prop(self, name):
        return self.run("xprop", "-root", name)

    def stacking(self):
        """Client windows, bottom to top, as the window manager stacks them."""
        return [int(w, 16) for w in re.findall(r"0x[0-9a-f]+",
                                                 self.root_prop("_NET_CLIENT_LIST_STACKING"))]

    def active_window(self):
        out = self.run("xdotool", "getactivewindow").strip()
        return int(out) if out.isdigit() else None

    def key(self, *keys):
        self.run("xdotool", "key", "--delay", "60", *keys)


def near(pixel, colour, tolerance=40):
    return all(abs(a - b) <= tolerance for a, b in zip(pixel, colour))


def icon_look(desktop, geometry):
    pixels = desktop.pixels(geometry)
    yellow = sum(near(p, YELLOW) for p in pixels)
    green = sum(near(p, GREEN) for p in pixels)
    grey = sum(near(p, GREY, 12) for p in pixels)
    red = sum(near(p, RED) for p in pixels)
    if yellow >= 10 and green >= 4:
        return "active"
    if yellow == 0 and green == 0 and grey >= 10:
        return "not-listening" if red >= 8 else "idle"
    return None


def fail_logins(port, count):
    """Mail clients whose logins fail for a server that is down: each sends
    USER and PASS and is left open, whatever the proxy answers."""
    clients = []
    for _ in range(count):
        client = socket.create_connection(("127.0.0.1", port), timeout=STEP_TIMEOUT)
        client.sendall(f"USER {USER}\r\nPASS {PASSWORD}\r\n".encode())
        clients.append(client)
    return clients




WATCHER = "org.kde.StatusNotifierWatcher"
ITEM = "org.kde.StatusNotifierItem"
PROPERTIES = "org.freedesktop.DBus.Properties"
PANEL_CONFIG = """<?xml version="1.0" encoding="UTF-8"?>
<channel name="xfce4-panel" version="1.0">
  <property name="configver" type="int" value="2"/>
  <property name="panels" type="array">
    <value type="int" value="1"/>
    <property name="panel-1" type="empty">
      <property name="position" type="string" value="p=6;x=0;y=0"/>
      <property name="length" type="uint" value="100"/>
      <property name="position-locked" type="bool" value="true"/>
      <property name="size" type="uint" value="32"/>
      <property name="plugin-ids" type="array">
        <value type="int" value="1"/>
        <value type="int" value="2"/>
      </property>
    </property>
  </property>
  <property name="plugins" type="empty">
    <property name="plugin-1" type="string" value="tasklist"/>
    <property name="plugin-2" type="string" value="systray"/>
  </property>
</channel>
"""


class StatusNotifierClient:
    """Looks at a registered item as the panel does: its tip, icon and menu, and
    sends a menu item's click."""

    def __init__(self, address):
        import dbus
        self.dbus = dbus
        self.bus = dbus.bus.BusConnection(address)

    def items(self):
        try:
            watcher = self.bus.get_object(WATCHER, "/StatusNotifierWatcher")
            return list(watcher.Get(WATCHER, "RegisteredStatusNotifierItems",
                                    dbus_interface=PROPERTIES))
        except self.dbus.DBusException:
            return []

    def item(self, name):
        service, _, path = name.partition("/")
        return self.bus.get_object(service, "/" + path if path else "/StatusNotifierItem")

    def prop(self, name, prop):
        return self.item(name).Get(ITEM, prop, dbus_interface=PROPERTIES)

    def tip(self, name):
        _, _, title, text = self.prop(name, "ToolTip")
        return f"{title} {text}".strip()

    def menu(self, name):
        """(id, label) of each entry of the item's menu."""
        service = name.partition("/")[0]
        menu = self.bus.get_object(service, self.prop(name, "Menu"))
        _, (_, _, children) = menu.GetLayout(0, -1, [], dbus_interface="com.canonical.dbusmenu")
        return menu, [(int(c[0]), str(c[1].get("label", ""))) for c in children
                      if c[1].get("type", "standard") != "separator"]

    def click(self, menu, entry):
        menu.Event(entry, "clicked", self.dbus.Int32(0), self.dbus.UInt32(0),
                   dbus_interface="com.canonical.dbusmenu")


def start_bus(desktop, home, env):
    """A private session bus; the services it starts (the panel's xfconfd) get env."""
    address = "unix:path=" + os.path.join(home, "bus")
    desktop.start(["dbus-daemon", "--session", "--nofork", "--nopidfile", "--address=" + address],
                  env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    expect("the session bus", lambda: os.path.exists(os.path.join(home, "bus")))
    return address


def settings_file(home):
    return os.path.join(home, "config", "quill", "Postern", "postern.conf")


def write_settings(home, server_port, local_port, host="127.0.0.1", server_tls=0):
    os.makedirs(os.path.dirname(settings_file(home)), exist_ok=True)
    with open(settings_file(home), "w") as out:
        out.write(f"[Settings]\nHostName={host}\nHostPort={server_port}\n"
                  f"LocalPort={local_port}\nServerTls={server_tls}\n")


def tls_server(authority, name):
    """A POP3S server with a self-signed certificate, started; and that certificate."""
    key, cert = authority.self_signed(name)
    server = ScriptedPop3Server(USER, PASSWORD, timeout=STEP_TIMEOUT * 2,
                                tls=server_context(key, cert))
    server.start()
    return server, cert


def refused_for_trust(local_port):
    """A login that the server's certificate stops; true when the client heard -ERR."""
    client = poplib.POP3("127.0.0.1", local_port, timeout=STEP_TIMEOUT)
    client.user(USER)
    try:
        client.pass_(PASSWORD)
        return False
    except poplib.error_proto:
        return True
    finally:
        client.close()


def start_trayer(desktop):
    return desktop.start(["trayer", "--edge", "top", "--align", "right", "--widthtype", "request",
                          "--height", "32", "--transparent", "false", "--tint", "0xffffff",
                          "--SetDockType", "true"], stdout=subprocess.DEVNULL,
                         stderr=subprocess.DEVNULL)


def stop(process):
    process.terminate()
    process.wait(STEP_TIMEOUT)


def check(condition, message):
    if not condition:
        raise Failure(message)


def expect_quit(app):
    try:
        status = app.wait(STEP_TIMEOUT)
    except subprocess.TimeoutExpired:
        raise Failure("postern did not end after the quit question")
    check(status == 0, f"postern ended with status {status}")


def frame(window):
    return (window[5], window[6], window[3], window[4])


def answer_box(desktop, what, shot, key):
    """Waits for a box of postern's, takes its picture and presses key in it."""
    box = expect(what, lambda: desktop.postern_windows(lambda w: w[1] == "Postern"))[0]
    time.sleep(0.3)
    desktop.screenshot(shot, frame(box))
    desktop.run("xdotool", "windowactivate", "--sync", str(int(box[0], 16)))
    desktop.key(key)
    return box


def xembed_tray(desktop, postern, env, server, cert, home, local_port):
    """postern before its tray, then everything a user does through trayer's icon."""
    app = desktop.start([postern], env=env)

    def dialog_shown():
        found = desktop.postern_windows(lambda w: w[1] == "Postern configuration")
        return found[0] if found else None

    def dialog_hidden():
        return dialog_shown() is None

    # No tray yet: the dialog is the way in, and a task list shows it.
    dialog = expect("the dialog without a tray", dialog_shown)
    window_type = desktop.prop(dialog[0], "_NET_WM_WINDOW_TYPE")
    check("_NET_WM_WINDOW_TYPE_NORMAL" in window_type, f"not a normal window: {window_type}")
    check("window id" not in desktop.prop(dialog[0], "WM_TRANSIENT_FOR"),
          "the dialog is transient for another window, so task lists leave it out")
    check("SKIP_TASKBAR" not in desktop.prop(dialog[0], "_NET_WM_STATE"), "skips the task bar")
    time.sleep(0.3)
    desktop.screenshot("no-tray-dialog.png")

    tray = start_trayer(desktop)

    def docked():
        panels = [w for w in desktop.windows() if w[1] == "panel"]
        if not panels:
            return None
        p = panels[0]
        icons = desktop.postern_windows(
            lambda w: 1 < w[3] <= 64 and 1 < w[4] <= 64 and
            p[5] <= w[5] < p[5] + p[3] and p[6] <= w[6] < p[6] + p[4])
        return (p, icons[0]) if icons else None
    panel, icon = expect("the icon to dock in the late tray", docked)
    expect("the dialog to hide once the icon docked", dialog_hidden)
    icon_area = frame(icon)
    tray_area = frame(panel)
    expect("the idle icon", lambda: icon_look(desktop, icon_area) == "idle")
    desktop.screenshot("tray-idle.png", tray_area)
    desktop.screenshot("tray-idle-zoom.png", (tray_area[0] - 8, 0, tray_area[2] + 16,
                                              tray_area[3] + 8))
    icon_centre = (str(icon[5] + icon[3] // 2), str(icon[6] + icon[4] // 2))

    def open_menu():
        desktop.run("xdotool", "mousemove", *icon_centre, "click", "3")
        return expect("the tray menu", lambda: desktop.postern_windows(
            lambda w: w[0] != icon[0] and w[1] == "postern" and w[3] > 40 and w[4] > 40))[0]

    def choose(menu, item):
        # Three items of equal height: Restore, About, Exit.
        desktop.run("xdotool", "mousemove", str(menu[5] + menu[3] // 2),
                    str(menu[6] + menu[4] * (2 * item + 1) // 6), "click", "1")

    def boxes():
        return desktop.postern_windows(lambda w: w[1] == "Postern")

    def activate(window):
        desktop.run("xdotool", "windowactivate", "--sync", str(int(window[0], 16)))

    menu = open_menu()
    desktop.screenshot("tray-menu.png", (max(0, menu[5] - 20), 0, menu[3] + 40 + (
        tray_area[0] + tray_area[2] - menu[5] - menu[3]), menu[6] + menu[4] + 20))
    choose(menu, 0)
    dialog = expect("the dialog", dialog_shown)
    centre = (dialog[5] + dialog[3] // 2, dialog[6] + dialog[4] // 2)
    check(abs(centre[0] - SCREEN[0] // 2) <= 40 and abs(centre[1] - SCREEN[1] // 2) <= 40,
          f"the dialog is not centred: {dialog}")
    time.sleep(0.3)  # let it paint
    desktop.screenshot("dialog.png", frame(dialog))

    # The server's self-signed certificate stops the first login; the report offers
    # to trust it, and Yes lets the next login through.
    check(refused_for_trust(local_port), "a login passed an untrusted certificate")
    answer_box(desktop, "the offer to trust the certificate", "trust-question.png", "y")
    expect("Yes to store the fingerprint", lambda: f"TlsFingerprint={fingerprint(cert)}" in
           open(settings_file(home)).read())
    check(not boxes(), "the offer is still open")
    check(server.received == [], f"the server received {server.received}")

    # A mail client logs in through postern; the icon turns active.
    client = poplib.POP3("127.0.0.1", local_port, timeout=STEP_TIMEOUT)
    check(client.getwelcome().startswith(b"+OK Postern 1.0 Ready"),
          f"unexpected greeting {client.getwelcome()!r}")
    client.user(USER)
    check(client.pass_(PASSWORD).startswith(b"+OK alice has 1 message"), "the login was refused")
    check(client.stat() == (1, 120), "STAT was not relayed")
    check(server.logins == [True], f"the server saw logins {server.logins}")
    expect("the active icon", lambda: icon_look(desktop, icon_area) == "active")
    desktop.screenshot("tray-active.png", tray_area)
    client.quit()
    expect("the idle icon after the session", lambda: icon_look(desktop, icon_area) == "idle")

    # Minimised by the user, the dialog comes back normal and focused on a double click.
    desktop.run("xdotool", "windowminimize", "--sync", str(int(dialog[0], 16)))
    expect("the dialog to be minimised", dialog_hidden)
    desktop.run("xdotool", "mousemove", *icon_centre, "click", "--repeat", "2", "--delay", "80",
                "1")
    dialog = expect("the minimised dialog to come back", dialog_shown)
    check("HIDDEN" not in desktop.prop(dialog[0], "_NET_WM_STATE"), "still minimised")
    expect("the restored dialog to have the focus",
               lambda: desktop.active_window() == int(dialog[0], 16))

    # Close (the seventh field in the tab order from the host name) hides it; ten
    # failed logins then give one report box, with a count, while it is hidden,
    # and the box stays above the dialog when that is restored.
    desktop.key(*["Tab"] * 6, "Return")
    expect("Close to hide the dialog", dialog_hidden)
    server.stop.set()
    server.join(5)
    server.listener.close()
    clients = fail_logins(local_port, 10)
    expect("the report", boxes)
    time.sleep(2)  # for every login to fail
    check(len(boxes()) == 1, f"{len(boxes())} report boxes for ten failed logins")
    report = boxes()[0]
    desktop.screenshot("report-count.png", frame(report))
    for client in clients:
        client.close()
    choose(open_menu(), 0)
    dialog = expect("the dialog over the report", dialog_shown)
    time.sleep(0.5)
    order = desktop.stacking()
    check(order.index(int(report[0], 16)) > order.index(int(dialog[0], 16)),
          "the report is under the dialog")
    desktop.screenshot("report-over-dialog.png")
    activate(report)
    desktop.key("Return")
    expect("the report to close", lambda: not boxes())

    # The dialog still takes keys: an edit, then Close asks the apply question.
    activate(dialog)
    desktop.key(*["shift+Tab"] * 6, "End", "x", *["Tab"] * 6, "Return")
    question = expect("the apply question", boxes)[0]
    activate(question)
    desktop.key("Escape")
    time.sleep(1)
    check(boxes(), "Escape answered the apply question")
    # The tray menu still opens; its Exit brings the question forward, no second box.
    menu = open_menu()
    desktop.screenshot("tray-menu-over-question.png")
    choose(menu, 2)
    time.sleep(1)
    check(len(boxes()) == 1, f"a second box: {boxes()}")
    expect("the question to have the focus",
               lambda: desktop.active_window() == int(boxes()[0][0], 16))
    desktop.screenshot("apply-question.png")
    desktop.key("n")
    expect("No to hide the dialog", lambda: not boxes() and dialog_hidden())

    # The tray goes away: the dialog is back; it comes back: the icon docks again.
    stop(tray)
    expect("the dialog once the tray is gone", dialog_shown)
    tray = start_trayer(desktop)
    panel, icon = expect("the icon to dock again", docked)
    expect("the dialog to hide again", dialog_hidden)
    icon_centre = (str(icon[5] + icon[3] // 2), str(icon[6] + icon[4] // 2))

    # --help and --version answer beside the running one, which stays hidden.
    for option, first_line in (("--help", "Usage: postern"), ("--version", "postern (Postern) ")):
        shown = subprocess.run([postern, option], env=env, timeout=STEP_TIMEOUT,
                               stdin=subprocess.DEVNULL, capture_output=True, text=True)
        check(shown.returncode == 0 and shown.stdout.startswith(first_line),
              f"postern {option} ended with {shown.returncode}: {shown.stdout!r}")
    time.sleep(1)
    check(dialog_hidden(), "--help or --version showed the running one's dialog")

    # A second start shows the running one's dialog and ends with status 0.
    second = subprocess.run([postern], env=env, timeout=STEP_TIMEOUT * 2,
                            stdin=subprocess.DEVNULL, capture_output=True)
    check(second.returncode == 0, f"the second start ended with {second.returncode}")
    expect("the second start to show the dialog", dialog_shown)
    check(len(desktop.postern_windows(lambda w: 1 < w[3] <= 64 and 1 < w[4] <= 64)) == 1,
          "a second icon")

    # Exit through the menu, and OK at the quit question.
    choose(open_menu(), 2)
    question = expect("the quit question", boxes)[0]
    time.sleep(0.3)
    desktop.screenshot("quit-question.png", frame(question))
    activate(question)
    desktop.key("Return")
    # The edit answered No above is still pending: the apply question comes again.
    expect("the quit question to go", lambda: not desktop.visible(question[0]))
    question = expect("the apply question at the quit", boxes)[0]
    activate(question)
    desktop.key("n")
    expect_quit(app)
    check(not desktop.postern_windows(lambda w: True), "a postern window is left on screen")
    stop(tray)


def status_notifier_tray(desktop, postern, env, home, local_port):
    """A second postern at twice the scale and without a server, started before
    xfce4-panel, whose status tray is a StatusNotifier host and whose task list
    follows libwnck's rules."""
    env = dict(env, QT_SCALE_FACTOR="2")
    write_settings(home, 110, local_port, host="")
    # Postern's icons as an installed copy has them, so the panel loads them by name.
    icons = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "res", "icons")
    for size in (16, 22, 24, 32, 48, 64):
        folder = os.path.join(home, ".local", "share", "icons", "hicolor", f"{size}x{size}", "apps")
        os.makedirs(folder, exist_ok=True)
        for name in ("idle", "active", "not-listening"):
            shutil.copy(os.path.join(icons, f"{name}-{size}.png"),
                        os.path.join(folder, f"postern-{name}.png"))
    app = desktop.start([postern], env=env)

    def dialog_shown():
        found = desktop.postern_windows(lambda w: w[1] == "Postern configuration")
        return found[0] if found else None

    dialog = expect("the dialog without a tray", dialog_shown)
    time.sleep(0.5)
    desktop.screenshot("dialog-2x.png", frame(dialog))
    panel_config = os.path.join(home, "config", "xfce4", "xfconf", "xfce-perchannel-xml")
    os.makedirs(panel_config, exist_ok=True)
    with open(os.path.join(panel_config, "xfce4-panel.xml"), "w") as out:
        out.write(PANEL_CONFIG)
    panel_process = desktop.start(["xfce4-panel", "--disable-wm-check"],
                                  env=dict(env, QT_SCALE_FACTOR="1", NO_AT_BRIDGE="1"),
                                  stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    panel = StatusNotifierClient(env["DBUS_SESSION_BUS_ADDRESS"])
    item = expect("the item to register", lambda: (panel.items() or [None])[0])
    time.sleep(2)
    check(dialog_shown() is not None, "the dialog hid without a server set")
    check(panel.tip(item) == "Postern: No POP3 server set", f"the tip reads {panel.tip(item)!r}")
    check(panel.prop(item, "IconName") == "postern-not-listening",
          f"the icon goes by {panel.prop(item, 'IconName')!r}")
    pixmaps = {int(w): bytes(data) for w, h, data in panel.prop(item, "IconPixmap")}
    print("StatusNotifier icon sizes:", sorted(pixmaps))
    check({16, 22, 24, 32} <= set(pixmaps), f"icon sizes {sorted(pixmaps)}")
    # The largest picture, which a panel at twice the scale shrinks to its size.
    argb = pixmaps[max(pixmaps)]
    rgba = b"".join(argb[i + 1:i + 4] + argb[i:i + 1] for i in range(0, len(argb), 4))
    subprocess.run(["convert", "-size", f"{max(pixmaps)}x{max(pixmaps)}", "-depth", "8",
                    "rgba:-", "-background", "#f0f0f0", "-flatten",
                    os.path.join(desktop.artefacts, "status-notifier-icon-largest.png")],
                   input=rgba, check=True, timeout=STEP_TIMEOUT)

    # The icon is drawn by the panel itself: found by its red mark, which
    # nothing else on the panel has.
    strip = (0, 0, SCREEN[0], 32)

    def icon_spot():
        pixels = desktop.pixels(strip)
        spots = [(i % SCREEN[0], i // SCREEN[0]) for i, p in enumerate(pixels) if near(p, RED)]
        if len(spots) < 8:
            return None
        return (sum(x for x, _ in spots) // len(spots), sum(y for _, y in spots) // len(spots))
    spot = expect("the icon with its red mark in the panel", icon_spot)
    desktop.screenshot("xfce-panel-not-listening.png", (spot[0] - 60, 0, 120, 32))
    # Drawn at the panel's own size, not shrunk: the outline's top row is one solid line.
    pixels = desktop.pixels((spot[0] - 16, 0, 32, 32))
    solid = max(sum(near(p, (70, 70, 70), 12) for p in pixels[r * 32:(r + 1) * 32])
                for r in range(32))
    check(solid >= 15, f"the icon's outline is soft: at most {solid} outline pixels in a row")
    # Close hides it; a single left click opens it, and the panel's task list shows it.
    desktop.run("xdotool", "windowactivate", "--sync", str(int(dialog[0], 16)))
    desktop.key(*["Tab"] * 6, "Return")
    expect("Close to hide the dialog", lambda: dialog_shown() is None)
    time.sleep(0.5)
    spot = expect("the icon where the task list left it", icon_spot)  # its button gone
    desktop.run("xdotool", "mousemove", str(spot[0]), str(spot[1]), "click", "1")
    dialog = expect("a left click to open the dialog", dialog_shown)
    time.sleep(0.5)
    desktop.screenshot("xfce-panel-task-list.png")
    menu, entries = panel.menu(item)
    check([label for _, label in entries] == ["Restore", "About", "Exit"], f"menu {entries}")
    panel.click(menu, entries[2][0])
    answer_box(desktop, "the quit question", "quit-question-2x.png", "Return")
    expect_quit(app)
    stop(panel_process)


def main():
    try:
        import dbus  # noqa: F401
    except ImportError:
        # Debian's python3-dbus belongs to the system's interpreter.
        if os.path.realpath(sys.executable) != os.path.realpath("/usr/bin/python3") and \
                os.path.exists("/usr/bin/python3"):
            os.execv("/usr/bin/python3", ["/usr/bin/python3"] + sys.argv)
        print("python3-dbus is missing")
        return 1
    postern, artefacts = sys.argv[1], sys.argv[2]
    for tool in ("Xvfb", "trayer", "xfce4-panel", "xdotool", "xwininfo", "xprop", "import",
                 "openbox", "dbus-daemon"):
        if shutil.which(tool) is None:
            print(f"{tool} is missing")
            return 1
    desktop = Desktop(artefacts)
    authority = Authority()
    server, cert = tls_server(authority, "home-server")
    home = tempfile.mkdtemp(prefix="postern-desktop-")
    servers = [server]
    started = time.monotonic()
    try:
        local_port = free_port()
        write_settings(home, server.port, local_port, server_tls=2)
        desktop.start_xvfb()
        desktop.start(["openbox", "--sm-disable"], stdout=subprocess.DEVNULL,
                      stderr=subprocess.DEVNULL)
        expect("the window manager",
                   lambda: "window id" in desktop.root_prop("_NET_SUPPORTING_WM_CHECK"))
        env = dict(desktop.env)
        env.update({"XDG_CONFIG_HOME": os.path.join(home, "config"),
                    "XDG_RUNTIME_DIR": home,
                    "HOME": home,
                    "QT_QPA_PLATFORM": "xcb"})
        env["DBUS_SESSION_BUS_ADDRESS"] = start_bus(desktop, home, env)
        # For a sanitizer build: Qt keeps, and never frees, the description of the
        # StatusNotifier watcher that it reads when it first looks for one
        # (QDBusMetaObject::createMetaObject, below Qt's own frames without
        # frame pointers, so only the library can be named).
        suppressions = os.path.join(home, "lsan.supp")
        with open(suppressions, "w") as out:
            out.write("leak:libQt6DBus.so\n")
        env["LSAN_OPTIONS"] = ":".join(filter(None, [os.environ.get("LSAN_OPTIONS"),
                                                     "suppressions=" + suppressions]))
        xembed_tray(desktop, postern, env, server, cert, home, local_port)
        print(f"ok: XEmbed tray ({time.monotonic() - started:.0f} s)")
        status_notifier_tray(desktop, postern, env, home, local_port)
        print(f"ok: xfce4-panel's StatusNotifier tray ({time.monotonic() - started:.0f} s)")
        return 0
    except Failure as failure:
        return desktop.failed(failure)
    finally:
        desktop.stop_all()
        for running in servers:
            running.stop.set()
            running.join(5)
        authority.remove()
        shutil.rmtree(home, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
