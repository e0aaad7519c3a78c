"""HTTPS against nginx with certificates of a test authority that the sandbox
trusts in place of the system's, and with certificates it must not trust."""

from __future__ import annotations

import os
import shutil
import subprocess
import tempfile
import unittest

from nginx import Nginx
from sandbox import sha256
from support import PERMITTED, AgentCase, naming, parameters

PACKAGE = bytes((i * 7) % 256 for i in range(1 << 20))
TRUST_STORE = "/etc/ssl/certs/ca-certificates.crt"


def openssl(*args: str, cwd: str) -> None:
    subprocess.run(["openssl", *args], cwd=cwd, check=True, capture_output=True)


def make_certificates(folder: str) -> dict[str, tuple[str, str]]:
    """A test authority and three server certificates: one it signs for
    127.0.0.1, one it signs for another host, and one that signs itself."""
    key = ["-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes"]
    openssl("req", "-x509", *key, "-keyout", "ca.key", "-out", "ca.crt", "-days", "2", "-subj", "/CN=Quenbury Test Authority",
            "-addext", "basicConstraints=critical,CA:TRUE", "-addext", "keyUsage=critical,keyCertSign,cRLSign", cwd=folder)
    certificates = {}
    for name, names in (("good", "IP:127.0.0.1,DNS:localhost"), ("wrong-host", "DNS:packages.example.invalid")):
        with open(os.path.join(folder, name + ".ext"), "w") as ext:
            ext.write(f"subjectAltName={names}\nbasicConstraints=CA:FALSE\nextendedKeyUsage=serverAuth\n")
        openssl("req", "-new", *key, "-keyout", name + ".key", "-out", name + ".csr", "-subj", "/CN=" + name, cwd=folder)
        openssl("x509", "-req", "-in", name + ".csr", "-CA", "ca.crt", "-CAkey", "ca.key", "-CAcreateserial", "-days", "2",
                "-extfile", name + ".ext", "-out", name + ".crt", cwd=folder)
        certificates[name] = (os.path.join(folder, name + ".crt"), os.path.join(folder, name + ".key"))
    openssl("req", "-x509", *key, "-keyout", "self.key", "-out", "self.crt", "-days", "2", "-subj", "/CN=127.0.0.1",
            "-addext", "subjectAltName=IP:127.0.0.1", cwd=folder)
    certificates["self-signed"] = (os.path.join(folder, "self.crt"), os.path.join(folder, "self.key"))
    return certificates


class SecureDownloads(AgentCase):
    @classmethod
    def setUpClass(cls) -> None:
        cls.folder = tempfile.mkdtemp(prefix="quenbury-tls-")
        cls.nginx = Nginx(certificates=make_certificates(cls.folder))
        cls.nginx.publish("Upgrade.pkg", PACKAGE)

    @classmethod
    def tearDownClass(cls) -> None:
        cls.nginx.close()
        shutil.rmtree(cls.folder, ignore_errors=True)

    def setUp(self) -> None:
        super().setUp()
        # Only the test authority is trusted inside the sandbox.
        self.box.overlays.append((os.path.join(self.folder, "ca.crt"), TRUST_STORE))

    def test_certificate_of_the_trusted_authority_verifies(self) -> None:
        url = self.nginx.url("/Upgrade.pkg", tls="good")
        run = self.box.run(url, "a.pkg", sha256(PACKAGE))
        self.assertRecords(run, self.fresh_success(url, "a.pkg", PACKAGE))
        self.assertEqual(run.status, 0)
        self.assertEqual(self.box.read(self.box.destination("a.pkg")), PACKAGE)

    def test_untrusted_certificates_fail_and_place_nothing(self) -> None:
        for name in ("self-signed", "wrong-host"):
            with self.subTest(certificate=name):
                url = self.nginx.url("/Upgrade.pkg", tls=name)
                run = self.box.run(url, "a.pkg", sha256(PACKAGE))
                destination = self.box.destination("a.pkg")
                self.assertEqual(run.records[:-2], [parameters(url, "a.pkg", sha256(PACKAGE)), f"download location {destination}",
                                                    PERMITTED] + naming(destination))
                self.assertRegex(run.records[-2], r'^Download failed with error: Error Domain=NSURLErrorDomain Code=-1202 '
                                 r'"The certificate for this server is invalid\." .*NSUnderlyingError=CURLcode 60: ')
                self.assertEqual(run.records[-1], "Not saving resume data")
                self.assertEqual(run.status, 1)
                self.assertIsNone(self.box.read(destination))
                self.assertEqual(self.box.files_under("/private/tmp") + self.box.files_under("/var/tmp"), [])


if __name__ == "__main__":
    unittest.main()
