"""The progress line, drawn only when standard error is a terminal."""

import os
import pty
import re
import subprocess
import unittest

from harness import BODY, SUCCESS, Nginx, Sandbox, body_path, file_url, records, resume_name, sha256


class ProgressLine(unittest.TestCase):
    def test_progress_on_a_terminal_is_cleared_before_each_record(self) -> None:
        box, nginx = Sandbox(), Nginx()
        self.addCleanup(box.close)
        self.addCleanup(nginx.close)
        box.install_agent()
        url = nginx.publish("p.pkg", BODY).replace("/p.pkg", "/slow/p.pkg")
        master, slave = pty.openpty()
        process = subprocess.Popen(box.command([url, "p.pkg", sha256(BODY)]), stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=slave)
        os.close(slave)
        output = b""
        while chunk := self.read(master):
            output += chunk
        self.assertEqual(process.wait(timeout=60), 0)
        text = output.decode()
        drawn = re.findall(r"\r([^\r\n\x1b]*)\x1b\[K", text)
        self.assertTrue(any(re.fullmatch(r"[\d.]+ [KMG]iB of 3\.0 MiB \(\d+%\), [\d.]+ [KMG]iB/s(, \d+:\d\d:\d\d left)?", line) for line in drawn), drawn)
        # The line is erased before each record that follows it; without the control sequences the records are the usual ones.
        dest = box.destination("p.pkg")
        values = dict(url=url, location="p.pkg", sum=sha256(BODY), digest=sha256(BODY), dest=dest, dest_url=file_url(dest),
                      plist=resume_name(dest), body_url=file_url(body_path(url)))
        self.assertEqual(records(re.sub(r"\r[^\r\n]*?\x1b\[K", "", text).replace("\r\n", "\n")), [r.format(**values) for r in SUCCESS])

    @staticmethod
    def read(fd: int) -> bytes:
        try:
            return os.read(fd, 65536)
        except OSError:  # The terminal's other side has closed.
            return b""
