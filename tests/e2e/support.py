"""Shared pieces of the end-to-end cases."""

from __future__ import annotations

import unittest

from fault_server import FaultServer
from nginx import Nginx
from sandbox import Sandbox, body_name, file_url, resume_name, sha256

PERMITTED = "Quenbury Enabled"


def parameters(url: str, location: str, checksum: str) -> str:
    return f"Given param -> 1 {url} \nGiven param -> 2 {location}\nGiven check_SHA256sum -> {checksum}"


def naming(destination: str) -> list[str]:
    return ["Inside resume plist file name generator", "Resume plist :" + resume_name(destination)]


def checksum_records(digest: str, given: str) -> list[str]:
    return [f"downloaded file checksum ->{digest}\nGiven checksum ->{given}",
            "SHA256 checksum validated succesfully NSComparisonResult" if digest == given.lower()
            else "SHA256 checksum validation failed NSComparisonResult"]


def moved(body: str, destination: str, replaced: bool = False) -> list[str]:
    lines = [f" file Downloaded location Optional({file_url(body)}), move location {file_url(destination)}"]
    if replaced:
        lines.append("removing Old File")
    return lines + [f"Download successful. File saved to: {file_url(destination)}"]


def body_path(encoded_url: str, uid: int = 0) -> str:
    return f"/var/tmp/quenbury-{uid}/" + body_name(encoded_url)


class SandboxCase(unittest.TestCase):
    maxDiff = None

    def setUp(self) -> None:
        self.box = Sandbox()
        self.addCleanup(self.box.close)

    def assertRecords(self, run, expected: list[str]) -> None:
        self.assertEqual(run.records, expected, run.stderr)

    def assertVerifiedOrAbsent(self, run, location: str, data: bytes) -> None:
        """A run that ends 0 has the verified file in place; any other ends non-zero."""
        placed = self.box.read(self.box.destination(location))
        if run.status == 0:
            self.assertEqual(placed, data, run.stderr)
        else:
            self.assertNotEqual(run.status, 0)

    def fresh_success(self, url: str, location: str, data: bytes, replaced: bool = False, checksum: str = "") -> list[str]:
        """The records of a fresh download of `data` that verifies."""
        checksum = checksum or sha256(data)
        destination = self.box.destination(location)
        return ([parameters(url, location, checksum), f"download location {destination}", PERMITTED]
                + naming(destination) + moved(body_path(url), destination, replaced) + checksum_records(sha256(data), checksum))


class AgentCase(SandboxCase):
    """A sandbox with an installed agent that allows the download."""

    def setUp(self) -> None:
        super().setUp()
        self.box.install_agent()
        self.box.allow()


class ServedCase(AgentCase):
    """An allowed agent and a fault server of the test's own."""

    def setUp(self) -> None:
        super().setUp()
        self.server = FaultServer()
        self.addCleanup(self.server.stop)


class NginxCase(AgentCase):
    """An allowed agent and one nginx for the whole class, at `nginx_rate` under /slow/."""

    nginx_rate = "2m"

    @classmethod
    def setUpClass(cls) -> None:
        cls.nginx = Nginx(rate=cls.nginx_rate)

    @classmethod
    def tearDownClass(cls) -> None:
        cls.nginx.close()
