"""posternd as a process under test: started on a free loopback port with its
stderr kept in a file and the tray app's stored settings kept out of the way,
and a unittest case that shows that stderr (and Dovecot's log) on a failure."""

import errno
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import unittest

from support import TIMEOUT, free_port, wait_until
from support.pop3 import GREETING, recv_line
from support.proc import fd_count, fd_targets, socket_count

POSTERND = os.environ.get("POSTERND", "")
# posternd.exe under wine (POSTERND_WINE_RUN names the build's wine wrapper): a
# Windows program stops on Ctrl+C, which wine makes of SIGINT; Windows has no
# SIGTERM. Its error numbers are Windows Sockets numbers, its settings live in
# the registry.
WINE_RUN = os.environ.get("POSTERND_WINE_RUN", "")
WINDOWS = bool(WINE_RUN)
STOP_SIGNAL = signal.SIGINT if WINDOWS else signal.SIGTERM
ECONNREFUSED = 10061 if WINDOWS else errno.ECONNREFUSED
NEWLINE = "\r\n" if WINDOWS else "\n"  # as stderr writes it
# A closed connection with bytes still unsent may take this long to drain.
LINGER_LIMIT = 30.0


def check_posternd():
    if not POSTERND or not os.access(POSTERND, os.X_OK):
        raise RuntimeError(f"POSTERND must name the posternd executable, not {POSTERND!r}")


def sanitized():
    """Whether posternd was built with AddressSanitizer or UBSan."""
    if not os.path.isfile(POSTERND):
        return False  # Posternd() says what is wrong
    with open(POSTERND, "rb") as f:
        binary = f.read()
    return b"__asan_init" in binary or b"__ubsan_handle" in binary


def idle_descriptors(pid):
    """posternd's descriptor count once no session is left: only the listener is a socket."""
    if not wait_until(lambda: socket_count(pid) == 1, LINGER_LIMIT + TIMEOUT, 0.1):
        targets = fd_targets(pid)
        raise AssertionError(f"posternd still holds {socket_count(pid)} sockets among "
                             f"{len(targets)} descriptors: {sorted(targets)[:12]}")
    return fd_count(pid)


def greets(port):
    """Whether a posternd listening on port greets a mail client."""
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=2) as s:
            return recv_line(s) == GREETING + b"\r\n"
    except OSError:
        return False


class Posternd:
    """One posternd process; stdout goes nowhere, stderr to a file in a folder
    of its own, which also holds its (empty) settings. `env` adds to the
    environment it runs in, `args` to its command line. With `config`, the
    settings are handed over as a settings file (--config), the way the service
    unit starts it."""

    def __init__(self, host, host_port, env=None, args=(), config=False):
        check_posternd()
        self.host = host
        self.host_port = host_port
        self.port = None
        self.args = list(args)
        self.process = None
        self.returncode = None
        self._dir = tempfile.mkdtemp(prefix="postern-posternd-")
        self._env = dict(os.environ)
        self._env["XDG_CONFIG_HOME"] = os.path.join(self._dir, "config")
        self._env.update(env or {})
        self.config = os.path.join(self._dir, "posternd.conf") if config else None
        os.makedirs(self._env["XDG_CONFIG_HOME"], exist_ok=True)
        self._stderr = None

    @property
    def pid(self):
        return self.process.pid

    def start(self):
        for _ in range(3):
            self.port = free_port()
            if self._stderr is not None:
                self._stderr.close()
            self._stderr = open(os.path.join(self._dir, "stderr"), "wb")
            args = ["--host", self.host, "--host-port", str(self.host_port),
                    "--local-port", str(self.port)]
            if self.config:
                with open(self.config, "w") as f:
                    f.write(f"[Settings]\nHostName={self.host}\nHostPort={self.host_port}\n"
                            f"LocalPort={self.port}\n")
                args = ["--config", self.config]
            self.process = subprocess.Popen(
                [POSTERND, *args, *self.args],
                stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=self._stderr,
                env=self._env)
            if wait_until(lambda: self.process.poll() is not None or self.greets()):
                if self.process.poll() is None:
                    return self
                if self.process.returncode == 1:
                    continue  # someone took the free port first
            break
        raise AssertionError(f"posternd did not start (status {self.process.poll()}):\n"
                             + self.stderr())

    def greets(self):
        return greets(self.port)

    def stderr(self):
        try:
            with open(os.path.join(self._dir, "stderr"), "rb") as f:
                return f.read().decode("utf-8", "replace")
        except OSError:
            return ""

    def alive(self):
        return self.process is not None and self.process.poll() is None

    def stop(self, sig=STOP_SIGNAL):
        """Sends `sig` and returns the exit status; kills it if it does not exit in time."""
        if self.process is None:
            return self.returncode
        if self.process.poll() is None:
            self.process.send_signal(sig)
            try:
                self.process.wait(TIMEOUT)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait(TIMEOUT)
                self.returncode = f"killed after not stopping on {signal.Signals(sig).name}"
        if self.returncode is None:
            self.returncode = self.process.returncode
        self.process = None
        self._stderr.close()
        return self.returncode

    def cleanup(self):
        self.stop(signal.SIGKILL)
        shutil.rmtree(self._dir, ignore_errors=True)


class PosterndCase(unittest.TestCase):
    """Starts posternd in front of the class's Dovecot (or another server);
    shows posternd's stderr and Dovecot's log when a test fails."""

    dovecot = None

    def run(self, result=None):
        before = (len(result.failures), len(result.errors)) if result else None
        self._diagnostics = []
        outcome = super().run(result)
        if result and (len(result.failures), len(result.errors)) != before:
            sys.stderr.write("\n".join(self._diagnostics) + "\n")
        return outcome

    def start_posternd(self, host="127.0.0.1", host_port=None, env=None, args=(), config=False):
        daemon = Posternd(host, host_port or self.dovecot.port, env, args, config)
        self.addCleanup(self._finish, daemon)
        return daemon.start()

    def _finish(self, daemon):
        self._diagnostics.append(f"--- {self.id()}: posternd stderr ---\n{daemon.stderr()}")
        if self.dovecot is not None and self.dovecot.directory:
            self._diagnostics.append(f"--- dovecot log ---\n{self.dovecot.log_tail()}")
        daemon.cleanup()

    def stop_cleanly(self, daemon):
        # A sanitizer build also reports leaks here, as a failing exit status.
        self.assertTrue(daemon.alive(), "posternd died:\n" + daemon.stderr())
        self.assertEqual(daemon.stop(), 0,
                         f"posternd exit status on {STOP_SIGNAL.name}:\n" + daemon.stderr())


def store_settings(test, values):
    """Stores settings (name: whole number or text) where posternd finds the tray
    app's: an INI file under a fresh XDG_CONFIG_HOME on Linux, the registry of
    wine's prefix on Windows. Returns the environment to start posternd with."""
    if WINDOWS:
        key = r"HKCU\Software\quill\Postern\postern\Settings"
        for name, value in values.items():
            kind = "REG_SZ" if isinstance(value, str) else "REG_DWORD"
            subprocess.run([WINE_RUN, "reg", "add", key, "/v", name, "/t", kind, "/d",
                            str(value), "/f"], check=True, capture_output=True, timeout=TIMEOUT)
        test.addCleanup(subprocess.run, [WINE_RUN, "reg", "delete", key, "/f"],
                        capture_output=True, timeout=TIMEOUT)
        return {}
    home = tempfile.mkdtemp(prefix="postern-config-")
    test.addCleanup(shutil.rmtree, home, ignore_errors=True)
    os.makedirs(os.path.join(home, "quill", "Postern"))
    with open(os.path.join(home, "quill", "Postern", "postern.conf"), "w") as f:
        f.write("[Settings]\n" + "".join(f"{name}={value}\n" for name, value in values.items()))
    return {"XDG_CONFIG_HOME": home}
