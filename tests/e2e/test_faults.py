"""Runs killed at random moments, full disks, runs that race each other,
servers that lie, and many runs at once."""

from __future__ import annotations

import hashlib
import os
import random
import signal
import subprocess
import sys
import time
import unittest

from fault_server import Reply
from sandbox import BUILD_DIR, Sandbox, binary_pid, sha256
from support import NginxCase, ServedCase

DATA = bytes((i * 29) % 251 for i in range(8 << 20))  # 8 MiB
TORTURE_RUNS = int(os.environ.get("QUENBURY_TORTURE_RUNS", "16"))
LOAD_RUNS = 16


def file_digest(path: str) -> str:
    with open(path, "rb") as file:
        return hashlib.file_digest(file, "sha256").hexdigest()


def figure(line: str) -> None:
    """Keeps a measured figure beside the build for the report, and shows it."""
    print(line, file=sys.stderr)
    with open(os.path.join(BUILD_DIR, "e2e-figures.txt"), "a") as figures:
        figures.write(line + "\n")


class Faults(NginxCase):
    nginx_rate = "6m"

    @classmethod
    def setUpClass(cls) -> None:
        super().setUpClass()
        cls.nginx.publish("big.pkg", DATA)

    def held_bytes(self) -> int:
        """What the temporary folders and the resume area hold."""
        return sum(os.path.getsize(os.path.join(self.box.host(top), name))
                   for top in ("/var/tmp", "/private/tmp") for name in self.box.files_under(top))

    def test_killed_at_random_moments_then_run_to_the_end(self) -> None:
        seed = int(os.environ.get("QUENBURY_TORTURE_SEED", str(int(time.time()))))
        chance = random.Random(seed)
        url = self.nginx.url("/slow/big.pkg")
        killed = completed = 0
        for iteration in range(TORTURE_RUNS):
            with self.subTest(iteration=iteration, seed=seed):
                process = self.box.start(url, "big.pkg", sha256(DATA))
                time.sleep(chance.uniform(0, 1.6))
                pid = binary_pid(process)
                if pid is not None:
                    os.kill(pid, signal.SIGTERM if chance.random() < 0.25 else signal.SIGKILL)
                    killed += 1
                run = Sandbox.finish(process)
                self.assertVerifiedOrAbsent(run, "big.pkg", DATA)
                self.assertLessEqual(self.held_bytes(), len(DATA) + (64 << 10))
                if run.status == 0:
                    completed += 1
                    # So that the next run downloads again rather than finding the file in place.
                    os.remove(self.box.host(self.box.destination("big.pkg")))
        run = self.box.run(url, "big.pkg", sha256(DATA))
        self.assertEqual(run.status, 0, run.stderr)
        self.assertEqual(self.box.read(self.box.destination("big.pkg")), DATA)
        figure(f"torture: {TORTURE_RUNS} runs, {killed} killed, {completed} completed (seed {seed}), final run verified")

    def test_two_runs_for_one_destination_at_once(self) -> None:
        url = self.nginx.url("/slow/big.pkg")
        first = self.box.start(url, "big.pkg", sha256(DATA))
        second = self.box.start(url, "big.pkg", sha256(DATA))
        runs = [Sandbox.finish(first), Sandbox.finish(second)]
        for run in runs:
            self.assertVerifiedOrAbsent(run, "big.pkg", DATA)
        self.assertIn(0, [run.status for run in runs], [run.stderr for run in runs])
        last = self.box.run(url, "big.pkg", sha256(DATA))
        self.assertEqual(last.status, 0, last.stderr)
        self.assertEqual(self.box.read(self.box.destination("big.pkg")), DATA)

    def test_many_runs_at_once(self) -> None:
        digests = []
        for n in range(LOAD_RUNS):
            data = DATA[n:] + DATA[:n]
            self.nginx.publish(f"load/{n}.pkg", data * 4)
            digests.append(sha256(data * 4))
        started = time.monotonic()
        processes = [self.box.start(self.nginx.url(f"/load/{n}.pkg"), f"{n}.pkg", digests[n]) for n in range(LOAD_RUNS)]
        runs = [Sandbox.finish(process) for process in processes]
        elapsed = time.monotonic() - started
        for n, run in enumerate(runs):
            self.assertEqual(run.status, 0, run.stderr)
            self.assertEqual(file_digest(self.box.host(self.box.destination(f"{n}.pkg"))), digests[n])
        figure(f"load: {LOAD_RUNS} runs of {4 * len(DATA) >> 20} MiB at once in {elapsed:.2f} s, "
               f"{LOAD_RUNS * 4 * len(DATA) / elapsed / (1 << 20):.0f} MiB/s in total")


class LyingServers(ServedCase):
    def test_lies_never_place_a_bad_file_with_status_zero(self) -> None:
        cut = 1 << 20
        lies = {
            "Content-Range starts early": Reply(DATA, content_range_start=cut - 4096),
            "Content-Range starts late": Reply(DATA, content_range_start=cut + 4096),
            "Content-Length too short": Reply(DATA, content_length=len(DATA) - cut - 100),
            "Content-Length too long": Reply(DATA, content_length=len(DATA)),
            "200 with a shorter entity": Reply(DATA[:-1], honour_range=False, etag='"same"', last_modified=None),
        }
        for name, lie in lies.items():
            with self.subTest(lie=name):
                self.server.route("/pkg", Reply(DATA, close_after=cut, etag='"same"', last_modified=None),
                                  lie if name.startswith("200") else Reply(**{**lie.__dict__, "etag": '"same"', "last_modified": None}),
                                  Reply(DATA, etag='"same"', last_modified=None))
                location = "lied.pkg"
                url = self.server.url("/pkg")
                if os.path.exists(self.box.host(self.box.destination(location))):
                    os.remove(self.box.host(self.box.destination(location)))
                cut_run = self.box.run(url, location, sha256(DATA))
                self.assertEqual(cut_run.status, 1, cut_run.stderr)
                lied = self.box.run(url, location, sha256(DATA))
                self.assertVerifiedOrAbsent(lied, location, DATA)
                if lied.status != 0:
                    self.assertIsNone(self.box.read(self.box.destination(location)))
                honest = self.box.run(url, location, sha256(DATA))
                self.assertEqual(honest.status, 0, honest.stderr)
                self.assertEqual(self.box.read(self.box.destination(location)), DATA)


@unittest.skipUnless(os.geteuid() == 0, "mounting a small file system needs root")
class FullDisks(ServedCase):
    def setUp(self) -> None:
        super().setUp()
        self.server.route("/pkg", Reply(DATA))
        self.url = self.server.url("/pkg")

    def small_disk(self, path: str, size: str) -> None:
        """Mounts a tmpfs of `size` over the sandbox folder `path`."""
        host = self.box.host(path)
        os.makedirs(host, exist_ok=True)
        subprocess.run(["mount", "-t", "tmpfs", "-o", f"size={size},mode=1777", "tmpfs", host], check=True)
        self.addCleanup(subprocess.run, ["umount", "-l", host], check=False)

    def fill(self, path: str) -> None:
        try:
            with open(self.box.host(path), "wb") as filler:
                while True:
                    filler.write(b"\0" * 4096)
                    filler.flush()
        except OSError:
            pass

    def test_full_body_folder(self) -> None:
        self.small_disk("/var/tmp", "2m")
        run = self.box.run(self.url, "a.pkg", sha256(DATA))
        self.assertEqual(run.status, 1)
        self.assertRegex(run.records[-2], r"^Download failed with error: Error Domain=NSURLErrorDomain Code=-3003 ")
        self.assertEqual(run.records[-1], "Not saving resume data")
        self.assertIsNone(self.box.read(self.box.destination("a.pkg")))
        self.assertEqual(self.box.files_under("/var/tmp") + self.box.files_under("/private/tmp"), [])

    def test_full_store(self) -> None:
        self.small_disk(self.box.agent + "/store", "2m")
        run = self.box.run(self.url, "a.pkg", sha256(DATA))
        self.assertEqual(run.status, 1)
        self.assertRegex(run.records[-1], r'^Error moving the file: Error Domain=NSPOSIXErrorDomain Code=28 "No space left on device" ')
        self.assertEqual(self.box.files_under(self.box.agent + "/store"), [])

    def test_full_resume_area(self) -> None:
        self.server.route("/pkg", Reply(DATA, close_after=1 << 20))
        self.small_disk("/private/tmp", "64k")
        self.fill("/private/tmp/filler")
        run = self.box.run(self.url, "a.pkg", sha256(DATA))
        self.assertEqual(run.status, 1)
        self.assertIn("Connection lost, saving resume data", run.records)
        self.assertRegex(run.records[-1], r'^Data write failed with error:Error Domain=NSPOSIXErrorDomain Code=28 ')
        self.assertEqual(self.box.files_under("/private/tmp"), ["filler"])


if __name__ == "__main__":
    unittest.main()
