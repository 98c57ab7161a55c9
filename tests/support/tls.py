"""A test certificate authority made with the openssl command, and the
certificates the TLS tests need: a good one for localhost and 127.0.0.1, one
for another name, an expired one, a self-signed one, and one from a CA nobody
trusts. Everything lives in a folder of its own; nothing touches the system's
trust store."""

import hashlib
import os
import shutil
import ssl
import subprocess
import tempfile

_CA_CONFIG = """\
[ca]
default_ca = test_ca
[test_ca]
dir = {dir}
database = {dir}/index.txt
new_certs_dir = {dir}/issued
serial = {dir}/serial
default_md = sha256
policy = any
copy_extensions = copy
unique_subject = no
[any]
commonName = supplied
[server]
basicConstraints = CA:false
keyUsage = digitalSignature, keyEncipherment
extendedKeyUsage = serverAuth
subjectAltName = {alt_names}
"""


# RSA: wine's crypt32 now and then refuses a good ECDSA signature as bad.
KEY = ("-newkey", "rsa:2048")


def _openssl(*args, cwd=None):
    result = subprocess.run(["openssl", *args], cwd=cwd, capture_output=True, timeout=60)
    if result.returncode != 0:
        raise RuntimeError(f"openssl {' '.join(args)}: {result.stderr.decode(errors='replace')}")
    return result.stdout


def fingerprint(cert_path):
    """The certificate's SHA-256 fingerprint as AB:CD:... (openssl x509 -fingerprint writes it so)."""
    with open(cert_path) as f:
        der = ssl.PEM_cert_to_DER_cert(f.read())
    digest = hashlib.sha256(der).hexdigest().upper()
    return ":".join(digest[i:i + 2] for i in range(0, len(digest), 2))


class Authority:
    """A CA in a temporary folder; `issue` makes server certificates signed by it."""

    def __init__(self, name="Postern Test CA", directory=None):
        self.directory = directory or tempfile.mkdtemp(prefix="postern-ca-")
        os.makedirs(os.path.join(self.directory, "issued"), exist_ok=True)
        open(os.path.join(self.directory, "index.txt"), "w").close()
        with open(os.path.join(self.directory, "serial"), "w") as f:
            f.write("1000\n")
        self.key = os.path.join(self.directory, "ca.key")
        self.cert = os.path.join(self.directory, "ca.pem")
        _openssl("req", "-x509", *KEY,
                 "-nodes", "-keyout", self.key, "-out", self.cert, "-days", "30",
                 "-subj", f"/CN={name}",
                 "-addext", "basicConstraints=critical,CA:true",
                 "-addext", "keyUsage=critical,keyCertSign,cRLSign")

    def issue(self, name, dns=("localhost",), ips=("127.0.0.1",), start=None, end=None):
        """Key and certificate files for a server; start/end as YYYYMMDDHHMMSSZ
        (default: valid from yesterday for 30 days)."""
        base = os.path.join(self.directory, name)
        alt = ",".join([f"DNS:{d}" for d in dns] + [f"IP:{i}" for i in ips])
        config = base + ".cnf"
        with open(config, "w") as f:
            f.write(_CA_CONFIG.format(dir=self.directory, alt_names=alt))
        _openssl("req", "-new", *KEY, "-nodes",
                 "-keyout", base + ".key", "-out", base + ".csr", "-subj", f"/CN={dns[0]}")
        dates = ["-startdate", start] if start else ["-days", "30"]
        if end:
            dates += ["-enddate", end]
        _openssl("ca", "-batch", "-config", config, "-extensions", "server", "-notext",
                 "-cert", self.cert, "-keyfile", self.key, "-in", base + ".csr",
                 "-out", base + ".pem", *dates)
        return base + ".key", base + ".pem"

    def self_signed(self, name, dns="localhost"):
        base = os.path.join(self.directory, name)
        _openssl("req", "-x509", *KEY, "-nodes",
                 "-keyout", base + ".key", "-out", base + ".pem", "-days", "30",
                 "-subj", f"/CN={dns}", "-addext", f"subjectAltName=DNS:{dns},IP:127.0.0.1")
        return base + ".key", base + ".pem"

    def remove(self):
        shutil.rmtree(self.directory, ignore_errors=True)


def server_context(key, cert, minimum=ssl.TLSVersion.TLSv1_2):
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.minimum_version = minimum
    context.load_cert_chain(cert, key)
    return context
