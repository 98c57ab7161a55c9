"""The TLS half of the benchmark: a mail client that knows only the plain login
reaches Dovecot's POP3S through each relay a user could pick, measured side by
side in one run: stunnel in client mode, haproxy with `ssl verify required`,
and posternd with --tls. Every relay checks the server's certificate against
the same test CA. Prints relay CPU per MB and per login (handshake included,
sessions resumed where the relay can) and memory per idle logged-in session,
with the ratios posternd/stunnel and posternd/haproxy.

stunnel gives each connection a thread of its own, whose CPU time leaves
/proc with it; so each figure here is the relay's whole CPU time as the
kernel hands it to its parent at exit (wait4), less that of a run that
started and stopped the same relay without the load."""

import hashlib
import os
import signal
import statistics
import subprocess
import sys
import time

from run import PASSWORD, BIG_MESSAGE_BYTES, plain_message, raise_nofile
from support import free_port
from support.dovecot import Dovecot
from support.proc import memory_kib
from support.tls import Authority

RELAYS = ["stunnel", "haproxy", "posternd"]
IDLE_SESSIONS = 500


class TlsBench:
    def __init__(self, bench):
        self.bench = bench
        self.results = {}

    def record(self, metric, label, value):
        self.results.setdefault((metric, label), []).append(value)

    def start_stunnel(self, backend_port, ca):
        port = free_port()
        config = os.path.join(self.bench.tmp, f"stunnel-{port}.conf")
        with open(config, "w") as f:
            f.write(f"""foreground = yes
pid =
debug = 3
[pop3s]
client = yes
accept = 127.0.0.1:{port}
connect = 127.0.0.1:{backend_port}
verifyChain = yes
CAfile = {ca}
checkHost = localhost
sslVersionMin = TLSv1.2
""")
        return self.bench.start(["stunnel4", config], "stunnel", port), port

    def start_haproxy(self, backend_port, ca):
        return self.bench.start_haproxy(
            backend_port, f"ssl verify required ca-file {ca} verifyhost localhost sni str(localhost)")

    def start_posternd(self, backend_port, ca):
        port = free_port()
        child = self.bench.start([self.bench.posternd, "--host", "localhost", "--host-port",
                                  str(backend_port), "--local-port", str(port), "--tls",
                                  "--tls-trust-file", ca], "posternd", port)
        return child, port

    def stop_measured(self, relay):
        """Stops the relay; its CPU seconds, threads that have ended included."""
        relay.proc.send_signal(signal.SIGTERM)
        deadline = time.monotonic() + 20
        while True:
            pid, status, usage = os.wait4(relay.pid, os.WNOHANG)
            if pid:
                break
            if time.monotonic() > deadline:
                relay.proc.kill()
                pid, status, usage = os.wait4(relay.pid, 0)
                break
            time.sleep(0.02)
        relay.proc.returncode = os.waitstatus_to_exitcode(status)
        self.bench.children.remove(relay)
        return usage.ru_utime + usage.ru_stime

    def cpu_of(self, starter, work):
        """CPU seconds the relay spent on work(port), without its start and stop."""
        relay, port = starter()
        result = work(port) if work else None
        return self.stop_measured(relay), result

    def logins(self, label, starter, idle_cpu):
        def work(port):
            return self.bench.run_loadgen("login", "--port", port, "--user", "bench",
                                          "--password", PASSWORD, "--clients", 8,
                                          "--seconds", self.bench.seconds)
        used, result = self.cpu_of(starter, work)
        if result["errors"] or not result["logins"]:
            raise RuntimeError(f"{label}: {result['errors']} of {result['logins']} logins failed")
        self.record("relay CPU us/login (TLS)", label, (used - idle_cpu) / result["logins"] * 1e6)
        self.record("logins/s (TLS), 8 clients", label, result["per_second"])

    def retr(self, label, starter, idle_cpu, expected_md5):
        def work(port):
            return self.bench.run_loadgen("retr", "--port", port, "--user", "big", "--password",
                                          PASSWORD, "--first", 1, "--last", 1)
        used, result = self.cpu_of(starter, work)
        if result["md5"] != expected_md5:
            raise RuntimeError(f"{label}: the 32 MiB message differs from what was delivered")
        megabytes = result["bytes"] / 1e6
        self.record("relay CPU ms/MB (TLS), 32 MiB", label, (used - idle_cpu) / megabytes * 1e3)
        self.record("RETR 32 MiB (TLS), MB/s", label, megabytes / result["seconds"])

    def idle(self, label, port, relay):
        base = memory_kib(relay.pid)
        holder = subprocess.Popen(
            [self.bench.loadgen, "idle", "--port", str(port), "--user", "bench", "--password",
             PASSWORD, "--sessions", str(IDLE_SESSIONS), "--clients", "8"],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True, preexec_fn=raise_nofile)
        try:
            status = __import__("json").loads(holder.stdout.readline())
            if status["failed"]:
                raise RuntimeError(f"{label}: {status['failed']} idle TLS sessions failed")
            time.sleep(1.0)
            self.record(f"RSS KiB per idle TLS session, {IDLE_SESSIONS}", label,
                        (memory_kib(relay.pid) - base) / IDLE_SESSIONS)
        finally:
            holder.stdin.close()
            holder.wait(60)

    def run(self):
        authority = Authority()
        try:
            key, cert = authority.issue("dovecot")
            os.chmod(authority.directory, 0o755)
            users = {"bench": PASSWORD, "big": PASSWORD}
            with Dovecot(users, fast=True, max_userip_connections=100000,
                         tls=(key, cert)) as dovecot:
                big = plain_message(BIG_MESSAGE_BYTES, 0)
                dovecot.deliver("big", big)
                dovecot.deliver("bench", plain_message(2000, 999999))
                big_md5 = hashlib.md5(big).hexdigest()
                starters = {"stunnel": self.start_stunnel, "haproxy": self.start_haproxy,
                            "posternd": self.start_posternd}
                for round_number in range(1, self.bench.rounds + 1):
                    print(f"TLS round {round_number}/{self.bench.rounds}", file=sys.stderr)
                    for label in RELAYS:
                        def starter(label=label):
                            return starters[label](dovecot.tls_port, authority.cert)
                        idle_cpu, _ = self.cpu_of(starter, None)
                        self.logins(label, starter, idle_cpu)
                        self.retr(label, starter, idle_cpu, big_md5)
                        relay, port = starter()
                        self.idle(label, port, relay)
                        self.stop_measured(relay)
        finally:
            self.bench.stop_all()
            authority.remove()

    def report(self):
        metrics = []
        for metric, _ in self.results:
            if metric not in metrics:
                metrics.append(metric)
        print()
        print(f"{'TLS figure (min / median / max)':<38}" + "".join(f"{l:>26}" for l in RELAYS)
              + f"{'posternd/stunnel':>18}{'posternd/haproxy':>18}")
        medians = {}
        for metric in metrics:
            row = f"{metric:<38}"
            for label in RELAYS:
                values = self.results.get((metric, label))
                if values:
                    medians[metric, label] = statistics.median(values)
                    row += f"{f'{min(values):.4g} / {medians[metric, label]:.4g} / {max(values):.4g}':>26}"
                else:
                    row += f"{'-':>26}"
            for other in ("stunnel", "haproxy"):
                p, o = medians.get((metric, "posternd")), medians.get((metric, other))
                row += f"{p / o:>18.3f}" if p and o else f"{'-':>18}"
            print(row)
        print("TLS targets (posternd at most the anchors):")
        for metric, anchors in (("relay CPU ms/MB (TLS), 32 MiB", ("stunnel", "haproxy")),
                                ("relay CPU us/login (TLS)", ("haproxy",)),
                                (f"RSS KiB per idle TLS session, {IDLE_SESSIONS}", ("haproxy",))):
            p = medians.get((metric, "posternd"))
            for anchor in anchors:
                o = medians.get((metric, anchor))
                if p is None or o is None:
                    print(f"  ?    {metric} vs {anchor}: not measured")
                else:
                    print(f"  {'met ' if p <= o else 'MISS'} {metric} vs {anchor}: "
                          f"{p:.3f} against {o:.3f} ({p / o:.3f}x)")
