"""A throw-away certificate authority with a server and a client certificate, made with the
openssl program, for trying TLS on one machine (`./qmr up --tls`) and for the tests."""

import os
import subprocess

from .common import StackError, private_folder

TLS_FOLDER = "tls"  # in the stack folder
DAYS = 30
# P-256 keys: quick to make, and every TLS 1.2/1.3 peer of omniORB's OpenSSL speaks them.
NEW_KEY = ["-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes"]
# What each certificate may be used for; the server's also names the address it serves.
EXTENSIONS = {
    "server": "basicConstraints=critical,CA:FALSE\n"
              "keyUsage=critical,digitalSignature\n"
              "extendedKeyUsage=serverAuth\n"
              "subjectAltName=IP:127.0.0.1,DNS:localhost\n",
    "client": "basicConstraints=critical,CA:FALSE\n"
              "keyUsage=critical,digitalSignature\n"
              "extendedKeyUsage=clientAuth\n",
}


def tls_files(folder):
    """The files of the authority in folder: {"ca", "ca_key", "server", "server_key", "client",
    "client_key"} -> path."""
    names = {"ca": "ca.pem", "ca_key": "ca.key", "server": "server.pem",
             "server_key": "server.key", "client": "client.pem", "client_key": "client.key"}
    return {k: os.path.join(folder, v) for k, v in names.items()}


def _openssl(args, folder):
    try:
        done = subprocess.run(["openssl"] + args, cwd=folder, stdin=subprocess.DEVNULL,
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                              timeout=60)
    except OSError as e:
        raise StackError("cannot run openssl: %s (install it: ./qmr deps)" % e)
    if done.returncode != 0:
        raise StackError("openssl %s failed:\n%s" % (" ".join(args[:2]), done.stdout.strip()))


def _sign(folder, who, subject, files):
    """A key and a certificate for `who` ("server" or "client"), signed by the authority."""
    csr = os.path.join(folder, who + ".csr")
    ext = os.path.join(folder, who + ".ext")
    with open(os.open(ext, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600), "w") as f:
        f.write(EXTENSIONS[who])
    _openssl(["req", "-new"] + NEW_KEY + ["-keyout", files[who + "_key"], "-out", csr,
                                          "-subj", subject], folder)
    _openssl(["x509", "-req", "-in", csr, "-CA", files["ca"], "-CAkey", files["ca_key"],
              "-CAcreateserial", "-days", str(DAYS), "-extfile", ext, "-out", files[who]],
             folder)
    os.unlink(csr)
    os.unlink(ext)


def make_authority(folder, name="qmr throw-away authority"):
    """Makes folder (private) with a new authority, a server certificate for 127.0.0.1 and a
    client certificate, replacing any that were there. Keys are 0600, like everything in it.
    Returns tls_files(folder)."""
    private_folder(folder)
    files = tls_files(folder)
    old_umask = os.umask(0o077)
    try:
        for path in files.values():
            if os.path.lexists(path):
                os.unlink(path)
        _openssl(["req", "-x509"] + NEW_KEY + ["-keyout", files["ca_key"], "-out", files["ca"],
                                               "-days", str(DAYS), "-subj", "/O=qmr/CN=" + name,
                                               "-addext", "basicConstraints=critical,CA:TRUE",
                                               "-addext", "keyUsage=critical,keyCertSign"],
                 folder)
        _sign(folder, "server", "/O=qmr/CN=qmr-datastored", files)
        _sign(folder, "client", "/O=qmr/CN=qmr client", files)
        serial = os.path.join(folder, "ca.srl")
        if os.path.exists(serial):
            os.unlink(serial)
    finally:
        os.umask(old_umask)
    for key in ("ca_key", "server_key", "client_key"):
        os.chmod(files[key], 0o600)
    return files


def authority(folder):
    """The files of the authority in folder, made first when one is missing."""
    files = tls_files(folder)
    if not all(os.path.exists(p) for p in files.values()):
        return make_authority(folder)
    return files


def server_tls_args(files):
    return ["--tls-ca", files["ca"], "--tls-cert", files["server"], "--tls-key",
            files["server_key"]]


def client_tls_args(files):
    return ["--tls-ca", files["ca"], "--tls-cert", files["client"], "--tls-key",
            files["client_key"]]
