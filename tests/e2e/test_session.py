"""The download service alone, driven through session_probe against the fault server."""

from __future__ import annotations

import os
import shutil
import subprocess
import tempfile
import unittest

from fault_server import FaultServer, Reply
from sandbox import BUILD_DIR, sha256

PROBE = os.environ.get("QUENBURY_SESSION_PROBE", os.path.join(BUILD_DIR, "tests/session_probe"))
BODY = bytes((i * 17) % 251 for i in range(2 << 20))
CUT = 700_000
# Bound on the probe's resident memory; the sanitizers' shadow memory counts too.
PEAK_KIB = (512 if "ASAN_OPTIONS" in os.environ else 64) << 10


class Service(unittest.TestCase):
    maxDiff = None

    def setUp(self) -> None:
        self.dir = tempfile.mkdtemp(prefix="quenbury-session-")
        self.addCleanup(shutil.rmtree, self.dir, True)
        self.server = FaultServer()
        self.addCleanup(self.server.stop)
        self.resume = os.path.join(self.dir, "resume")

    def probe(self, *args: str, idle_ms: int = 60000) -> dict[str, str]:
        result = subprocess.run([PROBE, "--idle-ms", str(idle_ms), "--temporary", self.dir, "--save-resume", self.resume, *args],
                                capture_output=True, timeout=60, text=True)
        fields = dict(line.split("=", 1) for line in result.stdout.splitlines() if "=" in line)
        fields["exit"] = str(result.returncode)
        return fields

    def bodies(self) -> list[str]:
        return sorted(os.listdir(os.path.join(self.dir, f"quenbury-{os.geteuid()}")))

    def broken(self, *replies: Reply, idle_ms: int = 60000) -> dict[str, str]:
        self.server.route("/f", *replies)
        outcome = self.probe("--url", self.server.url("/f"), idle_ms=idle_ms)
        return outcome

    def test_drop_and_stall_carry_resume_data(self) -> None:
        for name, reply, code in (("drop", Reply(BODY, close_after=CUT), "-1005"),
                                  ("stall", Reply(BODY, stall_after=CUT, stall_seconds=5), "-1001"),
                                  ("empty reply", Reply(raw=b""), "-1005")):
            with self.subTest(name=name):
                outcome = self.broken(reply, idle_ms=500)
                self.assertEqual(outcome["code"], code, outcome)
                if name == "empty reply":
                    self.assertEqual(outcome["resume"], "0")
                else:
                    self.assertNotEqual(outcome["resume"], "0")

    def test_no_resume_data_without_validators_or_ranges(self) -> None:
        for reply in (Reply(BODY, close_after=CUT, etag=None, last_modified=None),
                      Reply(BODY, close_after=CUT, accept_ranges=False)):
            with self.subTest(reply=repr(reply)[:60]):
                outcome = self.broken(reply)
                self.assertEqual((outcome["code"], outcome["resume"]), ("-1005", "0"))
                self.assertEqual(self.bodies(), [])  # A failed body without resume data is removed.

    def resumed(self, second: Reply, first: Reply = None) -> dict[str, str]:
        outcome = self.broken(first or Reply(BODY, close_after=CUT), second)
        self.assertNotEqual(outcome["resume"], "0")
        return self.probe("--resume", self.resume)

    def test_resumed_task_after_each_server_behaviour(self) -> None:
        changed = BODY[::-1]
        cases = [
            ("206 from the cut", Reply(BODY), BODY, f"bytes={CUT}-"),
            ("Range ignored", Reply(BODY, honour_range=False), BODY, f"bytes={CUT}-"),
            ("416", Reply(BODY, status=416), None, f"bytes={CUT}-"),
            ("entity changed", Reply(changed), changed, f"bytes={CUT}-"),
            ("wrong Content-Range start", Reply(BODY, content_range_start=CUT - 100), BODY, f"bytes={CUT}-"),
        ]
        for name, second, expected, range_header in cases:
            with self.subTest(name=name):
                self.server.requests.clear()
                if name == "416":
                    self.server.route("/f", Reply(BODY, close_after=CUT), Reply(BODY, status=416), Reply(BODY))
                    self.probe("--url", self.server.url("/f"))
                    outcome = self.probe("--resume", self.resume)
                    expected = BODY
                else:
                    outcome = self.resumed(second)
                self.assertEqual(outcome.get("sha256"), sha256(expected), outcome)
                self.assertEqual(self.server.requests_for("/f")[1].header("Range"), range_header)
                self.assertIsNotNone(self.server.requests_for("/f")[1].header("If-Range"))

    def test_body_file_missing_short_or_long(self) -> None:
        for change in ("missing", "short", "long"):
            with self.subTest(change=change):
                self.server.requests.clear()
                outcome = self.broken(Reply(BODY, close_after=CUT), Reply(BODY))
                [name] = self.bodies()
                path = os.path.join(self.dir, f"quenbury-{os.geteuid()}", name)
                if change == "missing":
                    os.remove(path)
                elif change == "short":
                    os.truncate(path, CUT // 2)
                else:
                    with open(path, "ab") as body:
                        body.write(b"garbage that must not stay")
                outcome = self.probe("--resume", self.resume)
                self.assertEqual(outcome.get("sha256"), sha256(BODY), outcome)
                expected_range = f"bytes={CUT}-" if change == "long" else None
                self.assertEqual(self.server.requests_for("/f")[1].header("Range"), expected_range)
                self.assertEqual(self.bodies(), [])

    def test_crafted_resume_data_touches_nothing(self) -> None:
        import plistlib
        victim = os.path.join(self.dir, "victim")
        with open(victim, "wb") as file:
            file.write(b"precious")
        good = {"QuenburyResumeVersion": 1, "URL": self.server.url("/f"), "BodyFileName": "body-" + "0" * 64,
                "BytesReceived": 10, "EntityTag": '"x"', "LastModified": ""}
        crafted = [b"", b"not a plist", b"\x00" * 20000]
        for change in ({"BodyFileName": "../victim"}, {"BodyFileName": victim}, {"BodyFileName": "body-a/../../victim"},
                       {"BodyFileName": ".."}, {"URL": "file://" + victim}, {"URL": "ftp://127.0.0.1/x"},
                       {"BytesReceived": 2 ** 63}, {"QuenburyResumeVersion": 99}, {"EntityTag": 'W/"weak"', "LastModified": ""},
                       {"EntityTag": '"x"\r\nX-Injected: 1'}):
            crafted.append(plistlib.dumps({**good, **change}, fmt=plistlib.FMT_BINARY))
        for blob in crafted:
            with self.subTest(blob=blob[:40]):
                with open(self.resume, "wb") as file:
                    file.write(blob)
                outcome = self.probe("--resume", self.resume)
                self.assertIn("Resume data could not be decoded: ", outcome.get("error", ""), outcome)
                self.assertEqual(outcome["exit"], "0")
        self.assertEqual(self.server.requests, [])
        with open(victim, "rb") as file:
            self.assertEqual(file.read(), b"precious")

    def test_hostile_answers_stay_bounded(self) -> None:
        cases = [
            ("endless headers", Reply(endless_headers=True, stall_seconds=20), "-1005", None),
            ("one huge header", Reply(BODY, headers=[("X-Huge", "h" * (1 << 20))]), "-1", None),
            ("body longer than announced", Reply(BODY, content_length=CUT), "0", BODY[:CUT]),
            ("body shorter than announced", Reply(BODY[:CUT], content_length=len(BODY)), "-1005", None),
        ]
        for name, reply, code, body in cases:
            with self.subTest(name=name):
                outcome = self.broken(reply)
                self.assertEqual(outcome["code"], code, outcome)
                if body is not None:
                    self.assertEqual((outcome["size"], outcome["sha256"]), (str(len(body)), sha256(body)))
                # Whatever the server sent, the client kept only what a body may hold, in bounded memory.
                self.assertLessEqual(sum(os.path.getsize(os.path.join(self.dir, f"quenbury-{os.geteuid()}", n)) for n in self.bodies()), CUT)
                self.assertLess(int(outcome["peak_kib"]), PEAK_KIB)

    def test_a_second_run_on_the_same_body_fails_cleanly(self) -> None:
        self.server.route("/f", Reply(BODY, close_after=CUT), Reply(BODY, stall_after=CUT // 2, stall_seconds=3), Reply(BODY))
        self.probe("--url", self.server.url("/f"))
        first = subprocess.Popen([PROBE, "--temporary", self.dir, "--resume", self.resume], stdout=subprocess.PIPE, text=True)
        while len(self.server.requests) < 2:
            pass
        second = self.probe("--resume", self.resume)
        self.assertEqual(second["code"], "-3003", second)
        first.communicate(timeout=30)


if __name__ == "__main__":
    unittest.main()
