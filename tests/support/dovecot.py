"""A private Dovecot POP3 server with APOP, for integration tests and benchmarks.

It listens on 127.0.0.1 and a free high port, with its config, run and state
directories, log and mail in a folder of its own; the system's Dovecot service
is never touched. Dovecot runs in the foreground as our child, so the pid in
base_dir/master.pid is one we started, and it is asked to stop when this
process dies without calling stop().
"""

import ctypes
import grp
import itertools
import os
import pwd
import shutil
import signal
import socket
import subprocess
import tempfile
import threading
import time

from support import free_port
from support.pop3 import recv_line

MAIL_UID = 65534
MAIL_GID = 65534
START_TIMEOUT = 20.0
STOP_TIMEOUT = 10.0
_PR_SET_PDEATHSIG = 1


class DovecotError(RuntimeError):
    pass


def _find_dovecot():
    for directory in os.environ.get("PATH", "").split(os.pathsep) + ["/usr/sbin", "/sbin"]:
        candidate = os.path.join(directory or ".", "dovecot")
        if os.path.isfile(candidate) and os.access(candidate, os.X_OK):
            return candidate
    raise DovecotError("dovecot not found; install dovecot-core and dovecot-pop3d "
                       "(scripts/install-deps.sh test)")


def _load_prctl():
    try:
        return ctypes.CDLL(None, use_errno=True).prctl
    except (OSError, AttributeError):
        return None


_prctl = _load_prctl()


def _die_with_parent():
    # Runs in the child before exec: if the test process is killed, Dovecot
    # gets SIGTERM instead of lingering on its port. Only the main thread's
    # children: the signal follows the forking thread, not the process.
    if _prctl is not None:
        _prctl(_PR_SET_PDEATHSIG, signal.SIGTERM, 0, 0, 0)


def _pid_alive(pid):
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except PermissionError:
        return True
    return True


def _cmdline(pid):
    try:
        with open(f"/proc/{pid}/cmdline", "rb") as f:
            return f.read().split(b"\0")
    except OSError:
        return []


class Dovecot:
    def __init__(self, users, fast=False, max_userip_connections=10000, workdir=None,
                 tls=None, apop=True):
        """tls: (key file, certificate file) to offer STLS on the POP3 port and
        POP3S on tls_port; apop=False leaves the time stamp out of the greeting."""
        for user, password in users.items():
            for text in (user, password):
                if not text or any(c in text for c in ":\r\n\0 \t/"):
                    raise ValueError(f"unusable user name or password: {text!r}")
        self.users = dict(users)
        self.fast = fast
        self.max_userip_connections = int(max_userip_connections)
        self.host = "127.0.0.1"
        self.port = 0
        self.tls = tls
        self.apop = apop
        self.tls_port = 0
        self._owns_dir = workdir is None
        self._workdir = workdir
        self._dir = None
        self._process = None
        self._stderr = None
        if os.geteuid() == 0:
            self._uid, self._gid = MAIL_UID, MAIL_GID
        else:
            # Unprivileged Dovecot can only run everything as the caller.
            self._uid, self._gid = os.getuid(), os.getgid()

    # -- paths -------------------------------------------------------------

    @property
    def directory(self):
        return self._dir

    @property
    def config_path(self):
        return os.path.join(self._dir, "dovecot.conf")

    @property
    def log_path(self):
        return os.path.join(self._dir, "dovecot.log")

    @property
    def base_dir(self):
        return os.path.join(self._dir, "run")

    def maildir(self, user):
        if user not in self.users:
            raise KeyError(user)
        if self._dir is None:
            raise DovecotError("not started")
        return os.path.join(self._dir, "home", user, "Maildir")

    # -- life cycle --------------------------------------------------------

    def __enter__(self):
        self.start()
        return self

    def __exit__(self, *exc):
        self.stop()
        return False

    def start(self):
        if self._process is not None:
            raise DovecotError("already started")
        binary = _find_dovecot()
        self._prepare_dir()
        last_error = None
        for _ in range(3):
            self.port = free_port(self.host)
            self.tls_port = free_port(self.host) if self.tls else 0
            self._write_config()
            try:
                self._launch(binary)
                return
            except DovecotError as error:
                last_error = error
                self._terminate()
                if "in use" not in str(error):
                    break
        self._remove_dir()
        raise last_error

    def stop(self):
        try:
            self._terminate()
        finally:
            self._remove_dir()

    # -- mail --------------------------------------------------------------

    def deliver(self, user, message):
        maildir = self.maildir(user)
        self._make_maildir(maildir)
        name = f"{time.time_ns()}.P{os.getpid()}Q{next(_counter)}.postern-test"
        temporary = os.path.join(maildir, "tmp", name)
        with open(temporary, "wb") as f:
            f.write(message)
        os.chown(temporary, self._uid, self._gid)
        os.chmod(temporary, 0o600)
        path = os.path.join(maildir, "new", name)
        os.rename(temporary, path)
        return path

    def messages(self, user):
        maildir = self.maildir(user)
        found = []
        for sub in ("new", "cur"):
            folder = os.path.join(maildir, sub)
            if not os.path.isdir(folder):
                continue
            for name in sorted(os.listdir(folder)):
                try:
                    with open(os.path.join(folder, name), "rb") as f:
                        found.append(f.read())
                except FileNotFoundError:
                    pass  # expunged or renamed to cur/ while we listed
        return found

    def log_tail(self, n=40):
        if self._dir is None:
            return "(no Dovecot log)"
        parts = []
        for path in (self.log_path, self._stderr_path()):
            if not os.path.exists(path):
                continue
            with open(path, "rb") as f:
                lines = f.read().decode("utf-8", "replace").splitlines()
            if lines:
                parts.append("\n".join(lines[-n:]))
        return "\n".join(parts) if parts else "(no Dovecot log)"

    # -- internals ---------------------------------------------------------

    def _stderr_path(self):
        return os.path.join(self._dir, "dovecot.stderr") if self._dir else ""

    def _prepare_dir(self):
        if self._owns_dir:
            self._dir = tempfile.mkdtemp(prefix="postern-dovecot-")
        else:
            self._dir = os.path.abspath(self._workdir)
            os.makedirs(self._dir, exist_ok=True)
            self._clear_stale_instance()
        # Dovecot's unprivileged processes must reach base_dir and the homes.
        os.chmod(self._dir, 0o755)
        for sub in ("run", "state", "home"):
            os.makedirs(os.path.join(self._dir, sub), mode=0o755, exist_ok=True)
        with open(os.path.join(self._dir, "passwd"), "w") as f:
            for user, password in self.users.items():
                f.write(f"{user}:{{PLAIN}}{password}\n")
        os.chmod(os.path.join(self._dir, "passwd"), 0o644)
        for user in self.users:
            self._make_maildir(self.maildir(user))

    def _make_maildir(self, maildir):
        home = os.path.dirname(maildir)
        for path in (home, maildir, *(os.path.join(maildir, s) for s in ("new", "cur", "tmp"))):
            if not os.path.isdir(path):
                os.mkdir(path, 0o700)
                os.chown(path, self._uid, self._gid)

    def _clear_stale_instance(self):
        """A previous run in the same workdir may have left its Dovecot behind.

        Only a process whose command line names this workdir's config is ours
        to stop; any other pid in master.pid is stale and just forgotten."""
        pid_file = os.path.join(self._dir, "run", "master.pid")
        try:
            with open(pid_file) as f:
                pid = int(f.read().split()[0])
        except (OSError, ValueError, IndexError):
            return
        config = os.path.join(self._dir, "dovecot.conf").encode()
        args = _cmdline(pid)
        if _pid_alive(pid) and args and os.path.basename(args[0]) == b"dovecot" and config in args:
            os.kill(pid, signal.SIGTERM)
            deadline = time.monotonic() + STOP_TIMEOUT
            while _pid_alive(pid) and time.monotonic() < deadline:
                time.sleep(0.05)
            if _pid_alive(pid):
                os.kill(pid, signal.SIGKILL)
        try:
            os.unlink(pid_file)
        except FileNotFoundError:
            pass

    def _write_config(self):
        d = self._dir
        # Only root may chroot; unprivileged, everything runs as the caller.
        chroot = [] if os.geteuid() == 0 else ["  chroot ="]
        lines = [
            f"base_dir = {d}/run",
            f"state_dir = {d}/state",
            f"instance_name = {os.path.basename(d)}",
            f"log_path = {d}/dovecot.log",
            "protocols = pop3",
            "listen = 127.0.0.1",
            *(["ssl = yes", f"ssl_cert = <{self.tls[1]}", f"ssl_key = <{self.tls[0]}",
                "ssl_min_protocol = TLSv1.2"] if self.tls else ["ssl = no"]),
            "auth_mechanisms = plain apop" if self.apop else "auth_mechanisms = plain",
            "disable_plaintext_auth = no",
            "auth_verbose = yes",
            "mail_location = maildir:~/Maildir",
            "passdb {",
            "  driver = passwd-file",
            f"  args = scheme=PLAIN username_format=%u {d}/passwd",
            "}",
            "userdb {",
            "  driver = static",
            f"  args = uid={self._uid} gid={self._gid} home={d}/home/%u",
            "}",
            "service pop3-login {",
            "  inet_listener pop3 {",
            "    address = 127.0.0.1",
            f"    port = {self.port}",
            "  }",
            "  inet_listener pop3s {",
            *(["    address = 127.0.0.1", f"    port = {self.tls_port}", "    ssl = yes"]
              if self.tls else ["    port = 0"]),
            "  }",
            *chroot,
        ]
        if self.fast:
            lines += ["  service_count = 0", "  process_min_avail = 4"]
        lines += ["}", "service pop3 {"]
        if self.fast:
            lines += ["  service_count = 0", "  process_min_avail = 4"]
        lines += ["}"]
        if self.fast:
            # Long-lived pop3 processes count against auth's client limit.
            lines += ["service auth {", "  client_limit = 1200", "}"]
        lines += [
            # Behind a proxy every user shares one address: one wrong password
            # must not delay every later login by seconds.
            "service anvil {",
            "  unix_listener anvil-auth-penalty {",
            "    mode = 0",
            "  }",
            *chroot,
            "}",
            "protocol pop3 {",
            f"  mail_max_userip_connections = {self.max_userip_connections}",
            "}",
        ]
        if os.geteuid() != 0:
            user = pwd.getpwuid(os.getuid()).pw_name
            group = grp.getgrgid(os.getgid()).gr_name
            lines += [
                "first_valid_uid = 1",
                "first_valid_gid = 1",
                f"default_login_user = {user}",
                f"default_internal_user = {user}",
                f"default_internal_group = {group}",
            ]
        with open(self.config_path, "w") as f:
            f.write("\n".join(line for line in lines if line) + "\n")

    def _launch(self, binary):
        if os.path.exists(self.log_path):
            os.unlink(self.log_path)  # so that log_tail shows this attempt only
        self._stderr = open(self._stderr_path(), "wb")
        self._process = subprocess.Popen(
            [binary, "-F", "-c", self.config_path],
            stdin=subprocess.DEVNULL, stdout=self._stderr, stderr=self._stderr,
            preexec_fn=_die_with_parent if threading.current_thread() is threading.main_thread()
            else None,
            close_fds=True)
        deadline = time.monotonic() + START_TIMEOUT
        while True:
            if self._process.poll() is not None:
                tail = self.log_tail()
                raise DovecotError(
                    f"dovecot exited with status {self._process.returncode} at start"
                    + (" (address in use)" if "in use" in tail else "") + ":\n" + tail)
            if self._greets():
                return
            if time.monotonic() >= deadline:
                raise DovecotError(f"dovecot gave no greeting on {self.host}:{self.port} "
                                   f"within {START_TIMEOUT:.0f} s:\n" + self.log_tail())
            time.sleep(0.05)

    def _greets(self):
        try:
            with socket.create_connection((self.host, self.port), timeout=2) as s:
                greeting = recv_line(s, 1024)
        except OSError:
            return False
        if not greeting:
            return False  # a login process still starting up
        if greeting.startswith(b"+OK") and (b"<" in greeting and b">" in greeting or not self.apop):
            return True
        raise DovecotError(f"unexpected greeting {greeting!r} on {self.host}:{self.port}:\n"
                           + self.log_tail())

    def _master_pid(self):
        try:
            with open(os.path.join(self.base_dir, "master.pid")) as f:
                return int(f.read().split()[0])
        except (OSError, ValueError, IndexError):
            return None

    def _terminate(self):
        process, self._process = self._process, None
        if process is not None:
            # In the foreground, master.pid names our own child; any other pid
            # found there is not ours to signal.
            pid = self._master_pid()
            if pid != process.pid:
                pid = process.pid
            if process.poll() is None:
                os.kill(pid, signal.SIGTERM)
                try:
                    process.wait(STOP_TIMEOUT)
                except subprocess.TimeoutExpired:
                    process.kill()
                    process.wait(STOP_TIMEOUT)
        if self._stderr is not None:
            self._stderr.close()
            self._stderr = None

    def _remove_dir(self):
        if self._dir is not None and self._owns_dir:
            # The mail processes may still be finishing; Dovecot has stopped
            # listening, so what they leave behind goes with the folder.
            shutil.rmtree(self._dir, ignore_errors=True)
            self._dir = None


_counter = itertools.count(1)
