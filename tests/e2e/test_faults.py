# SPDX-License-Identifier: Apache-2.0
"""Full disks, servers that lie, file-system calls that fail, runs killed at random moments and runs that race each
other."""

import contextlib
import os
import random
import signal
import time
import unittest

from harness.expected import BAD_PART, BAD_SPLICE, BODY_NOT_WRITTEN, BROKE_PROTOCOL, COPY_FAILED, FILE_STAYS, FORGED
from harness.expected import LOST_AGAIN, LOST_MAKING_FOLDER, MOVED, MOVE_FAILED, NOTHING_LEFT, OLD, OLD_REPLACED
from harness.expected import OVER_OLD, REJECTED, RESUMED, RESUMED_REJECTED, RESUMING, SAVING_AGAIN, START
from harness.expected import STATE_NOT_WRITTEN, STATE_STAYS, SUCCESS, WRITE_FAILED, denied, lost
from harness.fault_server import FaultServer, Reply
from harness.real_servers import Nginx
from harness.rows import BODY, CUT, Case, Step, row_tests
from harness.sandbox import BUILD_DIR, Sandbox, binary_pid, finish, sha256, wait_for

SAME = dict(etag='"same"', last_modified=None)
CHUNKED = b"HTTP/1.1 200 OK\r\nContent-Length: 99\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n0\r\n\r\n"
# A volume of 6 MiB that keeps half its blocks for root: the 3 MiB body fits only into root's share.
SMALL_VOLUME = ("ext4", "{agent}/store/sub", 6 << 20)
# A receiver taken over (tests/receiver/CompromisedReceiver.cpp): what it is made to do after it confined itself.
COMPROMISED = os.path.join(BUILD_DIR, "tests/libquenbury_compromised_receiver.so")
# Whatever it tried to make: none of it is there.
UNTOUCHED = {"{agent}/store": ["a.pkg"], "/private/tmp": [], "/tmp": [], "{dest}": BODY}


def ranged(start: int) -> str:
    return f'GET /pkg Range: bytes={start}- If-Range: "same"'


def taken_over(mode: str, runs: list, after: dict, **fields) -> Case:
    """Runs whose receiver is taken over as `mode` says."""
    # Under AddressSanitizer its runtime is no longer the first library loaded, which it then accepts.
    sanitizer = os.environ.get("ASAN_OPTIONS", "") + ":verify_asan_link_order=0"
    env = {"LD_PRELOAD": COMPROMISED, "QUENBURY_TEST_RECEIVER": mode, "ASAN_OPTIONS": sanitizer}
    return Case(f"a receiver taken over: {mode}", runs, env=env, after=after, **fields)


def lie(name: str, sent: list, second: list = LOST_AGAIN, third: list = RESUMED, data: bytes = BODY, **lying) -> Case:
    """A transfer cut at CUT, an answer to the resumed request that lies as `lying` says, then honest answers;
    `sent`: what the third run asks."""
    return Case(
        "a lie to the resumed request: " + name,
        serve={"/pkg": [Reply(BODY, close_after=CUT, **SAME), Reply(data, **SAME, **lying), Reply(BODY, **SAME)]},
        runs=[Step(1, START + lost()), Step(1, START + RESUMING + second), Step(0, third)],
        after={"{dest}": BODY},
        sent=["GET /pkg", ranged(CUT)] + sent,
    )


Rows = row_tests(
    "Rows",
    [
        # The part ends cleanly short of the Content-Range total: what came is kept, the rest asked next time.
        lie("a Content-Length short of the rest", [ranged(len(BODY) - 100)], content_length=len(BODY) - CUT - 100),
        lie("a 200 with a shorter entity, same tag", ["GET /pkg"], BAD_SPLICE, SUCCESS, BODY[:-1], honour_range=False),
        # The part came whole though its length said more: the third run asks from the end, and the 416 for exactly
        # that length confirms the body it holds.
        lie("a Content-Length beyond the rest", [ranged(len(BODY))], content_length=len(BODY)),
        Case(
            "chunks, not a Content-Length beside them, end the body",
            data=b"hello",
            serve={"/pkg": [Reply(raw=CHUNKED)]},
            runs=[Step(0, SUCCESS)],
        ),
        # The body grows in the store: a full store fails its writes, and as root the body never takes the blocks
        # that its volume keeps for root.
        *[
            Case(name, plant=[volume], runs=[Step(1, BODY_NOT_WRITTEN)], after=NOTHING_LEFT)
            for name, volume in (
                ("a full store fails the body's write and leaves nothing", ("tmpfs", "{agent}/store", "2m")),
                ("a store whose free space is root's reserve fails alike", ("ext4", "{agent}/store", 5 << 20)),
            )
        ],
        # A body that waited in the temporary folder (its store folder was missing) is copied to its store folder on
        # another volume: the copy, too, stops where the space for ordinary users ends.
        Case(
            "a copy from the temporary folder never takes root's reserve",
            location="sub/a.pkg",
            serve={"/pkg": [Reply(BODY, close_after=CUT), Reply(BODY)]},
            runs=[Step(1, START + lost()), Step(1, START + RESUMING + COPY_FAILED, plant=[SMALL_VOLUME])],
            after={"{agent}/store/sub": [], "{dest}": "gone"},
        ),
        # Confined, it can write nothing, signal or trace no one, gain nothing and run nothing: the run verifies. The
        # resumed run has a resume folder to write in.
        taken_over(
            "attack",
            [Step(1, START + lost()), Step(0, RESUMED)],
            UNTOUCHED,
            serve={"/pkg": [Reply(BODY, close_after=CUT), Reply(BODY)]},
        ),
        # The root process checks what it wrote, not what the receiver says.
        taken_over("forge", [Step(1, START + MOVED + FORGED)], NOTHING_LEFT),
        # Any packet that is not one well-formed message fails the run as a bad server response.
        *[
            taken_over(mode, [Step(1, START + [BROKE_PROTOCOL % reason, "Not saving resume data"])], NOTHING_LEFT)
            for mode, reason in (
                ("malformed", "Malformed message: unknown type 90"),
                ("oversized", "An oversized message"),
                ("headless", "An end without a header"),
                ("unsent", "A piece whose bytes were not sent"),
            )
        ],
        # More body than the resumed response holds: the body keeps the entity and nothing past it.
        taken_over(
            "overrun",
            [Step(1, START + lost()), Step(1, BAD_PART)],
            {"{kept_body}": BODY, "{state}": "file"},
            serve={"/pkg": [Reply(BODY, close_after=CUT, **SAME), Reply(BODY, **SAME)]},
            sent=["GET /pkg", ranged(CUT)],
        ),
        Case(
            "a full resume area fails the state's write",
            serve={"/pkg": [Reply(BODY, close_after=CUT)]},
            plant=[("tmpfs", "/private/tmp", "64k"), ("fill", "/private/tmp/filler")],
            runs=[Step(1, STATE_NOT_WRITTEN)],
            after={"/private/tmp": ["filler"]},
        ),
    ],
)


# Failures of the file system where they show: one system call of the real binary, chosen by strace, fails with EACCES;
# each row gives what the run logs and what it leaves.
def injected(call: str, path: str) -> tuple:
    """strace, making every `call` that names `path` (as the call writes it, or by a folder's descriptor) fail with
    EACCES."""
    return ("strace", "-f", "-o", "/dev/null", "-P", path, "-e", f"inject={call}:error=EACCES")


def failing(name: str, call: str, path: str, records: list, after: dict, status=1, resumed=False, then=(), **fields):
    """A run in which `call` on `path` fails (see injected); `resumed`: it continues a run broken off at CUT; `then`:
    the runs after it."""
    if resumed:
        fields.setdefault("serve", {"/pkg": [Reply(BODY, close_after=CUT), Reply(BODY)]})
    runs = [Step(1, START + lost())] * resumed + [Step(status, records, wrap=injected(call, path)), *then]
    return Case(name, runs, after=after, **fields)


Injected = row_tests(
    "Injected",
    [
        # The body takes the old file's place in one rename: a move that fails leaves the old file and the body,
        # and the next run places the body, having asked the server for no byte it already had.
        failing(
            "a move that fails keeps the old file and the body for the next run",
            "renameat",
            "a.pkg",
            OVER_OLD + [MOVE_FAILED + denied("{dest}", "rename")],
            {"{agent}/store": ["a.pkg"], "{dest}": BODY},
            then=[Step(0, OVER_OLD + OLD_REPLACED)],
            plant=[("file", "{dest}", OLD)],
            sent=["GET /pkg", f"GET /pkg Range: bytes={len(BODY)}- If-Range: {Reply(BODY).entity_tag()}"],
        ),
        failing(
            "a resumed match stands though its state cannot be removed",
            "unlinkat",
            "resume_a_pkg.plist",
            RESUMED + [STATE_STAYS + denied("{state}", "unlink")],
            {"{agent}/store": ["a.pkg"], "{state}": "file"},
            status=0,
            resumed=True,
        ),
        failing(
            "a fresh mismatch that cannot be removed stays",
            "unlinkat",
            "a.pkg",
            REJECTED + [FILE_STAYS + denied("{dest}", "unlink")],
            {"{agent}/store": ["a.pkg"]},
            checksum="0" * 64,
        ),
        failing(
            "a resumed mismatch goes though its state cannot",
            "unlinkat",
            "resume_a_pkg.plist",
            RESUMED_REJECTED + [STATE_STAYS + denied("{state}", "unlink")],
            {"{agent}/store": [], "{state}": "file"},
            checksum="0" * 64,
            resumed=True,
        ),
        failing(
            "a resumed mismatch that cannot be removed stays, and its state goes",
            "unlinkat",
            "a.pkg",
            RESUMED_REJECTED + [STATE_STAYS + denied("{dest}", "unlink")],
            {"{agent}/store": ["a.pkg"], "/private/tmp": []},
            checksum="0" * 64,
            resumed=True,
        ),
        # strace knows the resume area's first mkdirat, of "Library", by the descriptor of /private/tmp it is made in;
        # the bare name would also match the agent's /Library. The record beside the body lets the next run continue.
        failing(
            "a resume folder that cannot be made keeps the body for the next run",
            "mkdirat",
            "/private/tmp",
            START + LOST_MAKING_FOLDER + [WRITE_FAILED + denied("/private/tmp/Library", "mkdir")],
            {"{agent}/store": ["a.pkg"]},
            serve={"/pkg": [Reply(BODY, close_after=CUT, **SAME), Reply(BODY, **SAME)]},
            then=[Step(0, SUCCESS)],
            sent=["GET /pkg", ranged(CUT)],
        ),
        failing(
            "a state that cannot be replaced stays, and no temporary file is left",
            "renameat",
            "resume_a_pkg.plist",
            SAVING_AGAIN + [WRITE_FAILED + denied("{state}", "rename")],
            {"{state_dir}": ["resume_a_pkg.plist"]},
            serve={"/pkg": [Reply(BODY, close_after=CUT)]},
            resumed=True,
        ),
    ],
)


class Races(unittest.TestCase):
    def setUp(self) -> None:
        self.box, self.nginx = Sandbox(), Nginx(rate="6m")
        self.addCleanup(self.box.close)
        self.addCleanup(self.nginx.close)
        self.box.install_agent()
        self.url = self.nginx.publish("big.pkg", BODY).replace("/big", "/slow/big")

    def run_to_the_end(self, url: str) -> None:
        run = self.box.run(url, "big.pkg", sha256(BODY))
        self.assertEqual((run.status, self.box.read(self.box.destination("big.pkg"))), (0, BODY), run.stderr)

    def test_killed_at_random_moments_then_run_to_the_end(self) -> None:
        seed = int(os.environ.get("QUENBURY_TORTURE_SEED", str(int(time.time()))))
        chance = random.Random(seed)
        for iteration in range(int(os.environ.get("QUENBURY_TORTURE_RUNS", "16"))):
            with self.subTest(iteration=iteration, seed=seed):
                process = self.box.start(self.url, "big.pkg", sha256(BODY))
                time.sleep(chance.uniform(0, 0.6))
                if pid := binary_pid(process):
                    os.kill(pid, signal.SIGTERM if chance.random() < 0.25 else signal.SIGKILL)
                if finish(process).status == 0:
                    # A run that ends 0 has the verified file in place; it goes, so that the next run downloads again.
                    self.assertEqual(self.box.read(self.box.destination("big.pkg")), BODY)
                    os.remove(self.box.host(self.box.destination("big.pkg")))
                held = sum(
                    len(self.box.read(top + "/" + name))
                    for top in (os.path.dirname(self.box.destination("big.pkg")), "/var/tmp", "/private/tmp")
                    for name in self.box.files_under(top)
                )
                self.assertLessEqual(held, len(BODY) + (64 << 10))
        self.run_to_the_end(self.url)

    def test_every_thread_keeps_one_capability_while_it_transfers(self) -> None:
        # The main thread confines itself before it starts the service's, so a second thread means a confined run:
        # every thread without new privileges, filtered, and of root's capabilities keeping CAP_DAC_OVERRIDE alone.
        if os.geteuid():
            self.skipTest("needs root")
        process = self.box.start(self.url, "big.pkg", sha256(BODY))
        self.addCleanup(finish, process)
        self.addCleanup(process.kill)
        pid = binary_pid(process)
        self.assertIsNotNone(pid)
        tasks = wait_for(lambda: len(threads := os.listdir(f"/proc/{pid}/task")) > 1 and threads, "a second thread")
        wanted = {"NoNewPrivs": "1", "Seccomp": "2", "CapInh": "0" * 16, "CapPrm": "0" * 15 + "2"}
        wanted |= {"CapEff": "0" * 15 + "2", "CapBnd": "0" * 16, "CapAmb": "0" * 16}
        for task in tasks:
            with contextlib.suppress(FileNotFoundError), open(f"/proc/{pid}/task/{task}/status") as status:
                fields = dict(line.rstrip("\n").split(":\t", 1) for line in status if ":\t" in line)
                self.assertEqual({key: fields[key].strip() for key in wanted}, wanted, task)

    def test_two_runs_for_one_destination_at_once(self) -> None:
        # The body named after the URL is held by one run; the other writes a body of its own, and neither fails.
        runs = [finish(p) for p in [self.box.start(self.url, "big.pkg", sha256(BODY)) for _ in range(2)]]
        self.assertEqual([run.status for run in runs], [0, 0], [run.stderr for run in runs])
        self.assertEqual(self.box.files_under(self.box.agent + "/store"), ["big.pkg"])
        self.run_to_the_end(self.url)

    def test_a_run_continuing_a_body_another_run_writes_fails_cleanly(self) -> None:
        server = FaultServer()
        self.addCleanup(server.close)
        server.route(
            "/pkg", Reply(BODY, close_after=CUT), Reply(BODY, stall_after=CUT // 2, stall_seconds=3), Reply(BODY)
        )
        url = server.url("/pkg")
        self.assertEqual(self.box.run(url, "big.pkg", sha256(BODY)).status, 1)
        first = self.box.start(url, "big.pkg", sha256(BODY))
        wait_for(lambda: len(server.requests) == 2 or first.poll() is not None, "second request")
        second = self.box.run(url, "big.pkg", sha256(BODY))
        self.assertEqual((second.status, second.records[-1]), (1, "Not saving resume data"), second.stderr)
        self.assertRegex(second.records[-2], r" Code=-3003 .*The body is being written by another run: ")
        self.assertEqual(finish(first).status, 1)
        self.run_to_the_end(url)
