# SPDX-License-Identifier: Apache-2.0
"""Transfers that break off and the runs that continue them."""

import contextlib
import glob
import os
import plistlib
import re
import signal
import time

from harness import (
    BODY,
    CUT,
    FALLBACK_MOVED,
    MISMATCH,
    MOVED,
    PARAMS,
    RESUMING,
    START,
    SUCCESS,
    VERIFIED,
    Case,
    Reply,
    Step,
    expand,
    failed,
    lost,
    row_tests,
    sha256,
)

CHANGED = BODY[::-1]
ETAG = Reply(BODY).entity_tag()
BROKEN = Reply(BODY, close_after=CUT)
RESUMED = START + RESUMING + MOVED + VERIFIED
UNUSABLE = START + ["Fetching resume data..for plist {state}", "Error in resume data..."]
RANGED = f"GET /pkg Range: bytes={CUT}- If-Range: {ETAG}"
WEAK = dict(etag='W/"w1"', last_modified=None)
FOLDERS = ["/private/tmp/Library", "/private/tmp/Library/Brindlecote", "/private/tmp/Library/Brindlecote/Ostrel_Agent"]
STORE_ONLY = {"{agent}/store": ["a.pkg"], "{agent}/store/.quenbury-partial": "gone"}
NOTHING_KEPT = {"{agent}/store": [], "{agent}/store/.quenbury-partial": "gone"}
EMPTIED = [("remove", "/tmp"), ("dir", "/tmp"), ("remove", "/var/tmp"), ("dir", "/var/tmp")]
NOT_KEPT = [failed(-1005), "Connection lost, saving resume data", "No resume data generated"]
ERROR_ANSWER = [failed(-1011, resumed=True), "Not saving resume data"]
MIRROR = "{url}?mirror=a"
PLANTED = (
    'Data write failed with error:Error Domain=NSPOSIXErrorDomain Code=1 "Operation not permitted" UserInfo={{NSFilePath='
    "/private/tmp/Library, NSLocalizedDescription=Operation not permitted, NSLocalizedFailureReason={}}}"
)
CRAFTED = plistlib.dumps(
    {
        "QuenburyResumeVersion": 1,
        "URL": "http://127.0.0.1:1/pkg",
        "BodyFileName": "../victim",
        "BytesReceived": 8,
        "EntityTag": '"x"',
    },
    fmt=plistlib.FMT_BINARY,
)
CONFINING = "prctl,landlock_create_ruleset,landlock_add_rule,landlock_restrict_self,seccomp,clone,clone3"
# No new privileges, a Landlock domain and the system-call filter, before any thread is started.
CONFINED = re.compile(
    r"\A(?:(?!clone)[\s\S])*prctl\(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0\) = 0\n"
    r"(?:(?!clone)[\s\S])*landlock_create_ruleset\(NULL, 0, LANDLOCK_CREATE_RULESET_VERSION\) = [1-9]"
    r"(?:(?!clone)[\s\S])*landlock_restrict_self\(\d+, 0\) += 0\n"
    r"(?:(?!clone)[\s\S])*seccomp\(SECCOMP_SET_MODE_FILTER, [^\n]* = 0\n[\s\S]*clone"
)


def confined_then_stopped(pid: int) -> None:
    """Every thread of the running tool has no new privileges and the system-call filter; then SIGTERM."""
    for status in glob.glob(f"/proc/{pid}/task/*/status"):
        with open(status) as file:
            text = file.read()
            assert "NoNewPrivs:\t1\n" in text and "Seccomp:\t2\n" in text, status
    os.kill(pid, signal.SIGTERM)


def killed_once_recorded(received: int):
    """SIGKILL for the running tool once the progress record beside its body counts `received` bytes."""

    def kill(pid: int) -> None:
        deadline = time.monotonic() + 20
        while time.monotonic() < deadline:
            for path in glob.glob(f"/proc/{pid}/root/Library/**/.quenbury-partial/body-*.progress", recursive=True):
                with contextlib.suppress(OSError, plistlib.InvalidFileException), open(path, "rb") as file:
                    if plistlib.load(file)["BytesReceived"] >= received:
                        return os.kill(pid, signal.SIGKILL)
            time.sleep(0.1)
        raise AssertionError(f"no progress record of {received} bytes")

    return kill


def record_of(url: str):
    """A progress record beside the body of the run's URL that names `url` and CUT bytes of the entity."""
    return lambda values: plistlib.dumps(
        {
            "QuenburyResumeVersion": 1,
            "URL": expand(url, values),
            "BodyFileName": os.path.basename(values["body"]),
            "BytesReceived": CUT,
            "EntityTag": ETAG,
            "TotalLength": len(BODY),
            "BodyFolder": os.path.dirname(values["body"]),
        },
        fmt=plistlib.FMT_BINARY,
    )


def two_runs(name: str, second: Reply, sent: list, data: bytes = BODY, first: Reply = BROKEN, **fields) -> Case:
    """A transfer broken off at CUT, then a run that completes it."""
    return Case(
        name,
        data=data,
        serve={"/pkg": [first, second, Reply(data)]},
        runs=[Step(1, START + lost()), Step(0, RESUMED)],
        after={"{dest}": data, "{state}": None, **STORE_ONLY},
        sent=["GET /pkg"] + sent,
        **fields,
    )


def kept(name: str, answer: Reply, second: list, resumed_at: int = CUT) -> Case:
    """A transfer broken off at CUT, an answer to the resumed request that ends the run and keeps the body, then a
    run that continues from `resumed_at`."""
    return Case(
        name,
        serve={"/pkg": [BROKEN, answer, Reply(BODY)]},
        runs=[Step(1, START + lost()), Step(1, START + RESUMING + second), Step(0, RESUMED)],
        after={"{dest}": BODY, "{state}": None, "/var/tmp/quenbury-0": []},
        sent=["GET /pkg", RANGED, f"GET /pkg Range: bytes={resumed_at}- If-Range: {ETAG}"],
    )


Rows = row_tests(
    "Rows",
    [
        # A weak tag is kept but never sent in If-Range; the recorded length and the SHA-256 catch what it cannot tell apart.
        two_runs(
            "a weak tag alone asks the range without If-Range",
            Reply(BODY, **WEAK),
            [f"GET /pkg Range: bytes={CUT}-"],
            first=Reply(BODY, close_after=CUT, **WEAK),
        ),
        Case(
            "a weak tag and a same-length change: the spliced file is refused",
            data=CHANGED,
            serve={"/pkg": [Reply(BODY, close_after=CUT, **WEAK), Reply(CHANGED, **WEAK)]},
            runs=[
                Step(1, START + lost()),
                Step(
                    1,
                    START
                    + RESUMING
                    + MOVED
                    + [
                        f"downloaded file checksum ->{sha256(BODY[:CUT] + CHANGED[CUT:])}\nGiven checksum ->{{sum}}",
                        MISMATCH[1],
                    ],
                ),
                Step(0, SUCCESS),
            ],
            after={"{dest}": CHANGED, "{state}": None},
            sent=["GET /pkg", f"GET /pkg Range: bytes={CUT}-", "GET /pkg"],
        ),
        # Folders and files made for resume state are owner-only (the state holds the URL), and a folder of ours left open is tightened.
        *[
            Case(
                f"resume area under umask {mask:03o}" + (f" with folders left {left:o}" if left else ""),
                serve={"/pkg": [BROKEN]},
                plant=[("dir", "{state_dir}"), ("mode", "/private/tmp/Library", left), ("mode", "{state_dir}", left)]
                if left
                else [],
                runs=[
                    Step(1, START + lost(first=not left), umask=mask),
                    Step(
                        1,
                        START + RESUMING + lost(resumed=True, first=False),
                        umask=mask,
                        plant=[("mode", "{state_dir}", 0o777)],
                    ),
                ],
                after={**dict.fromkeys(FOLDERS + ["{state_dir}"], 0o700), "{state}": 0o600, "{body}.progress": 0o600},
            )
            for mask, left in ((0o000, 0), (0o002, 0), (0o022, 0), (0o077, 0), (0o022, 0o777), (0o022, 0o775))
        ],
        two_runs("two runs continue the transfer", Reply(BODY), [RANGED]),
        Case(
            "a URL sent encoded continues from its resume data",
            url="{origin}/a b",
            serve={"/a%20b": [BROKEN, Reply(BODY)]},
            runs=[Step(1, START + lost()), Step(0, RESUMED)],
            sent=["GET /a%20b", f"GET /a%20b Range: bytes={CUT}- If-Range: {ETAG}"],
        ),
        # The mirror that broke off is not asked again: the given URL is fetched whole.
        Case(
            "resume data for another URL gives a fresh download of the given one",
            serve={"/pkg": [BROKEN, Reply(BODY)]},
            runs=[
                Step(1, [PARAMS.replace("{url}", MIRROR)] + START[1:] + lost(), args=(MIRROR, "{location}", "{sum}")),
                Step(0, UNUSABLE + MOVED + VERIFIED),
            ],
            after={"{dest}": BODY},
            sent=["GET /pkg?mirror=a", "GET /pkg"],
        ),
        # An error answer or a short part to a resumed request keeps every byte received.
        kept("a 503 to the resumed request", Reply.plain(503, b"busy"), ERROR_ANSWER),
        kept("a 404 to the resumed request", Reply.plain(404, b"<html>Not Found</html>"), ERROR_ANSWER),
        kept(
            "a part shorter than the range asked",
            Reply(
                BODY[CUT : 2 * CUT], 206, ETAG, headers=[("Content-Range", f"bytes {CUT}-{2 * CUT - 1}/{len(BODY)}")]
            ),
            lost(resumed=True, first=False),
            2 * CUT,
        ),
        kept(
            "a part without Content-Length ended by a clean close",
            Reply(BODY, content_length=None, close_after=CUT),
            lost(resumed=True, first=False),
            2 * CUT,
        ),
        two_runs("server ignoring Range", Reply(BODY, honour_range=False), [RANGED]),
        two_runs("an interim answer before the part", Reply(BODY, interim=True), [RANGED]),
        two_runs(
            "Content-Range not at the cut takes the whole entity again",
            Reply(BODY, content_range_start=CUT - 100),
            [RANGED, "GET /pkg"],
        ),
        *[
            Case(
                f"body file {name} between runs",
                serve={"/pkg": [BROKEN, Reply(BODY)]},
                runs=[Step(1, START + lost()), Step(0, RESUMED, plant=[change])],
                after={"{dest}": BODY, **STORE_ONLY},
                sent=["GET /pkg", RANGED if name == "grown" else "GET /pkg"],
            )
            for name, change in (
                ("missing", ("remove", "{body}")),
                ("grown", ("append", "{body}", b"garbage that must not stay")),
            )
        ],
        Case(
            "SIGTERM saves resume data and the next run continues",
            serve={"/pkg": [Reply(BODY, stall_after=CUT, stall_seconds=30), Reply(BODY)]},
            runs=[
                Step(1, START + lost(cause="Download interrupted", code=-999), interrupt=signal.SIGTERM),
                Step(0, RESUMED),
            ],
            after={"{dest}": BODY},
            sent=["GET /pkg", RANGED],
        ),
        Case(
            "the running tool is confined, fresh and resumed",
            serve={"/pkg": [Reply(BODY, stall_after=CUT, stall_seconds=30), Reply(BODY)]},
            runs=[
                Step(
                    1,
                    START + lost(cause="Download interrupted", code=-999),
                    interrupt=confined_then_stopped,
                    wrap=("strace", "-f", "-o", "/tmp/fresh.trace", "-e", "trace=" + CONFINING),
                ),
                Step(0, RESUMED, wrap=("strace", "-f", "-o", "/tmp/resumed.trace", "-e", "trace=" + CONFINING)),
            ],
            after={"{dest}": BODY, "/tmp/fresh.trace": CONFINED, "/tmp/resumed.trace": CONFINED},
            sent=["GET /pkg", RANGED],
        ),
        # A kill keeps the progress: the next run continues from the body and reads as a fresh download.
        Case(
            "SIGKILL mid-transfer and the next run continues from the body",
            serve={"/pkg": [Reply(BODY, stall_after=CUT, stall_seconds=30), Reply(BODY)]},
            runs=[Step(128 + signal.SIGKILL, START, interrupt=killed_once_recorded(CUT)), Step(0, SUCCESS)],
            after={"{dest}": BODY, "/private/tmp": [], **STORE_ONLY},
            sent=["GET /pkg", RANGED],
        ),
        # A resumed run that was killed got further than its resume data says.
        Case(
            "SIGKILL of a resumed run and the next continues where the body stands",
            serve={"/pkg": [BROKEN, Reply(BODY, stall_after=CUT, stall_seconds=30), Reply(BODY)]},
            runs=[
                Step(1, START + lost()),
                Step(128 + signal.SIGKILL, START + RESUMING, interrupt=killed_once_recorded(2 * CUT)),
                Step(0, RESUMED),
            ],
            after={"{dest}": BODY, "{state}": None, **STORE_ONLY},
            sent=["GET /pkg", RANGED, f"GET /pkg Range: bytes={2 * CUT}- If-Range: {ETAG}"],
        ),
        *[
            Case(
                f"a progress record beside the body: {name}",
                plant=[("file", "{body}", BODY[:length]), ("file", "/private/tmp/victim", record_of("{encoded}"))]
                + record,
                runs=[Step(0, SUCCESS)],
                after={"{dest}": BODY, "/private/tmp/victim": "file", **STORE_ONLY},
                sent=[request],
            )
            for name, length, record, request in (
                ("this URL's continues", CUT, [("file", "{body}.progress", record_of("{encoded}"))], RANGED),
                ("a longer body is cut back", CUT + 7, [("file", "{body}.progress", record_of("{encoded}"))], RANGED),
                (
                    "another URL's is ignored",
                    CUT,
                    [("file", "{body}.progress", record_of("{encoded}?v=2"))],
                    "GET /pkg",
                ),
                (
                    "a shorter body starts over",
                    CUT - 1,
                    [("file", "{body}.progress", record_of("{encoded}"))],
                    "GET /pkg",
                ),
                ("a link there is not followed", CUT, [("link", "{body}.progress", "/private/tmp/victim")], "GET /pkg"),
                (
                    "another user's is ignored",
                    CUT,
                    [("file", "{body}.progress", record_of("{encoded}")), ("owner", "{body}.progress", 65534)],
                    "GET /pkg",
                ),
            )
        ],
        # NOTE: the idle time-out is a minute, so this case waits that long.
        Case(
            "when the server falls silent the run times out and the next continues",
            serve={"/pkg": [Reply(BODY, stall_after=CUT, stall_seconds=90), Reply(BODY)]},
            runs=[Step(1, START + lost(code=-1001)), Step(0, RESUMED)],
            after={"{dest}": BODY},
            sent=["GET /pkg", RANGED],
        ),
        # The body lies beside its destination: emptied temporary folders cost no byte of it.
        *[
            Case(
                f"resume after /tmp and /var/tmp were emptied, into {where}",
                location=location,
                plant=plant,
                serve={"/pkg": [BROKEN, Reply(BODY)]},
                runs=[Step(1, START + lost()), Step(0, RESUMED, plant=EMPTIED)],
                after={
                    "{agent}/store": [location],
                    "{agent}/store/" + location.replace("a.pkg", ".quenbury-partial"): "gone",
                },
                sent=["GET /pkg", RANGED],
            )
            for where, location, plant in (
                ("the store", "a.pkg", []),
                ("a folder of it", "sub/a.pkg", [("dir", "{agent}/store/sub")]),
            )
        ],
        # Where the destination's folder is missing, the resume data finds the body's fresh folder again.
        Case(
            "resume in the temporary folder while the store folder is missing",
            plant=[("remove", "{agent}/store")],
            serve={"/pkg": [BROKEN, Reply(BODY)]},
            runs=[
                Step(1, START + lost()),
                Step(
                    1,
                    START
                    + RESUMING
                    + [FALLBACK_MOVED, "~Error moving the file: Error Domain=NSPOSIXErrorDomain Code=2 .*"],
                ),
            ],
            after={"/var/tmp": [], "{agent}/store": "gone"},
            sent=["GET /pkg", RANGED],
        ),
        Case(
            "after a reboot both temporary folders are empty",
            serve={"/pkg": [BROKEN, Reply(BODY)]},
            runs=[
                Step(1, START + lost()),
                Step(0, SUCCESS, plant=[("remove", "/var/tmp/quenbury-0"), ("remove", "/private/tmp/Library")]),
            ],
            sent=["GET /pkg", RANGED],
        ),
        Case(
            "a second failure replaces the state",
            serve={"/pkg": [BROKEN, BROKEN, Reply(BODY)]},
            runs=[
                Step(1, START + lost()),
                Step(1, START + RESUMING + lost(resumed=True, first=False)),
                Step(0, RESUMED),
            ],
            after={"{dest}": BODY},
            sent=["GET /pkg", RANGED, f"GET /pkg Range: bytes={2 * CUT}- If-Range: {ETAG}"],
        ),
        # Killed in the rename that replaces the state: the old state stands whole, and the next save clears the
        # leftover. The body's own record, written before, lets that run continue from where the body stands.
        Case(
            "a kill while saving resume data leaves one complete state",
            serve={"/pkg": [BROKEN, BROKEN, Reply(BODY, close_after=CUT // 2)]},
            runs=[
                Step(1, START + lost()),
                Step(
                    128 + signal.SIGKILL,
                    START + RESUMING + lost(resumed=True, first=False)[:-1],
                    wrap=(
                        "strace",
                        "-f",
                        "-o",
                        "/dev/null",
                        "-P",
                        "resume_a_pkg.plist",
                        "-e",
                        "inject=rename,renameat,renameat2:signal=KILL",
                    ),
                ),
                Step(1, START + RESUMING + lost(resumed=True, first=False)),
            ],
            after={"{state_dir}": ["resume_a_pkg.plist"], "{state}": "file"},
            sent=["GET /pkg", RANGED, f"GET /pkg Range: bytes={2 * CUT}- If-Range: {ETAG}"],
        ),
        *[
            Case(
                f"no resume data {name}",
                serve={"/pkg": [reply]},
                runs=[Step(1, START + NOT_KEPT)],
                after={**NOTHING_KEPT, "/private/tmp": []},
            )
            for name, reply in (
                ("without validators", Reply(BODY, close_after=CUT, etag=None, last_modified=None)),
                ("after an empty reply", Reply(raw=b"")),
            )
        ],
        *[
            Case(
                f"unusable resume state gives a fresh download: {name}",
                plant=plant + [("file", "/private/tmp/victim", b"precious")],
                runs=[Step(0, UNUSABLE + MOVED + VERIFIED)],
                after={"{dest}": BODY, "{state}": "any", "/private/tmp/victim": b"precious"},
            )
            for name, plant in (
                ("empty", [("file", "{state}", b"")]),
                ("corrupt", [("file", "{state}", b"bplist00 not really")]),
                ("another user's", [("file", "{state}", b"x"), ("owner", "{state}", 65534)]),
                ("crafted", [("file", "{state}", CRAFTED)]),
                ("a FIFO", [("fifo", "{state}")]),
            )
        ],
        Case(
            "a link at the resume state is replaced, not followed",
            serve={"/pkg": [BROKEN]},
            plant=[("file", "/private/tmp/victim", b"precious"), ("link", "{state}", "/private/tmp/victim")],
            runs=[
                Step(
                    1,
                    UNUSABLE
                    + [
                        failed(-1005, "{saved_size}"),
                        "Connection lost, saving resume data",
                        "Directory is {state_dir}",
                        "Removing resume data already present at: {state}",
                        "Resume data written",
                    ],
                )
            ],
            after={"/private/tmp/victim": b"precious", "{state}": "file"},
        ),
        *[
            Case(
                f"planted resume folder is not written through: {reason}",
                serve={"/pkg": [BROKEN]},
                plant=plant + [("dir", "/private/tmp/elsewhere")],
                runs=[
                    Step(
                        1,
                        START + [failed(-1005, r"\d+"), "Connection lost, saving resume data", PLANTED.format(reason)],
                    )
                ],
                after={"/private/tmp/elsewhere": [], "/private/tmp/Library": [], "{dest}": None},
            )
            for reason, plant in (
                ("a symbolic link", [("link", "/private/tmp/Library", "/private/tmp/elsewhere")]),
                ("owned by another user", [("dir", "/private/tmp/Library"), ("owner", "/private/tmp/Library", 65534)]),
            )
        ],
        Case(
            "endless headers",
            serve={"/pkg": [Reply(endless_headers=True, stall_seconds=20)]},
            runs=[Step(1, START + NOT_KEPT)],
        ),
        Case(
            "one huge header",
            serve={"/pkg": [Reply(BODY, headers=[("X-Huge", "h" * (1 << 20))])]},
            runs=[Step(1, START + [failed(-1), "Not saving resume data"])],
            after=NOTHING_KEPT,
        ),
        Case(
            "body longer than announced is cut at the length",
            data=BODY[:CUT],
            serve={"/pkg": [Reply(BODY, content_length=CUT)]},
            runs=[Step(0, SUCCESS)],
            after={"{dest}": BODY[:CUT]},
        ),
        Case(
            "body shorter than announced",
            serve={"/pkg": [Reply(BODY[:CUT], content_length=len(BODY))]},
            runs=[Step(1, START + lost())],
        ),
    ],
)
