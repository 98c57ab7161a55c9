"""posternd reaching the POP3 server over TLS: a private Dovecot with
certificates from a test CA (POP3S and STLS, with APOP and without), and a
scripted TLS server for every way such a connection must be refused."""

import os
import poplib
import shutil
import socket
import subprocess
import unittest

from support import TIMEOUT, wait_until
from support.dovecot import Dovecot
from support.pop3 import GREETING, ScriptedPop3Server, build_message, recv_line
from support.posternd import WINDOWS, PosterndCase, check_posternd
from support.tls import Authority, fingerprint, server_context

poplib._MAXLINE = 1 << 20

# Certificates name the server localhost (wine's SChannel matches no IP address).
HOST = "localhost"
USER, PASSWORD = "alice", "Al1ce secret"
MESSAGE = build_message(400_000, 7)


def setUpModule():
    check_posternd()


class TlsTestCase(PosterndCase):
    @classmethod
    def setUpClass(cls):
        cls.ca = Authority()
        os.chmod(cls.ca.directory, 0o755)  # Dovecot's processes read the key
        cls.good = cls.ca.issue("good")

    @classmethod
    def tearDownClass(cls):
        cls.ca.remove()

    def login_lines(self, port, password=PASSWORD):
        """What the mail client hears: greeting, answers to USER and PASS."""
        with socket.create_connection(("127.0.0.1", port), timeout=TIMEOUT) as s:
            reader = s.makefile("rb")
            heard = [reader.readline()]
            for line in (f"USER {USER}", f"PASS {password}"):
                s.sendall(line.encode() + b"\r\n")
                heard.append(reader.readline())
            return heard


class DovecotOverTlsTest(TlsTestCase):
    def test_every_way_relays_byte_exact_and_logs_in_only_inside_tls(self):
        for apop in (True, False):
            users = {USER: PASSWORD.replace(" ", "-")}
            with Dovecot(users, tls=self.good, apop=apop) as dovecot:
                self.dovecot = dovecot
                dovecot.deliver(USER, MESSAGE)
                for option, port in (("--tls", dovecot.tls_port), ("--starttls", dovecot.port)):
                    with self.subTest(apop=apop, option=option):
                        daemon = self.start_posternd(
                            HOST, port, args=(option, "--tls-trust-file", self.ca.cert,
                                              "--answer-capa"))
                        client = poplib.POP3("127.0.0.1", daemon.port, timeout=TIMEOUT)
                        client.user(USER)
                        self.assertTrue(client.pass_(users[USER]).startswith(b"+OK"))
                        lines = client.retr(1)[1]
                        self.assertEqual(b"\n".join(lines) + b"\n", MESSAGE)
                        client.quit()
                        if not WINDOWS or apop:
                            self.assert_curl_fetches(daemon.port, users[USER])
                        self.stop_cleanly(daemon)
                with open(dovecot.log_path) as f:
                    logins = [line for line in f if "Login: " in line]
                self.assertTrue(logins)
                method = "method=APOP" if apop else "method=PLAIN"
                for line in logins:
                    self.assertIn(", TLS", line)
                    self.assertIn(method, line)
                self.dovecot = None

    def assert_curl_fetches(self, port, password):
        curl = shutil.which("curl")
        self.assertIsNotNone(curl, "curl is missing: scripts/install-deps.sh test")
        result = subprocess.run([curl, "-s", "--max-time", str(int(TIMEOUT)), "-u",
                                 f"{USER}:{password}", f"pop3://127.0.0.1:{port}/1"],
                                capture_output=True, timeout=TIMEOUT * 2)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(result.stdout.replace(b"\r\n", b"\n"), MESSAGE)


class RefusedServerTest(TlsTestCase):
    """Each refused server hears no login line at all; the mail client is told why."""

    def serve(self, **kwargs):
        server = ScriptedPop3Server(USER, PASSWORD, **kwargs)
        server.start()
        self.addCleanup(lambda: (server.stop.set(), server.join(TIMEOUT)))
        return server

    def test_refusals(self):
        other_ca = Authority("Somebody Else's CA")
        self.addCleanup(other_ca.remove)
        self_signed = self.ca.self_signed("self")
        cases = [
            ("unknown CA", other_ca.issue("stranger"), (), "unknown issuer"),
            ("another name", self.ca.issue("other", dns=("mail.other.test",), ips=()), (),
             "issued for another name"),
            ("expired", self.ca.issue("expired", start="20200101000000Z", end="20200201000000Z"),
             (), "expired"),
            ("self-signed", self_signed, (), "self-signed" if not WINDOWS else "not trusted"),
            ("pinned to another", self_signed, ("--tls-fingerprint", "00" * 32), "not the one pinned"),
        ]
        for name, (key, cert), extra, reason in cases:
            with self.subTest(name):
                server = self.serve(tls=server_context(key, cert))
                args = ("--tls", *(extra or ("--tls-trust-file", self.ca.cert)))
                daemon = self.start_posternd(HOST, server.port, args=args)
                heard = self.login_lines(daemon.port)
                self.assertEqual(heard[:2], [GREETING + b"\r\n", b"+OK Password\r\n"])
                self.assertTrue(heard[2].startswith(
                    f"-ERR [SYS/TEMP] Cannot connect {HOST}:{server.port} (certificate not "
                    "trusted: ".encode()), heard[2])
                self.assertIn(reason.encode(), heard[2])
                self.assertTrue(wait_until(lambda: f"SHA-256 {fingerprint(cert)}" in daemon.stderr()),
                                daemon.stderr())
                self.assertEqual(server.received, [])
                self.stop_cleanly(daemon)

        # STLS refused, and a plain server without APOP: nothing but STLS is sent.
        for name, kwargs, args, reason in [
                ("STLS refused", dict(tls=server_context(*self.good), starttls=True,
                                      stls_answer=b"-ERR not here"),
                 ("--starttls", "--tls-trust-file", self.ca.cert), "the server refused STLS"),
                ("no APOP without TLS", dict(timestamp=None), (),
                 "offers no APOP (no time stamp in its greeting)")]:
            with self.subTest(name):
                server = self.serve(**kwargs)
                daemon = self.start_posternd(HOST, server.port, args=args)
                heard = self.login_lines(daemon.port)
                self.assertTrue(heard[2].startswith(b"-ERR [SYS/TEMP] "), heard[2])
                self.assertIn(reason.encode(), heard[2])
                self.assertTrue(wait_until(lambda: reason in daemon.stderr()), daemon.stderr())
                self.assertEqual([line for line, _ in server.received],
                                 [b"STLS\r\n"] if "--starttls" in args else [])
                self.stop_cleanly(daemon)

    def test_pinned_certificate_and_user_pass_inside_tls(self):
        key, cert = self.ca.self_signed("pinned")
        for option, starttls in (("--tls", False), ("--starttls", True)):
            with self.subTest(option):
                server = self.serve(tls=server_context(key, cert), starttls=starttls,
                                    timestamp=None)
                daemon = self.start_posternd(
                    HOST, server.port,
                    args=(option, "--tls-fingerprint", fingerprint(cert).replace(":", "").lower()))
                heard = self.login_lines(daemon.port)
                self.assertEqual(heard[2], f"+OK {USER} has 1 message\r\n".encode())
                self.assertEqual(server.logins, [True])
                sent = [(line, tls) for line, tls in server.received]
                expected = [(f"USER {USER}\r\n".encode(), True),
                            (f"PASS {PASSWORD}\r\n".encode(), True)]
                self.assertEqual(sent, ([(b"STLS\r\n", False)] if starttls else []) + expected)
                self.stop_cleanly(daemon)
                # The admin's journal says how it logged in, never with what.
                self.assertIn(f"with USER/PASS over TLS: +OK {USER} has 1 message",
                              daemon.stderr())
                self.assertNotIn(PASSWORD, daemon.stderr())


if __name__ == "__main__":
    unittest.main()
