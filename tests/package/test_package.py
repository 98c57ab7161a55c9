"""The Debian packages from scripts/package.sh, installed on this machine: the
files are where Debian users look for them, the installed posternd serves a
login the way its service unit starts it, and purging leaves nothing behind.
Needs root; PACKAGE_DIR names the folder with the .deb files."""

import glob
import os
import poplib
import shutil
import subprocess
import tempfile
import unittest

from support import posternd
from support.dovecot import Dovecot

PACKAGE_DIR = os.environ.get("PACKAGE_DIR", "")
VERSION = os.environ.get("POSTERN_VERSION", "")
PACKAGES = ("postern", "posternd")
EXPECTED = [
    "/usr/bin/postern", "/usr/bin/posternd",
    "/usr/share/applications/postern.desktop",
    "/usr/share/icons/hicolor/16x16/apps/postern.png",
    "/usr/share/icons/hicolor/32x32/apps/postern.png",
    "/usr/share/man/man1/postern.1.gz", "/usr/share/man/man8/posternd.8.gz",
    "/lib/systemd/system/posternd.service", "/usr/lib/systemd/user/posternd.service",
    "/etc/postern/posternd.conf",
    "/usr/share/doc/postern/copyright", "/usr/share/doc/posternd/changelog.gz",
]


def run(*args, **kwargs):
    return subprocess.run(args, stdin=subprocess.DEVNULL, capture_output=True, text=True,
                          timeout=600, **kwargs)


def installed(package):
    result = run("dpkg-query", "-W", "-f=${db:Status-Status}", package)
    return result.returncode == 0 and result.stdout not in ("", "not-installed")


@unittest.skipUnless(os.geteuid() == 0, "installing packages needs root: run it as root "
                     "(CI does), e.g. sudo scripts/package.sh --test")
class InstalledPackagesTest(posternd.PosterndCase):

    @classmethod
    def setUpClass(cls):
        cls.debs = [os.path.join(PACKAGE_DIR, f"{p}_{VERSION}_{arch}.deb") for p in PACKAGES
                    for arch in [run("dpkg", "--print-architecture").stdout.strip()]]
        missing = [deb for deb in cls.debs if not os.path.isfile(deb)]
        if missing:
            raise AssertionError(f"no {missing}; build them with scripts/package.sh "
                                 f"(found {glob.glob(os.path.join(PACKAGE_DIR, '*'))})")
        for package in PACKAGES:
            if installed(package):
                raise AssertionError(f"{package} is installed already; this test installs and "
                                     f"purges it, so remove it first (dpkg --purge {package})")

    def tearDown(self):
        # Whatever happened, the machine is left without the packages.
        if any(installed(p) for p in PACKAGES):
            run("dpkg", "--purge", *PACKAGES)

    def install(self):
        env = dict(os.environ, DEBIAN_FRONTEND="noninteractive")
        # apt-get rather than dpkg -i, so missing dependencies come along. Slim
        # container images tell dpkg to leave out manual pages and docs; not here.
        result = run("apt-get", "install", "-y", "-q", "--no-install-recommends",
                     "-o", "DPkg::Options::=--path-include=/usr/share/man/*",
                     "-o", "DPkg::Options::=--path-include=/usr/share/doc/*",
                     *[os.path.abspath(d) for d in self.debs], env=env)
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)

    def test_install_use_and_purge(self):
        self.install()
        files = run("dpkg", "-L", *PACKAGES).stdout.split()
        for path in EXPECTED:
            self.assertIn(path, files)
            self.assertTrue(os.path.isfile(path), path)
        self.assertEqual(run("dpkg-query", "-W", "-f=${Conffiles}", "posternd").stdout.split()[0],
                         "/etc/postern/posternd.conf")

        result = run("desktop-file-validate", "/usr/share/applications/postern.desktop")
        self.assertEqual((result.returncode, result.stdout + result.stderr), (0, ""))
        for name, page in (("postern", "/usr/share/man/man1/postern.1.gz"),
                           ("posternd", "/usr/share/man/man8/posternd.8.gz")):
            self.assertEqual(run("man", "-w", name).stdout.strip(), page)
        result = run("/usr/bin/posternd", "--version")
        self.assertEqual((result.returncode, result.stdout), (0, "posternd (Postern) 1.0\n"))
        # The shipped settings name no server: the service refuses to start, and says why.
        result = run("/usr/bin/posternd", "--config", "/etc/postern/posternd.conf")
        self.assertEqual(result.returncode, 2, result.stderr)
        self.assertIn("no POP3 server given", result.stderr)

        self.verify_units()
        self.serve_one_login()

        result = run("dpkg", "--purge", *PACKAGES)
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        left = [f for f in files if os.path.lexists(f) and not os.path.isdir(f)]
        self.assertEqual(left, [])
        self.assertFalse(os.path.exists("/etc/postern"))
        self.assertFalse(os.path.exists("/usr/share/doc/posternd"))

    def verify_units(self):
        runtime = tempfile.mkdtemp(prefix="postern-runtime-")
        self.addCleanup(shutil.rmtree, runtime, True)
        # The user manager wants a runtime folder, even offline.
        for args in (("/lib/systemd/system/posternd.service",),
                     ("--user", "/usr/lib/systemd/user/posternd.service")):
            result = run("systemd-analyze", *args[:-1], "verify", args[-1],
                         env=dict(os.environ, XDG_RUNTIME_DIR=runtime))
            self.assertEqual((result.returncode, result.stderr), (0, ""), args)
        result = run("systemd-analyze", "security", "--offline=true",
                     "/lib/systemd/system/posternd.service")
        print("\n" + result.stdout.strip().splitlines()[-1])
        self.assertEqual(result.returncode, 0, result.stderr)

    def serve_one_login(self):
        dovecot = Dovecot({"alice": "secret-1939"})
        dovecot.start()
        self.addCleanup(dovecot.stop)
        self.dovecot = dovecot
        # The installed binary, started as the unit starts it: with a settings file.
        posternd.POSTERND = "/usr/bin/posternd"
        daemon = self.start_posternd(config=True)
        client = poplib.POP3("127.0.0.1", daemon.port, timeout=posternd.TIMEOUT)
        self.addCleanup(client.close)
        client.user("alice")
        self.assertEqual(client.pass_("secret-1939"), b"+OK Logged in.")
        self.assertTrue(client.quit().startswith(b"+OK"))
        self.stop_cleanly(daemon)


if __name__ == "__main__":
    unittest.main()
