"""The progress line, drawn only when standard error is a terminal."""

from __future__ import annotations

import os
import pty
import re
import subprocess

from nginx import Nginx
from sandbox import records, sha256
from support import SandboxCase

DATA = bytes(range(256)) * (12 << 10)  # 3 MiB


class ProgressLine(SandboxCase):
    def test_progress_on_a_terminal_is_cleared_before_each_record(self) -> None:
        self.box.install_agent()
        self.box.allow()
        with Nginx(rate="2m") as nginx:
            nginx.publish("p.pkg", DATA)
            url = nginx.url("/slow/p.pkg")
            master, slave = pty.openpty()
            process = subprocess.Popen(self.box.command([url, "p.pkg", sha256(DATA)]), stdin=subprocess.DEVNULL,
                                       stdout=subprocess.DEVNULL, stderr=slave)
            os.close(slave)
            output = b""
            while True:
                try:
                    chunk = os.read(master, 65536)
                except OSError:
                    break
                if not chunk:
                    break
                output += chunk
            process.wait(timeout=60)
            os.close(master)
        self.assertEqual(process.returncode, 0)
        text = output.decode()
        drawn = re.findall(r"\r([^\r\n\x1b]*)\x1b\[K", text)
        self.assertTrue(any(re.fullmatch(r"[\d.]+ [KMG]iB of 3\.0 MiB \(\d+%\), [\d.]+ [KMG]iB/s(, \d+:\d\d:\d\d left)?", line) for line in drawn), drawn)
        # The line is erased before the first record that follows it, and
        # with control sequences removed the records are exactly the usual ones.
        self.assertIn("\r\x1b[K", text)
        plain = re.sub(r"\r[^\r\n]*?\x1b\[K", "", text).replace("\r\n", "\n")
        self.assertEqual(records(plain), self.fresh_success(url, "p.pkg", DATA))
