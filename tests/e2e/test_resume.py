"""Transfers that break off and the runs that continue them."""

from __future__ import annotations

import os
import shutil
import signal
import time
import unittest

from fault_server import Reply
from sandbox import Sandbox, sha256, signal_binary
from support import PERMITTED, ServedCase, body_path, checksum_records, moved, naming, parameters

BODY = bytes((i * 31) % 253 for i in range(3 << 20))  # 3 MiB
CUT = 1 << 20
LOCATION = "Upgrade.14.pkg"


class ResumeRoad(ServedCase):
    def setUp(self) -> None:
        super().setUp()
        self.url = self.server.url("/pkg")
        self.destination = self.box.destination(LOCATION)
        self.state = self.box.resume_state(LOCATION)
        self.state_dir = os.path.dirname(self.state)

    def start(self, checksum: str = "") -> list[str]:
        return [parameters(self.url, LOCATION, checksum or sha256(BODY)), f"download location {self.destination}", PERMITTED] + naming(self.destination)

    def lost(self, run, resumed: bool = False, replacing: bool = False, creating: bool = True) -> None:
        self.assertEqual(run.status, 1, run.stderr)
        expected = ["Connection lost, saving resume data"]
        if creating and not (resumed or replacing):
            expected.append(f"Creating directory {self.state_dir}")
        expected.append(f"Directory is {self.state_dir}")
        if replacing:
            expected.append(f"Removing resume data already present at: {self.state}")
        expected.append("Resume data written")
        self.assertEqual(run.records[-len(expected):], expected)
        self.assertRegex(run.records[-len(expected) - 1], r"^Download failed with error: Error Domain=NSURLErrorDomain Code=-1005 .*"
                                     r"NSURLSessionDownloadTaskResumeData=<\d+ bytes>.*\}" + (" $" if resumed else "$"))

    def resumed_start(self, checksum: str = "") -> list[str]:
        size = len(self.box.read(self.state))
        return self.start(checksum) + [f"Fetching resume data..for plist {self.state}", f"The resume Plist size ->{size} bytes"]

    def test_two_runs_continue_the_transfer(self) -> None:
        self.server.route("/pkg", Reply(BODY, close_after=CUT), Reply(BODY))
        first = self.box.run(self.url, LOCATION, sha256(BODY))
        self.assertEqual(first.records[:len(self.start())], self.start())
        self.lost(first)
        self.assertEqual(len(first.records), len(self.start()) + 5)
        self.assertTrue(self.box.read(self.state))

        expected = self.resumed_start() + moved(body_path(self.url), self.destination) + checksum_records(sha256(BODY), sha256(BODY))
        second = self.box.run(self.url, LOCATION, sha256(BODY))
        self.assertRecords(second, expected)
        self.assertEqual(second.status, 0)
        self.assertEqual(self.box.read(self.destination), BODY)
        self.assertIsNone(self.box.read(self.state))
        self.assertEqual(self.box.files_under("/var/tmp/quenbury-0"), [])
        resumed = self.server.requests_for("/pkg")[1]
        self.assertEqual(resumed.header("Range"), f"bytes={CUT}-")
        self.assertEqual(resumed.header("If-Range"), Reply(BODY).entity_tag())

    def test_a_second_failure_replaces_the_state(self) -> None:
        self.server.route("/pkg", Reply(BODY, close_after=CUT), Reply(BODY, close_after=CUT), Reply(BODY))
        self.lost(self.box.run(self.url, LOCATION, sha256(BODY)))
        second = self.box.run(self.url, LOCATION, sha256(BODY))
        self.assertEqual(second.records[:len(self.resumed_start())], self.resumed_start())
        self.lost(second, resumed=True, replacing=True)
        third = self.box.run(self.url, LOCATION, sha256(BODY))
        self.assertEqual(third.status, 0, third.stderr)
        self.assertEqual(self.box.read(self.destination), BODY)
        ranges = [r.header("Range") for r in self.server.requests_for("/pkg")]
        self.assertEqual(ranges, [None, f"bytes={CUT}-", f"bytes={2 * CUT}-"])

    def test_entity_changed_between_runs(self) -> None:
        changed = BODY[::-1]
        self.server.route("/pkg", Reply(BODY, close_after=CUT), Reply(changed))
        self.lost(self.box.run(self.url, LOCATION, sha256(changed)))
        run = self.box.run(self.url, LOCATION, sha256(changed))
        self.assertEqual(run.status, 0, run.stderr)
        self.assertEqual(self.box.read(self.destination), changed)
        self.assertEqual(self.server.requests_for("/pkg")[1].header("If-Range"), Reply(BODY).entity_tag())

    def test_server_ignoring_range(self) -> None:
        self.server.route("/pkg", Reply(BODY, close_after=CUT), Reply(BODY, honour_range=False))
        self.lost(self.box.run(self.url, LOCATION, sha256(BODY)))
        run = self.box.run(self.url, LOCATION, sha256(BODY))
        self.assertEqual(run.status, 0, run.stderr)
        self.assertEqual(self.box.read(self.destination), BODY)

    def test_temporary_folders_wiped_between_runs(self) -> None:
        self.server.route("/pkg", Reply(BODY, close_after=CUT))
        self.lost(self.box.run(self.url, LOCATION, sha256(BODY)))
        shutil.rmtree(self.box.host("/var/tmp/quenbury-0"))
        self.server.route("/pkg", Reply(BODY))
        run = self.box.run(self.url, LOCATION, sha256(BODY))
        self.assertEqual(run.status, 0, run.stderr)
        self.assertEqual(self.box.read(self.destination), BODY)
        self.assertIsNone(self.server.requests_for("/pkg")[0].header("Range"))
        # After a reboot /private/tmp is empty too: a fresh download.
        self.server.route("/pkg", Reply(BODY, close_after=CUT), Reply(BODY))
        os.remove(self.box.host(self.destination))
        self.lost(self.box.run(self.url, LOCATION, sha256(BODY)), creating=False)
        shutil.rmtree(self.box.host("/private/tmp/Library"))
        run = self.box.run(self.url, LOCATION, sha256(BODY))
        self.assertRecords(run, self.start() + moved(body_path(self.url), self.destination) + checksum_records(sha256(BODY), sha256(BODY)))

    def test_unusable_resume_state_gives_a_fresh_download(self) -> None:
        self.server.route("/pkg", Reply(BODY))
        elsewhere = "/private/tmp/valid-looking"
        cases = {"empty": b"", "corrupt": b"bplist00 not really", "foreign": None, "link": None, "fifo": None}
        for name in cases:
            with self.subTest(name=name):
                for path in (self.destination, self.state):
                    if os.path.lexists(self.box.host(path)):
                        os.remove(self.box.host(path))
                if name == "link":
                    self.box.write(elsewhere, b"data")
                    os.makedirs(self.box.host(self.state_dir), exist_ok=True)
                    os.symlink(elsewhere, self.box.host(self.state))
                elif name == "fifo":
                    os.mkfifo(self.box.host(self.state))
                else:
                    self.box.write(self.state, cases[name] if cases[name] is not None else b"x")
                    if name == "foreign":
                        os.chown(self.box.host(self.state), 65534, 65534)
                run = self.box.run(self.url, LOCATION, sha256(BODY))
                self.assertRecords(run, self.start() + [f"Fetching resume data..for plist {self.state}", "Error in resume data..."]
                                   + moved(body_path(self.url), self.destination) + checksum_records(sha256(BODY), sha256(BODY)))
                self.assertEqual(run.status, 0)
                self.assertTrue(os.path.lexists(self.box.host(self.state)))
        self.assertEqual(self.box.read(elsewhere), b"data")

    def test_planted_resume_folder_is_not_written_through(self) -> None:
        self.server.route("/pkg", Reply(BODY, close_after=CUT))
        elsewhere = "/private/tmp/elsewhere"
        for name, reason in (("link", "a symbolic link"), ("foreign", "owned by another user")):
            with self.subTest(name=name):
                shutil.rmtree(self.box.host("/private/tmp"))
                os.makedirs(self.box.host(elsewhere))
                os.chmod(self.box.host("/private/tmp"), 0o1777)
                if name == "link":
                    os.symlink(elsewhere, self.box.host("/private/tmp/Library"))
                else:
                    os.makedirs(self.box.host("/private/tmp/Library"))
                    os.chown(self.box.host("/private/tmp/Library"), 65534, 65534)
                run = self.box.run(self.url, LOCATION, sha256(BODY))
                self.assertEqual(run.status, 1)
                self.assertEqual(run.records[-2:], [
                    "Connection lost, saving resume data",
                    'Data write failed with error:Error Domain=NSPOSIXErrorDomain Code=1 "Operation not permitted" '
                    f"UserInfo={{NSFilePath=/private/tmp/Library, NSLocalizedDescription=Operation not permitted, NSLocalizedFailureReason={reason}}}"])
                self.assertEqual(self.box.files_under(elsewhere) + self.box.files_under("/private/tmp/Library"), [])
                self.assertIsNone(self.box.read(self.destination))

    def test_any_umask_keeps_the_resume_area_closed(self) -> None:
        """Folders and files made for resume state are never writable by
        others, and a folder of ours left open is tightened, not refused."""
        rows = ((0o000, None), (0o002, None), (0o022, None), (0o077, None), (0o022, 0o777), (0o022, 0o775))
        for mask, left_open in rows:
            with self.subTest(umask=oct(mask), left_open=left_open):
                shutil.rmtree(self.box.host("/private/tmp/Library"), ignore_errors=True)
                shutil.rmtree(self.box.host(os.path.dirname(self.destination)))
                os.makedirs(self.box.host(os.path.dirname(self.destination)))
                if left_open is not None:
                    os.makedirs(self.box.host(self.state_dir))
                    os.chmod(self.box.host("/private/tmp/Library"), left_open)
                    os.chmod(self.box.host(self.state_dir), left_open)
                self.box.umask = mask
                self.server.route("/pkg", Reply(BODY, close_after=CUT), Reply(BODY))
                self.lost(self.box.run(self.url, LOCATION, sha256(BODY)), creating=left_open is None)
                folder, modes = self.state_dir, []
                while folder != "/private/tmp":
                    modes.append(os.stat(self.box.host(folder)).st_mode & 0o777)
                    folder = os.path.dirname(folder)
                modes.append(os.stat(self.box.host(self.state)).st_mode & 0o777)
                self.assertEqual([m & 0o022 for m in modes], [0] * len(modes), [oct(m) for m in modes])
                # Opened again between runs: the next run still continues.
                os.chmod(self.box.host(self.state_dir), 0o777)
                fetched = self.resumed_start()[-2:]
                run = self.box.run(self.url, LOCATION, sha256(BODY))
                self.assertEqual(run.records[len(self.start()):len(self.start()) + 2], fetched, run.stderr)
                self.assertEqual(run.status, 0, run.stderr)
                self.assertEqual(os.stat(self.box.host(self.state_dir)).st_mode & 0o777, 0o755)

    def test_weak_entity_tags(self) -> None:
        """A weak tag keeps resume data but is never sent in If-Range; the
        recorded length and the SHA-256 catch what it cannot tell apart."""
        longer, spliced = BODY + b"tail", BODY[::-1]
        weak = dict(etag='W/"w1"', last_modified=None)
        rows = (  # name, second reply, expected file, If-Range sent, ranges asked, status, then a third run
            ("weak tag alone", Reply(BODY, **weak), BODY, None, [None, f"bytes={CUT}-"], 0),
            ("weak tag and a date", Reply(BODY, etag='W/"w1"'), BODY, Reply(BODY).modified(), [None, f"bytes={CUT}-"], 0),
            ("length changed", Reply(longer, **weak), longer, None, [None, f"bytes={CUT}-", None], 0),
            ("same length changed", Reply(spliced, **weak), spliced, None, [None, f"bytes={CUT}-"], 1),
        )
        for name, second, expected, if_range, ranges, status in rows:
            with self.subTest(name=name):
                if os.path.exists(self.box.host(self.destination)):
                    os.remove(self.box.host(self.destination))
                first = Reply(BODY, close_after=CUT, etag=second.etag, last_modified=second.last_modified)
                self.server.route("/pkg", first, second)
                self.lost(self.box.run(self.url, LOCATION, sha256(expected)), creating=name == rows[0][0])
                run = self.box.run(self.url, LOCATION, sha256(expected))
                self.assertEqual(run.status, status, run.stderr)
                requests = self.server.requests_for("/pkg")
                self.assertEqual([r.header("Range") for r in requests][-len(ranges):], ranges)
                self.assertEqual(requests[-len(ranges) + 1].header("If-Range"), if_range)
                self.assertIsNone(self.box.read(self.state))
                if status == 1:
                    # The spliced file was refused; the next run starts afresh.
                    self.assertIsNone(self.box.read(self.destination))
                    self.assertEqual(run.records[-1], "SHA256 checksum validation failed NSComparisonResult")
                    run = self.box.run(self.url, LOCATION, sha256(expected))
                    self.assertEqual((run.status, self.server.requests_for("/pkg")[-1].header("Range")), (0, None))
                self.assertEqual(self.box.read(self.destination), expected)

    def test_sigterm_saves_resume_data_and_the_next_run_continues(self) -> None:
        self.server.route("/pkg", Reply(BODY, stall_after=CUT, stall_seconds=30), Reply(BODY))
        process = self.box.start(self.url, LOCATION, sha256(BODY))
        deadline = time.monotonic() + 10
        body = self.box.host(body_path(self.url))
        while time.monotonic() < deadline and (not os.path.exists(body) or os.path.getsize(body) < CUT):
            time.sleep(0.05)
        signal_binary(process, signal.SIGTERM)
        first = Sandbox.finish(process)
        self.assertEqual(first.status, 1, first.stderr)
        self.assertRegex(first.records[-5], r"^Download failed with error: Error Domain=NSURLErrorDomain Code=-999 ")
        self.assertEqual(first.records[-4], "Download interrupted, saving resume data")
        self.assertEqual(first.records[-1], "Resume data written")
        run = self.box.run(self.url, LOCATION, sha256(BODY))
        self.assertEqual(run.status, 0, run.stderr)
        self.assertEqual(self.box.read(self.destination), BODY)
        self.assertEqual(self.server.requests_for("/pkg")[1].header("Range"), f"bytes={CUT}-")


if __name__ == "__main__":
    unittest.main()
