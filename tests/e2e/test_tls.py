"""HTTPS against nginx with certificates of a test authority that the sandbox trusts in place of the system's."""

import os
import shutil
import subprocess
import tempfile
import unittest

from harness import BODY, START, SUCCESS, Case, Nginx, Step, run_case

KEY = ["-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes", "-days", "2"]
UNTRUSTED = START + ['~Download failed with error: Error Domain=NSURLErrorDomain Code=-1202 "The certificate for this server is invalid\\." '
                      r"(?!.*ResumeData).*NSUnderlyingError=CURLcode 60: .*\}", "Not saving resume data"]


def make_certificates(folder: str) -> dict[str, tuple[str, str]]:
    """A test authority, a certificate it signs for 127.0.0.1, one it signs for another host, and one that signs itself."""
    def openssl(*args: str) -> None:
        subprocess.run(["openssl", *args], cwd=folder, check=True, capture_output=True)
    openssl("req", "-x509", *KEY, "-keyout", "ca.key", "-out", "ca.crt", "-subj", "/CN=Quenbury Test Authority",
            "-addext", "basicConstraints=critical,CA:TRUE", "-addext", "keyUsage=critical,keyCertSign,cRLSign")
    for name, names in (("good", "IP:127.0.0.1"), ("wrong-host", "DNS:packages.example.invalid")):
        with open(os.path.join(folder, name + ".ext"), "w") as ext:
            ext.write(f"subjectAltName={names}\nbasicConstraints=CA:FALSE\nextendedKeyUsage=serverAuth\n")
        openssl("req", "-new", *KEY[:5], "-keyout", name + ".key", "-out", name + ".csr", "-subj", "/CN=" + name)
        openssl("x509", "-req", "-in", name + ".csr", "-CA", "ca.crt", "-CAkey", "ca.key", "-CAcreateserial", "-days", "2",
                "-extfile", name + ".ext", "-out", name + ".crt")
    openssl("req", "-x509", *KEY, "-keyout", "self-signed.key", "-out", "self-signed.crt", "-subj", "/CN=127.0.0.1",
            "-addext", "subjectAltName=IP:127.0.0.1")
    return {name: (os.path.join(folder, name + ".crt"), os.path.join(folder, name + ".key")) for name in ("good", "wrong-host", "self-signed")}


class SecureDownloads(unittest.TestCase):
    maxDiff = None

    @classmethod
    def setUpClass(cls) -> None:
        cls.folder = tempfile.mkdtemp(prefix="quenbury-tls-")
        cls.nginx = Nginx(certificates=make_certificates(cls.folder))

    @classmethod
    def tearDownClass(cls) -> None:
        cls.nginx.close()
        shutil.rmtree(cls.folder, ignore_errors=True)

    def test_only_a_certificate_of_the_trusted_authority_for_the_host_verifies(self) -> None:
        for name, status, records, placed in (("good", 0, SUCCESS, BODY), ("self-signed", 1, UNTRUSTED, None), ("wrong-host", 1, UNTRUSTED, None)):
            with self.subTest(certificate=name):
                # Only the test authority is trusted inside the sandbox.
                run_case(self, Case(name, server="nginx", url=self.nginx.url("/a.pkg", tls=name), serve={"/a.pkg": BODY},
                                    overlays=[(os.path.join(self.folder, "ca.crt"), "/etc/ssl/certs/ca-certificates.crt")],
                                    runs=[Step(status, records)], after={"{dest}": placed, "/private/tmp": [], "/var/tmp": []}), self.nginx)
