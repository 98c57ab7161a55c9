"""POP3 over a plain socket, so that a test decides when it reads; the one
message builder; and a scripted POP3 server with APOP."""

import base64
import hashlib
import random
import socket
import ssl
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
    """Greets (with a time stamp unless timestamp is None), accepts only the
    right APOP, or USER and PASS, then answers STAT and QUIT. With `tls` (an
    ssl.SSLContext) it speaks TLS from the first byte, or after STLS when
    starttls is true; stls_answer is what it says to STLS. Every line it
    received, and whether TLS was up then, is kept in `received`."""

    def __init__(self, user, password, timestamp=b"<1896.697170952@pop.test>", timeout=TIMEOUT,
                 tls=None, starttls=False, stls_answer=b"+OK Begin TLS negotiation"):
        super().__init__(daemon=True)
        self.user, self.password, self.timestamp, self.timeout = user, password, timestamp, timeout
        self.tls, self.starttls, self.stls_answer = tls, starttls, stls_answer
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.listener.settimeout(0.2)
        self.port = self.listener.getsockname()[1]
        self.logins = []
        self.received = []  # (line, over TLS)
        self.handshake_errors = []
        self.stop = threading.Event()

    def run(self):
        with self.listener:
            while not self.stop.is_set():
                self.accept_one()

    def accept_one(self):
        try:
            conn, _ = self.listener.accept()
        except socket.timeout:
            return
        conn.settimeout(self.timeout)
        try:
            if self.tls is not None and not self.starttls:
                conn = self._wrap(conn)
            if conn is not None:
                self.serve(conn)
        finally:
            if conn is not None:
                conn.close()

    def _wrap(self, conn):
        try:
            return self.tls.wrap_socket(conn, server_side=True)
        except (OSError, ValueError) as error:  # ssl.SSLError is an OSError
            self.handshake_errors.append(str(error))
            conn.close()
            return None

    def serve(self, conn):
        digest = (hashlib.md5(self.timestamp + self.password.encode()).hexdigest()
                  if self.timestamp else None)
        greeting = b"+OK scripted POP3 server ready"
        conn.sendall(greeting + (b" " + self.timestamp if self.timestamp else b"") + b"\r\n")
        stream = conn.makefile("rb")
        user = None
        try:
            for line in stream:
                self.received.append((line, isinstance(conn, ssl.SSLSocket)))
                words = line.decode(errors="replace").split()
                command = words[0].upper() if words else ""
                if command == "STLS" and self.starttls and not isinstance(conn, ssl.SSLSocket):
                    conn.sendall(self.stls_answer + b"\r\n")
                    if not self.stls_answer.startswith(b"+OK"):
                        continue
                    wrapped = self._wrap(conn)
                    if wrapped is not None:
                        with wrapped:
                            self.serve_lines(wrapped, wrapped.makefile("rb"), digest)
                    return
                if self.handle(conn, command, words, digest, user):
                    return
                if command == "USER":
                    user = words[1] if len(words) > 1 else ""
        except OSError:
            pass

    def serve_lines(self, conn, stream, digest):
        user = None
        for line in stream:
            self.received.append((line, True))
            words = line.decode(errors="replace").split()
            command = words[0].upper() if words else ""
            if self.handle(conn, command, words, digest, user):
                return
            if command == "USER":
                user = words[1] if len(words) > 1 else ""

    def handle(self, conn, command, words, digest, user):
        """Answers one command; true once the session is over."""
        if command == "APOP" and digest:
            ok = words[1:] == [self.user, digest]
            self.logins.append(ok)
            answer = f"+OK {self.user} has 1 message" if ok else "-ERR no"
        elif command == "USER":
            answer = "+OK"
        elif command == "PASS":
            ok = user == self.user and " ".join(words[1:]) == self.password
            self.logins.append(ok)
            answer = f"+OK {self.user} has 1 message" if ok else "-ERR [AUTH] wrong"
        elif command == "STAT":
            answer = "+OK 1 120"
        elif command == "QUIT":
            conn.sendall(b"+OK bye\r\n")
            return True
        else:
            answer = "-ERR unknown"
        conn.sendall(answer.encode() + b"\r\n")
        return False
