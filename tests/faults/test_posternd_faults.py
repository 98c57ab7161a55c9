"""posternd broken on purpose in front of a private Dovecot: a side killed in the
middle of a RETR, thousands of sessions that come and go, and a mail client
that stops reading for a minute in the middle of a large message."""

import os
import resource
import signal
import socket
import subprocess
import sys
import time
import unittest

from support import TIMEOUT, wait_until
from support.dovecot import Dovecot
from support.pop3 import GREETING, build_message, login, pop3_size, recv_line, retr_body
from support.posternd import LINGER_LIMIT, PosterndCase, idle_descriptors, sanitized
from support.proc import descendants, memory_kib, socket_count

# How long the mail client stops reading; a developer may shorten it locally.
STALL_SECONDS = float(os.environ.get("POSTERN_STALL_SECONDS", "60"))
LARGE = 32 << 20
# Growth of posternd's resident memory that a run of sessions may leave behind
# as allocator noise: a session that kept 64 bytes would show as 625 KiB after
# 10,000 cycles, one that kept 160 bytes as 156 KiB after 1,000 logins.
CYCLES_SLACK_KIB = 512
LOGINS_SLACK_KIB = 128
# What posternd may hold while a mail client does not read: its queues are a
# few dozen KiB; the message is 32 MiB.
STALL_BOUND_KIB = 4096


def quiet_allocator_env():
    # Under AddressSanitizer freed memory waits in quarantines (256 MB, and 1 MB
    # per thread), which would read as growth; without them RSS shows what is kept.
    options = os.environ.get("ASAN_OPTIONS", "")
    return {"ASAN_OPTIONS": (options + ":" if options else "")
            + "quarantine_size_mb=0:thread_local_quarantine_size_kb=0"}


def read_at_least(sock, data, n, timeout=TIMEOUT):
    deadline = time.monotonic() + timeout
    while len(data) < n:
        if time.monotonic() >= deadline:
            raise AssertionError(f"only {len(data)} of {n} bytes within {timeout} s")
        chunk = sock.recv(1 << 20)
        if not chunk:
            raise AssertionError(f"connection ended after {len(data)} of {n} bytes")
        data += chunk
    return data


def read_to_end(sock, timeout):
    """Everything up to the end of the stream; None when it does not end in time."""
    data = bytearray()
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        sock.settimeout(max(0.1, deadline - time.monotonic()))
        try:
            chunk = sock.recv(1 << 20)
        except socket.timeout:
            break
        except ConnectionResetError:
            return bytes(data)
        if not chunk:
            return bytes(data)
        data += chunk
    return None


class FaultCase(PosterndCase):
    """posternd in front of the class's Dovecot, whose processes a test may kill."""

    def master_pid(self):
        with open(os.path.join(self.dovecot.base_dir, "master.pid")) as f:
            pid = int(f.read().split()[0])
        with open(f"/proc/{pid}/stat") as f:
            parent = int(f.read().rsplit(")", 1)[1].split()[1])
        self.assertEqual(parent, os.getpid(), "master.pid names a Dovecot we did not start")
        return pid

    def session_process(self, before):
        """The one pop3 process of our Dovecot that was not there before."""
        master = self.master_pid()
        found = []

        def one_new():
            found[:] = descendants(master, "pop3") - before
            return len(found) == 1

        self.assertTrue(wait_until(one_new), f"no single new pop3 process: {found}")
        return found[0]


class KilledPeerTest(FaultCase):
    USERS = {"killsrv": "k1ll-srv", "killcli": "k1ll-cli"}

    @classmethod
    def setUpClass(cls):
        cls.message = build_message(LARGE, seed=110, special_every=1000)
        cls.body = retr_body(cls.message)
        cls.dovecot = Dovecot(cls.USERS)
        cls.dovecot.start()
        for user in cls.USERS:
            cls.dovecot.deliver(user, cls.message)

    @classmethod
    def tearDownClass(cls):
        cls.dovecot.stop()

    def test_server_killed_in_the_middle_of_retr_ends_the_session(self):
        daemon = self.start_posternd()
        base = idle_descriptors(daemon.pid)
        before = descendants(self.master_pid(), "pop3")
        # A small window keeps most of the message out of the connections' buffers.
        sock = login(daemon.port, "killsrv", self.USERS["killsrv"], rcvbuf=128 << 10)
        self.addCleanup(sock.close)
        server = self.session_process(before)

        sock.sendall(b"RETR 1\r\n")
        data = read_at_least(sock, b"", 256 << 10)
        time.sleep(0.3)  # the connections fill up behind the pause
        os.kill(server, signal.SIGKILL)
        rest = read_to_end(sock, TIMEOUT + LINGER_LIMIT)
        self.assertIsNotNone(rest, "the mail client's connection did not end")
        sock.close()  # as a mail client does on the end of the stream
        data += rest
        first, body = data.split(b"\r\n", 1)
        self.assertTrue(first.startswith(b"+OK"), first)
        self.assertLess(len(body), len(self.body), "the server finished before it was killed")
        print(f"\n{len(body)} of {len(self.body)} bytes arrived before the end", file=sys.stderr)
        self.assertEqual(body, self.body[:len(body)], "what arrived before the kill is not intact")

        self.assertEqual(idle_descriptors(daemon.pid), base)
        self.assertTrue(daemon.greets())
        self.stop_cleanly(daemon)

    def test_client_killed_in_the_middle_of_retr_ends_the_server_link(self):
        daemon = self.start_posternd()
        base = idle_descriptors(daemon.pid)
        before = descendants(self.master_pid(), "pop3")
        script = ("import sys, time\n"
                  "from support.pop3 import login, recv_line\n"
                  "sock = login(int(sys.argv[1]), sys.argv[2], sys.argv[3])\n"
                  "sock.sendall(b'RETR 1\\r\\n')\n"
                  "assert recv_line(sock).startswith(b'+OK')\n"
                  "got = 0\n"
                  "while got < 256 << 10:\n"
                  "    chunk = sock.recv(65536)\n"
                  "    if not chunk:\n"
                  "        sys.exit('the connection ended')\n"
                  "    got += len(chunk)\n"
                  "print('paused', flush=True)\n"
                  "time.sleep(120)\n")
        client = subprocess.Popen(
            [sys.executable, "-c", script, str(daemon.port), "killcli", self.USERS["killcli"]],
            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE)
        self.addCleanup(lambda: client.poll() is not None or (client.kill(), client.wait()))
        self.assertEqual(client.stdout.readline(), b"paused\n")
        server = self.session_process(before)
        self.assertEqual(socket_count(daemon.pid), 3)  # listener, mail client, server link

        client.kill()
        client.wait(TIMEOUT)
        client.stdout.close()
        self.assertEqual(idle_descriptors(daemon.pid), base)
        self.assertTrue(wait_until(lambda: not os.path.exists(f"/proc/{server}"),
                                   LINGER_LIMIT + TIMEOUT),
                        "Dovecot still serves the session")
        self.assertTrue(daemon.greets())
        self.stop_cleanly(daemon)


class SessionResourcesTest(FaultCase):
    USERS = {"cycler": "cyc1e-pw", "repeat": "rep3at-pw"}
    CYCLES = 10000
    LOGINS = 1000

    @classmethod
    def setUpClass(cls):
        cls.dovecot = Dovecot(cls.USERS, fast=True)
        cls.dovecot.start()
        message = build_message(2000, seed=1, special_every=0)
        cls.dovecot.deliver("repeat", message)
        cls.stat = b"+OK 1 %d\r\n" % pop3_size(message)

    @classmethod
    def tearDownClass(cls):
        cls.dovecot.stop()

    def measure(self, daemon):
        fds = idle_descriptors(daemon.pid)
        return fds, memory_kib(daemon.pid)

    def assertNothingLeft(self, daemon, before, what, slack_kib):
        fds, rss = self.measure(daemon)
        print(f"\n{what}: descriptors {before[0]} -> {fds}, "
              f"VmRSS {before[1]} -> {rss} KiB", file=sys.stderr)
        self.assertEqual(fds, before[0], f"descriptors left behind by {what}")
        self.assertLessEqual(rss - before[1], slack_kib, f"memory left behind by {what}")

    def connect_and_drop(self, port, kind):
        sock = socket.create_connection(("127.0.0.1", port), timeout=TIMEOUT)
        try:
            if kind == 0:
                # Gone before the greeting is read: a reset.
                sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, b"\1\0\0\0\0\0\0\0")
                return
            self.assertEqual(recv_line(sock), b"+OK Postern 1.0 Ready\r\n")
            if kind == 2:
                sock.sendall(b"USER cycler\r\n")
            elif kind == 3:
                # The server link is under way when the mail client leaves.
                sock.sendall(b"USER cycler\r\nPASS cyc1e-pw\r\n")
        finally:
            sock.close()

    def test_connect_and_drop_cycles_leave_nothing_behind(self):
        daemon = self.start_posternd(env=quiet_allocator_env())
        for i in range(400):
            self.connect_and_drop(daemon.port, i % 4)
        before = self.measure(daemon)
        started = time.monotonic()
        for i in range(self.CYCLES):
            self.connect_and_drop(daemon.port, i % 4)
        print(f"\n{self.CYCLES} connect-and-drop cycles in {time.monotonic() - started:.1f} s",
              file=sys.stderr)
        self.assertNothingLeft(daemon, before, "connect-and-drop cycles", CYCLES_SLACK_KIB)
        self.assertNotIn("Cannot connect", daemon.stderr())
        self.assertTrue(daemon.greets())
        self.stop_cleanly(daemon)

    def full_login(self, port):
        sock = login(port, "repeat", self.USERS["repeat"])
        try:
            sock.sendall(b"STAT\r\nQUIT\r\n")
            self.assertEqual(recv_line(sock), self.stat)
            self.assertTrue(recv_line(sock).startswith(b"+OK Logging out"))
            self.assertEqual(read_to_end(sock, TIMEOUT), b"")
        finally:
            sock.close()

    def test_full_logins_leave_nothing_behind(self):
        daemon = self.start_posternd(env=quiet_allocator_env())
        for _ in range(50):
            self.full_login(daemon.port)
        before = self.measure(daemon)
        started = time.monotonic()
        for _ in range(self.LOGINS):
            self.full_login(daemon.port)
        print(f"\n{self.LOGINS} logins in {time.monotonic() - started:.1f} s", file=sys.stderr)
        self.assertNothingLeft(daemon, before, "full logins", LOGINS_SLACK_KIB)
        self.stop_cleanly(daemon)

    @unittest.skipIf(sanitized(), "the sanitizers' runtime must come first among the "
                     "preloaded libraries")
    def test_failing_allocations_end_one_session_at_most(self):
        scripts = ([b"USER repeat", b"PASS " + self.USERS["repeat"].encode(), b"STAT",
                    b"RETR 1", b"QUIT"],
                   [b"USER repeat"],
                   [b"USER repeat", b"PASS " + self.USERS["repeat"].encode(), b"STAT"],
                   [])

        def attempt(port, script):
            # Whatever comes back: only that nothing hangs or stays open counts.
            try:
                with socket.create_connection(("127.0.0.1", port), timeout=3) as sock:
                    sock.recv(4096)
                    for line in script:
                        sock.sendall(line + b"\r\n")
                        sock.recv(1 << 16)
            except OSError:
                pass

        for every in (5, 7, 11, 17, 29, 53, 101):
            with self.subTest(every=every):
                daemon = self.start_posternd(env={"LD_PRELOAD": os.environ["POSTERN_FAILING_MALLOC"],
                                                  "POSTERN_FAIL_EVERY": str(every)})
                base = idle_descriptors(daemon.pid)
                os.kill(daemon.pid, signal.SIGUSR2)  # failing from now on
                for script in scripts * 3:
                    attempt(daemon.port, script)
                os.kill(daemon.pid, signal.SIGUSR2)
                self.assertTrue(daemon.alive(), "posternd died:\n" + daemon.stderr())
                self.assertEqual(idle_descriptors(daemon.pid), base, "sessions left open")
                self.full_login(daemon.port)
                self.stop_cleanly(daemon)

    @unittest.skipIf(sanitized(), "the sanitizers' runtime needs descriptors of its own (it "
                     "probes memory through a pipe) and reports false faults without them")
    def test_out_of_descriptors_silent_clients_make_room_and_logins_go_on(self):
        daemon = self.start_posternd()
        base = idle_descriptors(daemon.pid)
        _, hard = resource.prlimit(daemon.pid, resource.RLIMIT_NOFILE)

        def allow(more):
            # Room for `more` descriptors beside those open now; new ones take
            # the lowest free numbers.
            numbers = [int(n) for n in os.listdir(f"/proc/{daemon.pid}/fd")]
            self.assertLess(max(numbers), len(numbers) + more)
            resource.prlimit(daemon.pid, resource.RLIMIT_NOFILE, (len(numbers) + more, hard))

        allow(2)
        first = login(daemon.port, "repeat", self.USERS["repeat"])
        self.addCleanup(first.close)
        # No room and no one to spare: refused. Room for one: greeted, and told
        # at PASS that the server cannot be reached, since its link needs another.
        for more in (0, 1, 0, 1):
            allow(more)
            knock = socket.create_connection(("127.0.0.1", daemon.port), timeout=TIMEOUT)
            if more == 0:
                self.assertEqual(read_to_end(knock, TIMEOUT), b"", "no room")
            else:
                self.assertEqual(recv_line(knock), GREETING + b"\r\n")
                knock.sendall(b"USER repeat\r\nPASS pw\r\n")
                self.assertEqual(recv_line(knock), b"+OK Password\r\n")
                self.assertTrue(recv_line(knock).startswith(b"-ERR [SYS/TEMP] Cannot connect "))
                self.assertEqual(read_to_end(knock, TIMEOUT), b"")
            knock.close()
            first.sendall(b"STAT\r\n")
            self.assertEqual(recv_line(first), self.stat, f"room for {more}")
            self.assertTrue(wait_until(lambda: socket_count(daemon.pid) == 3))

        first.sendall(b"QUIT\r\n")
        self.assertTrue(recv_line(first).startswith(b"+OK Logging out"))
        self.assertEqual(read_to_end(first, TIMEOUT), b"")
        first.close()
        self.assertEqual(idle_descriptors(daemon.pid), base)

        # A flood: 2,000 connections that never send a byte against a limit of
        # 1,024. The oldest make room, and a mail client logs in at once.
        own_soft, own_hard = resource.getrlimit(resource.RLIMIT_NOFILE)
        resource.setrlimit(resource.RLIMIT_NOFILE, (min(own_hard, 4096), own_hard))
        self.addCleanup(resource.setrlimit, resource.RLIMIT_NOFILE, (own_soft, own_hard))
        resource.prlimit(daemon.pid, resource.RLIMIT_NOFILE, (1024, hard))
        flood = []
        try:
            for _ in range(2000):
                flood.append(socket.create_connection(("127.0.0.1", daemon.port), timeout=TIMEOUT))
            self.full_login(daemon.port)
        finally:
            for sock in flood:
                sock.close()
        self.assertEqual(idle_descriptors(daemon.pid), base)
        self.stop_cleanly(daemon)


class StalledReaderTest(FaultCase):
    USERS = {"stall": "st4ll-pw"}

    @classmethod
    def setUpClass(cls):
        cls.message = build_message(LARGE, seed=1939, special_every=1000)
        cls.dovecot = Dovecot(cls.USERS)
        cls.dovecot.start()
        cls.dovecot.deliver("stall", cls.message)

    @classmethod
    def tearDownClass(cls):
        cls.dovecot.stop()

    def test_reader_that_pauses_in_the_middle_of_retr_gets_every_byte(self):
        daemon = self.start_posternd(env=quiet_allocator_env())
        sock = login(daemon.port, "stall", self.USERS["stall"])
        self.addCleanup(sock.close)
        rss_before = memory_kib(daemon.pid)
        peak = rss_before

        sock.sendall(b"RETR 1\r\n")
        first = recv_line(sock)
        self.assertTrue(first.startswith(b"+OK"), first)
        data = read_at_least(sock, b"", 1 << 20)
        pause_end = time.monotonic() + STALL_SECONDS
        while time.monotonic() < pause_end:
            peak = max(peak, memory_kib(daemon.pid))
            self.assertEqual(socket_count(daemon.pid), 3, "the session did not survive the pause")
            time.sleep(min(0.5, max(0.0, pause_end - time.monotonic())))
        print(f"\npaused {STALL_SECONDS:.0f} s after {len(data)} bytes; posternd VmRSS "
              f"{rss_before} KiB before, at most {peak} KiB during the pause", file=sys.stderr)

        expected = retr_body(self.message)
        data = bytearray(data)
        deadline = time.monotonic() + 10 * TIMEOUT
        while not data.endswith(b"\r\n.\r\n") or len(data) < len(expected):
            self.assertLess(time.monotonic(), deadline, f"only {len(data)} bytes in time")
            chunk = sock.recv(1 << 20)
            self.assertTrue(chunk, f"connection ended after {len(data)} bytes")
            data += chunk
            if len(data) % (4 << 20) < len(chunk):
                peak = max(peak, memory_kib(daemon.pid))
        if data != expected:
            at = next((i for i, (a, b) in enumerate(zip(data, expected)) if a != b),
                      min(len(data), len(expected)))
            self.fail(f"{len(data)} bytes, expected {len(expected)}; first difference at {at}: "
                      f"{bytes(data[at - 20:at + 20])!r} vs {expected[at - 20:at + 20]!r}")
        self.assertLess(peak - rss_before, STALL_BOUND_KIB, "posternd held the message")

        sock.sendall(b"QUIT\r\n")
        self.assertTrue(recv_line(sock).startswith(b"+OK Logging out"))
        self.stop_cleanly(daemon)


if __name__ == "__main__":
    unittest.main()
