"""The two-run road against real servers: the server stops mid-transfer, is
restarted, and the next run continues, or starts over where it must."""

from __future__ import annotations

import ctypes
import dataclasses
import os
import plistlib
import shutil
import subprocess
import tempfile
import time
import unittest
from typing import Optional

from nginx import Nginx
from sandbox import Sandbox, sha256
from servers import Apache, Lighttpd, Squid
from support import PERMITTED, AgentCase, body_path, checksum_records, moved, naming, parameters
from test_tls import TRUST_STORE, make_certificates

DATA = bytes((i * 13) % 256 for i in range(4 << 20))
RATE, FULL_SPEED = "1024k", "1048576k"  # KiB per second
CUT = 1 << 20
LOCATION = "Upgrade.pkg"
DAY = 86400
LOSS_RULES = "table inet loss { chain input { type filter hook input priority 0; numgen random mod 100 < %d counter drop; }; }"
CLONE_NEWNET = 0x40000000


def enter_namespace(fd: int) -> None:
    # Python 3.11 has no os.setns; the network namespace is the calling thread's.
    if ctypes.CDLL(None, use_errno=True).setns(fd, CLONE_NEWNET) != 0:
        raise OSError(ctypes.get_errno(), "setns")


@dataclasses.dataclass
class Row:
    name: str
    kind: type = Nginx
    options: dict = dataclasses.field(default_factory=dict)
    age: float = DAY  # Apache marks its tag weak while the file is within a second of the request
    validator: Optional[str] = "EntityTag"  # the kept one that the resumed request sends as If-Range; None: nothing kept
    status: str = "206"  # of the resumed request
    protocol: str = "HTTP/1.1"
    proxy: bool = False
    loss: int = 0  # percent of packets dropped on a private loopback


ROWS = [
    Row("nginx"),
    Row("apache_strong_tag", Apache),
    # Weak tag kept with the date; the date does not match today's, so the whole entity comes again.
    Row("apache_weak_tag", Apache, age=-DAY, validator="LastModified", status="200"),
    # Without a type from mimetype.assign lighttpd sends neither ETag nor Last-Modified.
    Row("lighttpd_plain", Lighttpd, validator=None, status="200"),
    Row("lighttpd_debian_types", Lighttpd, {"mime_table": True}),
    Row("nginx_https_http2", Nginx, {"http2": True}, protocol="HTTP/2.0"),
    Row("squid_proxy", proxy=True),
    Row("nginx_packet_loss", loss=3),
]


class ServerRoad(AgentCase):
    def serve(self, row: Row) -> tuple[Nginx, str]:
        """The row's server with DATA published, and the URL the runs fetch."""
        options = dict(row.options)
        if row.protocol == "HTTP/2.0":  # offered over TLS only
            folder = tempfile.mkdtemp(prefix="quenbury-h2-")
            self.addCleanup(shutil.rmtree, folder, True)
            options["certificates"] = {"good": make_certificates(folder)["good"]}
            self.box.overlays.append((os.path.join(folder, "ca.crt"), TRUST_STORE))
        server = row.kind(rate=RATE, **options)
        self.addCleanup(server.close)
        path = os.path.join(server.docroot, LOCATION)
        server.publish(LOCATION, DATA)
        os.utime(path, (time.time() - row.age,) * 2)
        return server, server.url("/slow/" + LOCATION, tls="good" if "certificates" in options else None)

    def enter_lossy_loopback(self, loss: int) -> None:
        if os.geteuid() != 0 or not shutil.which("ip") or not shutil.which("nft"):
            self.skipTest("a network namespace needs root, ip and nft")
        name = f"quenbury-{os.getpid()}"
        made = subprocess.run(["ip", "netns", "add", name], capture_output=True, text=True)
        if made.returncode != 0:
            self.skipTest("ip netns unavailable: " + made.stderr.strip())
        self.addCleanup(subprocess.run, ["ip", "netns", "del", name], check=True)
        # Servers and sandboxes started from now on share the namespace.
        home = os.open("/proc/thread-self/ns/net", os.O_RDONLY)
        self.addCleanup(os.close, home)
        with open("/run/netns/" + name) as private:
            enter_namespace(private.fileno())
        self.addCleanup(enter_namespace, home)
        # Packets of an Ethernet's size, not 64 KiB ones, so that a share of them is a share of the data.
        subprocess.run(["ip", "link", "set", "lo", "up", "mtu", "1500", "gso_max_segs", "1"], check=True)
        subprocess.run(["nft", LOSS_RULES % loss], check=True)

    def road(self, row: Row) -> None:
        for kind in [row.kind, Squid] if row.proxy else [row.kind]:
            if not os.path.exists(kind.program):
                self.skipTest(f"{kind.program} is not installed (scripts/install-deps installs it)")
        if row.loss:
            self.enter_lossy_loopback(row.loss)
        server, url = self.serve(row)
        if row.proxy:
            proxy = Squid()
            self.addCleanup(proxy.close)
            self.box.env["http_proxy"] = f"http://127.0.0.1:{proxy.port}"
        destination, state = self.box.destination(LOCATION), self.box.resume_state(LOCATION)
        start = [parameters(url, LOCATION, sha256(DATA)), f"download location {destination}", PERMITTED] + naming(destination)

        process = self.box.start(url, LOCATION, sha256(DATA))
        body = self.box.host(body_path(url))
        deadline = time.monotonic() + 20
        while time.monotonic() < deadline and (not os.path.exists(body) or os.path.getsize(body) < CUT):
            time.sleep(0.05)
        server.stop()
        first = Sandbox.finish(process)
        server.rate = FULL_SPEED
        server.start()
        folder = os.path.dirname(state)
        tail = ([f"Creating directory {folder}", f"Directory is {folder}", "Resume data written"] if row.validator
                else ["No resume data generated"])
        self.assertEqual(first.status, 1, first.stderr)
        self.assertEqual(first.records[:len(start)], start)
        self.assertRegex(first.records[len(start)], r"^Download failed with error: Error Domain=NSURLErrorDomain Code=-1005 ")
        self.assertEqual(first.records[len(start) + 1:], ["Connection lost, saving resume data"] + tail)
        saved = self.box.read(state) or b""
        kept = plistlib.loads(saved) if row.validator else {"BytesReceived": 0}

        runs = [self.box.run(url, LOCATION, sha256(DATA))]
        while row.loss and runs[-1].status != 0 and len(runs) < 10:
            self.assertEqual(runs[-1].records[-1], "Resume data written", runs[-1].stderr)
            runs.append(self.box.run(url, LOCATION, sha256(DATA)))
        self.assertEqual(runs[-1].status, 0, runs[-1].stderr)
        self.assertEqual(self.box.read(destination), DATA)
        self.assertIsNone(self.box.read(state))
        server.stop()  # lighttpd writes its access log out as it stops
        log = [entry for entry in server.access_log() if LOCATION in entry[0]]
        if row.loss:
            counted = subprocess.run(["nft", "list", "ruleset"], capture_output=True, text=True).stdout
            self.assertRegex(counted, r"counter packets [1-9]")
            self.assertEqual({(entry[1], entry[3]) for entry in log}, {(row.status, kept[row.validator])})
            return
        resumed = [f"Fetching resume data..for plist {state}", f"The resume Plist size ->{len(saved)} bytes"] if row.validator else []
        self.assertEqual(runs[0].records, start + resumed
                         + moved(body_path(url), destination) + checksum_records(sha256(DATA), sha256(DATA)))
        offset = kept["BytesReceived"]
        self.assertEqual(len(log), 1)
        _, status, ranges, if_range, sent, _, _, protocol = log[0]
        self.assertEqual((status, ranges, if_range, protocol),
                         (row.status, f"bytes={offset}-" if offset else "-", kept.get(row.validator, "-"), row.protocol))
        self.assertEqual(int(sent), len(DATA) - (offset if row.status == "206" else 0))
        if row.proxy:
            seen = [(entry[2], entry[3]) for entry in proxy.access_log() if url in entry[0]]
            self.assertEqual(seen, [("-", "-"), (ranges, if_range)])


for row in ROWS:
    setattr(ServerRoad, "test_" + row.name, lambda self, row=row: self.road(row))


if __name__ == "__main__":
    unittest.main()
