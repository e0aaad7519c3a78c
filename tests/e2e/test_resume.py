# SPDX-License-Identifier: Apache-2.0
"""Transfers that break off and the runs that continue them."""

import plistlib
import signal

from harness import (
    BODY,
    CUT,
    MISMATCH,
    MOVED,
    RESUMING,
    START,
    SUCCESS,
    VERIFIED,
    Case,
    Reply,
    Step,
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
NOT_KEPT = [failed(-1005), "Connection lost, saving resume data", "No resume data generated"]
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


def two_runs(name: str, second: Reply, sent: list, data: bytes = BODY, first: Reply = BROKEN, **fields) -> Case:
    """A transfer broken off at CUT, then a run that completes it."""
    return Case(
        name,
        data=data,
        serve={"/pkg": [first, second, Reply(data)]},
        runs=[Step(1, START + lost()), Step(0, RESUMED)],
        after={"{dest}": data, "{state}": None, "/var/tmp/quenbury-0": []},
        sent=["GET /pkg"] + sent,
        **fields,
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
        # Folders and files made for resume state are never writable by others, and a folder of ours left open is tightened.
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
                after={
                    **dict.fromkeys(FOLDERS, 0o700 if mask == 0o77 else 0o755),
                    "{state_dir}": 0o755,
                    "{state}": 0o600 if mask == 0o77 else 0o644,
                },
            )
            for mask, left in ((0o000, 0), (0o002, 0), (0o022, 0), (0o077, 0), (0o022, 0o777), (0o022, 0o775))
        ],
        two_runs("two runs continue the transfer", Reply(BODY), [RANGED]),
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
                after={"{dest}": BODY, "/var/tmp/quenbury-0": []},
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
        # NOTE: the idle time-out is a minute, so this case waits that long.
        Case(
            "when the server falls silent the run times out and the next continues",
            serve={"/pkg": [Reply(BODY, stall_after=CUT, stall_seconds=90), Reply(BODY)]},
            runs=[Step(1, START + lost(code=-1001)), Step(0, RESUMED)],
            after={"{dest}": BODY},
            sent=["GET /pkg", RANGED],
        ),
        Case(
            "after a reboot both temporary folders are empty",
            serve={"/pkg": [BROKEN, Reply(BODY)]},
            runs=[
                Step(1, START + lost()),
                Step(0, SUCCESS, plant=[("remove", "/var/tmp/quenbury-0"), ("remove", "/private/tmp/Library")]),
            ],
            sent=["GET /pkg", "GET /pkg"],
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
        *[
            Case(
                f"no resume data {name}",
                serve={"/pkg": [reply]},
                runs=[Step(1, START + NOT_KEPT)],
                after={"/var/tmp/quenbury-0": [], "/private/tmp": []},
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
            after={"/var/tmp/quenbury-0": []},
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
