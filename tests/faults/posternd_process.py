"""posternd under fault tests: count its descriptors and memory in /proc, and
talk POP3 to it over a plain socket so that a test decides when it reads."""

import base64
import os
import random
import socket

from posternd import GREETING, POSTERND, TIMEOUT, recv_line, wait_until

# A closed connection with bytes still unsent may take this long to drain.
LINGER_LIMIT = 30.0


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


# -- posternd ------------------------------------------------------------------

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


# -- POP3 over a plain socket ------------------------------------------------

def login(port, user, password, rcvbuf=None):
    """A socket logged in through posternd; raises when any answer is wrong."""
    sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    try:
        if rcvbuf:
            sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, rcvbuf)
        sock.settimeout(TIMEOUT)
        sock.connect(("127.0.0.1", port))
        for command, expected in ((None, GREETING + b"\r\n"),
                                  (f"USER {user}", b"+OK Password\r\n"),
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
