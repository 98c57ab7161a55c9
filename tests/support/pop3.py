"""POP3 over a plain socket, so that a test decides when it reads; the one
message builder; and a scripted POP3 server with APOP."""

import base64
import hashlib
import random
import socket
import threading

from support import TIMEOUT

GREETING = b"+OK Postern 1.0 Ready"

# Lines a relay may trip over: dots to stuff, lengths around poplib's limit
# and far beyond, 8-bit text, blanks, and lines that look like commands or replies.
SPECIAL_LINES = [b".", b"..", b".leading dot", b"..two leading dots", b"x" * 2047, b"y" * 2048,
                 b"z" * 2049, b"w" * 70000, bytes(range(0x80, 0x100)) * 3,
                 "Grüße aus Köln – ½ € – 日本語".encode(), b"\ttab and trailing blanks  \t ",
                 b"", b"QUIT", b"+OK looks like a reply", b"-ERR looks like one too"]


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


def build_message(size, seed, special_every=4000, end=b"\n"):
    """A message of about `size` bytes: ordinary 76-character lines, with one of
    SPECIAL_LINES every `special_every` lines and each of them once at the end
    (none when special_every is 0). LF line ends as stored in a maildir, or `end`."""
    rng = random.Random(seed)
    lines = [b"From: Sender <sender@example.org>", b"To: user@example.org",
             f"Subject: test message {seed}".encode(), f"Message-ID: <{seed}@example.org>".encode(),
             b"MIME-Version: 1.0", b"Content-Type: text/plain; charset=utf-8",
             b"Content-Transfer-Encoding: 8bit", b""]
    total = sum(len(line) + len(end) for line in lines)
    n = 0
    while total < size:
        if special_every and n % special_every == special_every - 1:
            line = SPECIAL_LINES[(n // special_every) % len(SPECIAL_LINES)]
        else:
            line = base64.b64encode(rng.randbytes(57))  # 76 characters
        lines.append(line)
        total += len(line) + len(end)
        n += 1
    if special_every:
        lines += SPECIAL_LINES
    return end.join(lines) + end


def pop3_size(message):
    # POP3 counts octets with CRLF line ends.
    return len(message) + message.count(b"\n")


def retr_body(message):
    """What RETR sends after its first line: CRLF line ends, dot-stuffing, the end mark."""
    lines = message[:-1].split(b"\n")
    return b"".join((b"." + line if line.startswith(b".") else line) + b"\r\n"
                    for line in lines) + b".\r\n"


class ScriptedPop3Server(threading.Thread):
    """Greets with a time stamp, accepts only the right APOP, then answers STAT and QUIT."""

    def __init__(self, user, password, timestamp=b"<1896.697170952@pop.test>", timeout=TIMEOUT):
        super().__init__(daemon=True)
        self.user, self.password, self.timestamp, self.timeout = user, password, timestamp, timeout
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
                conn.settimeout(self.timeout)
                self.serve(conn.makefile("rwb"))

    def serve(self, stream):
        digest = hashlib.md5(self.timestamp + self.password.encode()).hexdigest()
        stream.write(b"+OK scripted POP3 server ready " + self.timestamp + b"\r\n")
        stream.flush()
        try:
            for line in stream:
                words = line.decode().split()
                if not words:
                    continue
                command = words[0].upper()
                if command == "APOP":
                    ok = words[1:] == [self.user, digest]
                    self.logins.append(ok)
                    stream.write(f"+OK {self.user} has 1 message\r\n".encode() if ok
                                 else b"-ERR no\r\n")
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
