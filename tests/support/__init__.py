"""What the Python suites (integration, faults, the desktop test) and the
benchmark share: a private Dovecot (dovecot), posternd as a process
(posternd), /proc counting (proc), and POP3 over a plain socket with one
message builder and a scripted server (pop3). Here: free ports and bounded waits."""

import socket
import time

TIMEOUT = 20.0  # any single wait; the sanitizer build is slow


def free_port(host="127.0.0.1"):
    family = socket.AF_INET6 if ":" in host else socket.AF_INET
    with socket.socket(family, socket.SOCK_STREAM) as probe:
        probe.bind((host, 0))
        return probe.getsockname()[1]


def wait_until(predicate, timeout=TIMEOUT, step=0.02):
    """The predicate's first true value, or its last false one once timeout has passed."""
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value or time.monotonic() >= deadline:
            return value
        time.sleep(step)
