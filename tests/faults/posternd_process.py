"""posternd as a process under test: start and stop it, count its descriptors
and memory in /proc, and talk POP3 to it over a plain socket so that a test
decides when it reads."""

import base64
import os
import random
import shutil
import signal
import socket
import subprocess
import tempfile
import time

from dovecot import free_port

POSTERND = os.environ.get("POSTERND", "")
GREETING = b"+OK Postern 1.0 Ready\r\n"
TIMEOUT = 20.0  # any single wait; the sanitizer build is slow
# A closed connection with bytes still unsent may take this long to drain.
LINGER_LIMIT = 30.0


def wait_until(predicate, timeout=TIMEOUT, step=0.02):
    deadline = time.monotonic() + timeout
    while True:
        if predicate():
            return True
        if time.monotonic() >= deadline:
            return False
        time.sleep(step)


# -- /proc -------------------------------------------------------------------

def fd_targets(pid):
    targets = []
    for name in os.listdir(f"/proc/{pid}/fd"):
        try:
            targets.append(os.readlink(f"/proc/{pid}/fd/{name}"))
        except FileNotFoundError:
            pass  # closed while we looked
    return targets


def fd_count(pid):
    return len(fd_targets(pid))


def socket_count(pid):
    return sum(1 for target in fd_targets(pid) if target.startswith("socket:"))


def memory_kib(pid, field="VmRSS"):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise KeyError(field)


def _parent_and_name(pid):
    try:
        with open(f"/proc/{pid}/stat") as f:
            stat = f.read()
    except OSError:
        return None, None
    # The name is in parentheses and may hold spaces; the parent follows the state.
    name = stat[stat.index("(") + 1:stat.rindex(")")]
    return int(stat[stat.rindex(")") + 2:].split()[1]), name


def descendants(root, name=None):
    """Pids of the processes below root (optionally only those called name)."""
    children = {}
    names = {}
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            parent, comm = _parent_and_name(int(entry))
            if parent is not None:
                children.setdefault(parent, []).append(int(entry))
                names[int(entry)] = comm
    found, todo = [], [root]
    while todo:
        for child in children.get(todo.pop(), []):
            found.append(child)
            todo.append(child)
    return {pid for pid in found if name is None or names.get(pid) == name}


# -- posternd ----------------------------------------------------------------

def sanitized():
    """Whether posternd was built with AddressSanitizer or UBSan."""
    if not os.path.isfile(POSTERND):
        return False  # Posternd() says what is wrong
    with open(POSTERND, "rb") as f:
        binary = f.read()
    return b"__asan_init" in binary or b"__ubsan_handle" in binary


class Posternd:
    """One posternd process with stdout and stderr kept in a folder of its own,
    and the tray app's stored settings kept out of the way."""

    def __init__(self, host, host_port, env=None):
        if not POSTERND or not os.access(POSTERND, os.X_OK):
            raise RuntimeError(f"POSTERND must name the posternd executable, not {POSTERND!r}")
        self.host = host
        self.host_port = host_port
        self.port = None
        self.process = None
        self._dir = tempfile.mkdtemp(prefix="postern-faults-")
        self._env = dict(os.environ)
        self._env["XDG_CONFIG_HOME"] = os.path.join(self._dir, "config")
        self._env.update(env or {})
        os.mkdir(self._env["XDG_CONFIG_HOME"])
        self._stderr = None

    @property
    def pid(self):
        return self.process.pid

    def start(self):
        for _ in range(3):
            self.port = free_port()
            self._stderr = open(os.path.join(self._dir, "stderr"), "wb")
            self.process = subprocess.Popen(
                [POSTERND, "--host", self.host, "--host-port", str(self.host_port),
                 "--local-port", str(self.port)],
                stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=self._stderr,
                env=self._env)
            if wait_until(lambda: self.process.poll() is not None or self.greets()):
                if self.process.poll() is None:
                    return self
                if self.process.returncode == 1:
                    self._stderr.close()
                    continue  # someone took the free port first
            break
        raise AssertionError(f"posternd did not start (status {self.process.poll()}):\n"
                             + self.stderr())

    def greets(self):
        try:
            with socket.create_connection(("127.0.0.1", self.port), timeout=2) as s:
                return recv_line(s) == GREETING
        except OSError:
            return False

    def stderr(self):
        try:
            with open(os.path.join(self._dir, "stderr"), "rb") as f:
                return f.read().decode("utf-8", "replace")
        except OSError:
            return ""

    def alive(self):
        return self.process is not None and self.process.poll() is None

    def idle_descriptors(self):
        """The descriptor count once no session is left: only the listener is a socket."""
        if not wait_until(lambda: socket_count(self.pid) == 1, LINGER_LIMIT + TIMEOUT, 0.1):
            targets = fd_targets(self.pid)
            raise AssertionError(f"posternd still holds {socket_count(self.pid)} sockets among "
                                 f"{len(targets)} descriptors: {sorted(targets)[:12]}")
        return fd_count(self.pid)

    def stop(self):
        """SIGTERM; returns the exit status (kills it if it does not exit in time)."""
        if self.process is None:
            return None
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            try:
                self.process.wait(TIMEOUT)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait(TIMEOUT)
                return "killed after not stopping on SIGTERM"
        return self.process.returncode

    def cleanup(self):
        if self.process is not None and self.process.poll() is None:
            self.process.kill()
            self.process.wait(TIMEOUT)
        if self._stderr is not None:
            self._stderr.close()
        shutil.rmtree(self._dir, ignore_errors=True)


# -- POP3 over a plain socket ------------------------------------------------

def recv_line(sock, limit=4096):
    line = b""
    while not line.endswith(b"\n") and len(line) < limit:
        chunk = sock.recv(1)
        if not chunk:
            break
        line += chunk
    return line


def login(port, user, password, rcvbuf=None):
    """A socket logged in through posternd; raises when any answer is wrong."""
    sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    try:
        if rcvbuf:
            sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, rcvbuf)
        sock.settimeout(TIMEOUT)
        sock.connect(("127.0.0.1", port))
        for command, expected in ((None, GREETING), (f"USER {user}", b"+OK Password\r\n"),
                                  (f"PASS {password}", b"+OK Logged in.\r\n")):
            if command:
                sock.sendall(command.encode() + b"\r\n")
            answer = recv_line(sock)
            if answer != expected:
                raise AssertionError(f"{command}: {answer!r}, expected {expected!r}")
    except BaseException:
        sock.close()
        raise
    return sock


def build_message(size, seed):
    """About `size` bytes of ordinary 76-character lines, with dotted, empty,
    long and 8-bit lines among them; LF line ends, as stored in a maildir."""
    rng = random.Random(seed)
    special = [b".", b"..", b".leading dot", b"", b"x" * 5000, bytes(range(0x80, 0x100)),
               b"+OK looks like a reply", b"QUIT"]
    lines = [b"From: sender@example.org", b"To: user@example.org",
             f"Subject: fault test {seed}".encode(), b""]
    total = sum(len(line) + 1 for line in lines)
    n = 0
    while total < size:
        if n % 1000 == 999:
            line = special[(n // 1000) % len(special)]
        else:
            line = base64.b64encode(rng.randbytes(57))  # 76 characters
        lines.append(line)
        total += len(line) + 1
        n += 1
    return b"\n".join(lines) + b"\n"


def retr_body(message):
    """What RETR sends after its first line: CRLF line ends, dot-stuffing, the end mark."""
    lines = message[:-1].split(b"\n")
    return b"".join((b"." + line if line.startswith(b".") else line) + b"\r\n"
                    for line in lines) + b".\r\n"
