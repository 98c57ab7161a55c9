#!/usr/bin/env python3
"""Postern's benchmark: Dovecot directly (the floor), haproxy in TCP mode (a plain
relay) and posternd, measured side by side in one run. Prints every figure as
min / median / max over the rounds, the ratios posternd/direct and
posternd/haproxy (and posternd/baseline with --baseline-posternd: an earlier build
beside this one), and whether each target is met.

Run it through bench/run.sh, which builds what it needs."""

import argparse
import hashlib
import json
import os
import resource
import socket
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests"))
from support import free_port, wait_until  # noqa: E402
from support.dovecot import Dovecot  # noqa: E402
from support.pop3 import build_message  # noqa: E402
from support.proc import cpu_seconds, memory_kib  # noqa: E402

PASSWORD = "bench-secret"
BIG_MESSAGE_BYTES = 32 * 1024 * 1024
SMALL_MESSAGES = 2000
SMALL_MESSAGE_BYTES = 4096
# Every relayed session holds two descriptors; a relay needs a few of its own,
# and logins measured while the idle sessions are open need room too.
DESCRIPTORS_PER_SESSION = 2
RELAY_SPARE_DESCRIPTORS = 200


def raise_nofile():
    """Raises the soft descriptor limit to the hard one (raising the hard limit
    needs privileges a container may not give even to root)."""
    _, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))


def session_cap():
    _, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    return (hard - RELAY_SPARE_DESCRIPTORS) // DESCRIPTORS_PER_SESSION


def plain_message(total_bytes, seed):
    # CR LF ended and no line starting with a dot, so RETR hands back exactly these bytes.
    return build_message(total_bytes, seed, special_every=0, end=b"\r\n")


class Process:
    """A child process we started, stopped by its pid."""

    def __init__(self, argv, name, log_dir):
        self.name = name
        self.log_path = os.path.join(log_dir, f"{name}-{time.monotonic_ns()}.log")
        with open(self.log_path, "wb") as log:
            self.proc = subprocess.Popen([str(a) for a in argv], stdin=subprocess.DEVNULL,
                                         stdout=log, stderr=log, preexec_fn=raise_nofile)

    @property
    def pid(self):
        return self.proc.pid

    def stop(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()


def wait_for_port(port, timeout=10):
    def answers():
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=1):
                return True
        except OSError:
            return False

    if not wait_until(answers, timeout, 0.05):
        raise RuntimeError(f"nothing answers on port {port}")


class Bench:
    def __init__(self, build, rounds, seconds, sessions, baseline=None):
        self.loadgen = os.path.join(build, "bench", "loadgen")
        self.posternd = os.path.join(build, "daemon", "posternd")
        self.baseline = baseline  # another posternd, measured the same way beside it
        self.rounds = rounds
        self.seconds = seconds
        self.sessions = sessions
        self.tmp = tempfile.mkdtemp(prefix="postern-bench-")
        self.results = {}  # (metric, target) -> [values]
        self.children = []

    def record(self, metric, target, value):
        self.results.setdefault((metric, target), []).append(value)

    def run_loadgen(self, *args, timeout=600):
        out = subprocess.run([self.loadgen, *map(str, args)], capture_output=True, text=True,
                             timeout=timeout, preexec_fn=raise_nofile)
        if out.returncode != 0:
            raise RuntimeError(f"loadgen {' '.join(map(str, args))}: {out.stderr.strip()}")
        return json.loads(out.stdout.strip().splitlines()[-1])

    def start(self, argv, name, port):
        child = Process(argv, name, self.tmp)
        self.children.append(child)
        wait_for_port(port)
        return child

    def start_haproxy(self, backend_port, server_options=""):
        """haproxy in TCP mode; server_options go on its server line (TLS, say)."""
        port = free_port()
        config = os.path.join(self.tmp, f"haproxy-{port}.cfg")
        with open(config, "w") as f:
            f.write(f"""global
    maxconn {session_cap() + RELAY_SPARE_DESCRIPTORS // 4}
    nbthread 1
defaults
    mode tcp
    timeout connect 5s
    timeout client 1h
    timeout server 1h
frontend pop3
    bind 127.0.0.1:{port}
    default_backend server
backend server
    server pop3 127.0.0.1:{backend_port} {server_options}
""")
        return self.start(["haproxy", "-db", "-f", config], "haproxy", port), port

    def start_posternd(self, backend_port, binary=None):
        port = free_port()
        child = self.start([binary or self.posternd, "--host", "127.0.0.1", "--host-port", str(backend_port),
                            "--local-port", str(port)], "posternd", port)
        return child, port

    def stop_all(self):
        for child in self.children:
            child.stop()
        self.children = []

    # The measurements.

    def logins(self, label, port, relay, apop, clients):
        before = cpu_seconds(relay.pid) if relay else 0
        args = ["login", "--port", port, "--user", "bench", "--password", PASSWORD,
                "--clients", clients, "--seconds", self.seconds]
        result = self.run_loadgen(*args, *(["--apop"] if apop else []))
        if result["errors"]:
            print(f"  warning: {result['errors']} failed logins for {label}", file=sys.stderr)
        self.record(f"logins/s, {clients} clients", label, result["per_second"])
        self.record(f"login p50 ms, {clients} clients", label, result["p50_ms"])
        self.record(f"login p99 ms, {clients} clients", label, result["p99_ms"])
        if relay:
            used = cpu_seconds(relay.pid) - before
            self.record(f"relay CPU us/login, {clients} clients", label, used / result["logins"] * 1e6)

    def retr(self, label, port, relay, apop, user, first, last, expected_md5, metric):
        before = cpu_seconds(relay.pid) if relay else 0
        args = ["retr", "--port", port, "--user", user, "--password", PASSWORD,
                "--first", first, "--last", last]
        result = self.run_loadgen(*args, *(["--apop"] if apop else []))
        if result["md5"] != expected_md5:
            raise RuntimeError(f"{label}: {metric}: content differs from what was delivered")
        megabytes = result["bytes"] / 1e6
        if metric == "big":
            self.record("RETR 32 MiB, MB/s", label, megabytes / result["seconds"])
        else:
            self.record("RETR 2,000 x 4 KiB, messages/s", label, result["messages"] / result["seconds"])
        if relay:
            used = cpu_seconds(relay.pid) - before
            name = "relay CPU ms/MB, 32 MiB" if metric == "big" else "relay CPU ms/MB, 2,000 x 4 KiB"
            self.record(name, label, used / megabytes * 1e3)

    def run_dovecot_rounds(self):
        users = {"bench": PASSWORD, "big": PASSWORD, "many": PASSWORD}
        with Dovecot(users, fast=True, max_userip_connections=100000) as dovecot:
            big = plain_message(BIG_MESSAGE_BYTES, 0)
            dovecot.deliver("big", big)
            small = [plain_message(SMALL_MESSAGE_BYTES, i + 1) for i in range(SMALL_MESSAGES)]
            for text in small:
                dovecot.deliver("many", text)
            dovecot.deliver("bench", plain_message(2000, 999999))
            big_md5 = hashlib.md5(big).hexdigest()
            # Dovecot lists new mail in the order it finds it; compare against
            # what a direct fetch returns, checked once against what was delivered.
            direct_many = self.run_loadgen("retr", "--port", dovecot.port, "--user", "many",
                                           "--password", PASSWORD, "--apop", "--first", 1,
                                           "--last", SMALL_MESSAGES)
            if direct_many["bytes"] != sum(len(t) for t in small):
                raise RuntimeError("direct fetch of the small messages lost bytes")
            many_md5 = direct_many["md5"]

            haproxy, haproxy_port = self.start_haproxy(dovecot.port)
            posternd, posternd_port = self.start_posternd(dovecot.port)
            targets = [("direct", dovecot.port, None, True),
                       ("haproxy", haproxy_port, haproxy, True),
                       ("posternd", posternd_port, posternd, False)]
            if self.baseline:
                baseline, baseline_port = self.start_posternd(dovecot.port, self.baseline)
                targets.append(("baseline", baseline_port, baseline, False))
            for round_number in range(1, self.rounds + 1):
                print(f"round {round_number}/{self.rounds}: logins and fetches", file=sys.stderr)
                for label, port, relay, apop in targets:
                    for clients in (8, 64):
                        self.logins(label, port, relay, apop, clients)
                    self.retr(label, port, relay, apop, "big", 1, 1, big_md5, "big")
                    self.retr(label, port, relay, apop, "many", 1, SMALL_MESSAGES, many_md5, "many")
            self.stop_all()

    def idle_sessions(self):
        """Memory per idle logged-in session and login CPU with them open. Dovecot
        runs one process per POP3 session, so a minimal APOP server stands in for
        it here; it is the relays that are measured."""
        backend_port = free_port()
        self.start([self.loadgen, "fake-server", "--port", backend_port, "--user", "bench",
                    "--password", PASSWORD], "fake-server", backend_port)
        relays = [("haproxy", self.start_haproxy, True), ("posternd", self.start_posternd, False)]
        if self.baseline:
            relays.append(("baseline", lambda port: self.start_posternd(port, self.baseline), False))
        for label, starter, apop in relays:
            for _ in range(self.rounds):
                relay, port = starter(backend_port)
                time.sleep(0.2)
                self.logins(label + " (idle base)", port, relay, apop, 8)
                base = memory_kib(relay.pid)
                opened = 0
                holders = []
                for target in self.sessions:
                    holder = subprocess.Popen(
                        [self.loadgen, "idle", "--port", str(port), "--user", "bench",
                         "--password", PASSWORD, "--sessions", str(target - opened),
                         "--clients", "8", *(["--apop"] if apop else [])],
                        stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True,
                        preexec_fn=raise_nofile)
                    holders.append(holder)
                    status = json.loads(holder.stdout.readline())
                    if status["failed"]:
                        raise RuntimeError(f"{label}: {status['failed']} idle sessions failed")
                    opened = target
                    time.sleep(0.5)
                    per_session = (memory_kib(relay.pid) - base) / target
                    self.record(f"RSS KiB per idle session, {target:,}", label, per_session)
                # Logins while the sessions stay open.
                before = cpu_seconds(relay.pid)
                result = self.run_loadgen("login", "--port", port, "--user", "bench", "--password",
                                          PASSWORD, "--clients", 8, "--seconds", self.seconds,
                                          *(["--apop"] if apop else []))
                used = cpu_seconds(relay.pid) - before
                self.record(f"relay CPU us/login, {opened:,} open", label,
                            used / result["logins"] * 1e6)
                for holder in holders:
                    holder.stdin.close()
                    holder.wait(60)
                relay.stop()
                self.children.remove(relay)
        self.stop_all()

    # The report.

    def report(self):
        metrics = []
        for metric, _ in self.results:
            if metric not in metrics:
                metrics.append(metric)
        labels = ["direct", "haproxy", "posternd"] + (["baseline"] if self.baseline else [])
        others = ["direct", "haproxy"] + (["baseline"] if self.baseline else [])
        print()
        print(f"{'figure (min / median / max)':<38}" + "".join(f"{l:>26}" for l in labels)
              + "".join(f"{'posternd/' + o:>18}" for o in others))
        for metric in metrics:
            row = f"{metric:<38}"
            medians = {}
            for label in labels:
                values = self.results.get((metric, label))
                if not values:
                    values = self.results.get((metric, label + " (idle base)"))
                if values:
                    medians[label] = statistics.median(values)
                    cell = f"{min(values):.4g} / {medians[label]:.4g} / {max(values):.4g}"
                else:
                    cell = "-"
                row += f"{cell:>26}"
            for other in others:
                if "posternd" in medians and medians.get(other):
                    row += f"{medians['posternd'] / medians[other]:>18.3f}"
                else:
                    row += f"{'-':>18}"
            print(row)
        print()
        self.check_targets()

    def median(self, metric, label):
        values = self.results.get((metric, label))
        return statistics.median(values) if values else None

    def check_targets(self):
        m = self.median
        checks = []

        def check(name, value, limit, unit, lower_is_better=True):
            if value is None or limit is None:
                checks.append(f"  ?    {name}: not measured")
                return
            met = value <= limit if lower_is_better else value >= limit
            checks.append(f"  {'met ' if met else 'MISS'} {name}: {value:.3f}{unit} "
                          f"({'at most' if lower_is_better else 'at least'} {limit:.3f}{unit})")

        for size in ("32 MiB", "2,000 x 4 KiB"):
            cpu = m(f"relay CPU ms/MB, {size}", "posternd")
            check(f"relay CPU per MB ({size})", cpu, 0.5, " ms/MB")
            haproxy = m(f"relay CPU ms/MB, {size}", "haproxy")
            check(f"relay CPU per MB vs haproxy ({size})", cpu, haproxy and haproxy / 2, " ms/MB")
        for metric in ("RETR 32 MiB, MB/s", "RETR 2,000 x 4 KiB, messages/s"):
            p, h = m(metric, "posternd"), m(metric, "haproxy")
            check(f"{metric} vs haproxy", p and h and p / h, 0.95, "x", lower_is_better=False)
        for clients in (8, 64):
            check(f"login CPU, {clients} clients", m(f"relay CPU us/login, {clients} clients", "posternd"),
                  150, " us")
        biggest = max(self.sessions)
        check(f"RSS per idle session at {biggest:,}",
              m(f"RSS KiB per idle session, {biggest:,}", "posternd"), 4.5, " KiB")
        idle = m("relay CPU us/login, 8 clients", "posternd (idle base)")
        loaded = m(f"relay CPU us/login, {biggest:,} open", "posternd")
        check(f"login CPU with {biggest:,} open vs none", idle and loaded and loaded / idle, 1.10, "x")
        print("targets:")
        print("\n".join(checks))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", default=os.path.join(HERE, "..", "build", "bench"))
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--seconds", type=float, default=5, help="length of each login run")
    parser.add_argument("--sessions", default="1000,10000", help="idle session counts")
    parser.add_argument("--skip-dovecot", action="store_true", help="only the idle-session runs")
    parser.add_argument("--baseline-posternd", metavar="PATH",
                        help="another posternd (say, an earlier build) measured beside this one")
    parser.add_argument("--tls", choices=("also", "only", "no"), default="also",
                        help="the TLS relays against Dovecot's POP3S (bench/tls.py)")
    args = parser.parse_args()
    raise_nofile()
    sessions = [int(s) for s in args.sessions.split(",")]
    cap = session_cap()
    if max(sessions) > cap:
        print(f"note: the descriptor limit here ({resource.getrlimit(resource.RLIMIT_NOFILE)[1]}) "
              f"lets a relay hold at most {cap:,} sessions; measuring {cap:,} instead of "
              f"{max(sessions):,}", file=sys.stderr)
        sessions = [min(s, cap) for s in sessions]
    bench = Bench(args.build, args.rounds, args.seconds, sessions, args.baseline_posternd)
    tls_bench = TlsBench(bench) if args.tls != "no" else None
    try:
        if args.tls != "only":
            if not args.skip_dovecot:
                bench.run_dovecot_rounds()
            bench.idle_sessions()
        if tls_bench:
            tls_bench.run()
    finally:
        bench.stop_all()
    if args.tls != "only":
        bench.report()
    if tls_bench:
        tls_bench.report()


if __name__ == "__main__":
    from tls_relays import TlsBench  # noqa: E402  (it imports this module's helpers)
    main()
