# SPDX-License-Identifier: Apache-2.0
"""The run from the command line to a verified file: arguments, the gate, the agent's layout and what servers answer."""

import plistlib

from harness import (
    BODY,
    CANDIDATES,
    FALLBACK,
    FALLBACK_MOVED,
    MISMATCH,
    MOVED,
    PARAMS,
    START,
    SUCCESS,
    VERIFIED,
    Case,
    Reply,
    Step,
    failed,
    row_tests,
    sha256,
)

OLD = b"an older package"
PAGE = b"<html>Not Found</html>"
USAGE = "Arguments are low\nusage: quenbury <url> <download-location> <sha256>"
REFUSED = "Refused download location: it must name a file inside the store directory"
GATE_NO = ["DirectDownloadEnabled key not available in all cases -> false", "Quenbury -> set to false "]
PATCH = "{agent}/data/zkpatch_data.plist"
# Planted by another user where earlier versions kept every body.
OLD_FOLDER = [("dir", "/var/tmp/quenbury-0"), ("owner", "/var/tmp/quenbury-0", 65534)]


def params(url: str, location: str = "a.pkg", checksum: str = "x") -> str:
    return PARAMS.replace("{url}", url).replace("{location}", location).replace("{sum}", checksum)


def gate(patch, lines: list[str]) -> Step:
    """A run refused by the gate, after zkpatch_data.plist is replaced (None removes it)."""
    plant = [("remove", PATCH)] + (
        []
        if patch is None
        else [("file", PATCH, patch if isinstance(patch, bytes) else plistlib.dumps(patch, fmt=plistlib.FMT_BINARY))]
    )
    return Step(0, START[:2] + lines, plant=plant)


Rows = row_tests(
    "Rows",
    [
        Case(
            "progress on a terminal, erased before each record",
            server="nginx",
            url="{origin}/slow/pkg",
            runs=[Step(0, SUCCESS, terminal=True)],
        ),
        Case(
            "fresh download from nginx verifies and leaves nothing behind",
            server="nginx",
            location="Upgrade.14.pkg",
            runs=[Step(0, SUCCESS)],
            after={"{agent}/store": ["Upgrade.14.pkg"], "{agent}/store/.quenbury-partial": "gone", "/private/tmp": []},
        ),
        # Over HTTPS only a certificate of the test authority for the host in the URL verifies.
        Case(
            "HTTPS with a certificate of the trusted authority",
            server="nginx-tls",
            url="https://127.0.0.1:{port_good}/pkg",
            runs=[Step(0, SUCCESS)],
        ),
        *[
            Case(
                f"HTTPS with a certificate {name}",
                server="nginx-tls",
                url=url,
                runs=[
                    Step(
                        1,
                        START
                        + [
                            '~Download failed with error: Error Domain=NSURLErrorDomain Code=-1202 "The certificate for this server is invalid\\." '
                            r"(?!.*ResumeData).*NSUnderlyingError=CURLcode 60: .*\}",
                            "Not saving resume data",
                        ],
                    )
                ],
                after={"{dest}": None, "/private/tmp": [], "/var/tmp": []},
            )
            for name, url in (
                ("that signs itself", "https://127.0.0.1:{port_self}/pkg"),
                ("for another host", "https://localhost:{port_good}/pkg"),
            )
        ],
        Case(
            "checksum in upper case and extra arguments",
            checksum=sha256(BODY).upper(),
            runs=[Step(0, SUCCESS, args=("{url}", "{location}", "{sum}", "ignored", "too"))],
        ),
        Case(
            "already verified file is kept",
            serve={"/pkg": [Reply(b"other")]},
            plant=[("file", "{dest}", BODY), ("file", "{state}", b"kept")],
            runs=[Step(0, START[:3] + ["File already Exists"] + VERIFIED + ["SHA256 checksum validation passed"])],
            after={"{dest}": BODY, "{state}": b"kept"},
            sent=[],
        ),
        Case(
            "old file is replaced",
            plant=[("file", "{dest}", OLD)],
            runs=[
                Step(
                    0,
                    START[:3]
                    + [
                        "File already Exists",
                        f"downloaded file checksum ->{sha256(OLD)}\nGiven checksum ->{{sum}}",
                        MISMATCH[1],
                        "SHA256 checksum validation Failed, hence downloading new file and replacing",
                    ]
                    + START[3:]
                    + MOVED[:1]
                    + ["removing Old File"]
                    + MOVED[1:]
                    + VERIFIED,
                )
            ],
            after={"{dest}": BODY},
        ),
        # Whatever stands at the destination is replaced and never blocks the run.
        *[
            Case(
                f"a {kind} at the destination is replaced",
                plant=[(kind, "{dest}")],
                runs=[
                    Step(
                        0,
                        START[:3]
                        + [
                            "File already Exists",
                            "SHA256 checksum validation Failed, hence downloading new file and replacing",
                        ]
                        + START[3:]
                        + MOVED[:1]
                        + ["removing Old File"]
                        + MOVED[1:]
                        + VERIFIED,
                        stdout="Error reading the file or calculating SHA-256: Error Domain=NSPOSIXErrorDomain "
                        'Code=22 "Invalid argument" UserInfo={NSFilePath={dest}, NSLocalizedDescription=Invalid argument, NSLocalizedFailureReason=read}\n',
                    )
                ],
            )
            for kind in ("fifo", "socket", "device")
        ],
        Case(
            "mismatch removes the file",
            checksum="0" * 64,
            runs=[Step(1, START + MOVED + MISMATCH)],
            after={"{dest}": None},
        ),
        Case(
            "error page is downloaded and rejected",
            serve={"/pkg": [Reply.plain(404, PAGE)]},
            data=PAGE,
            checksum=sha256(BODY),
            runs=[Step(1, START + MOVED + MISMATCH)],
            after={"{dest}": None},
        ),
        Case("empty body verifies", data=b"", runs=[Step(0, SUCCESS)], after={"{dest}": b""}),
        # Whatever the layout, the body grows beside the destination: the move is a rename, and after it the store
        # holds only the package, in the store and in a folder of it.
        *[
            Case(
                f"{where}, {outcome}",
                location=location,
                plant=plant,
                checksum=checksum,
                runs=[Step(status, START + MOVED + checked)],
                after={
                    "{agent}/store": [location] * (status == 0),
                    "{agent}/store/" + location.replace("a.pkg", ".quenbury-partial"): "gone",
                    "/var/tmp": [],
                },
            )
            for where, location, plant in (
                (
                    "temporary folders as mount points of the same disk",
                    "a.pkg",
                    [("bind", "/tmp"), ("bind", "/var/tmp")],
                ),
                ("temporary folder on another volume", "a.pkg", [("mount", "/var/tmp")]),
                ("store on another volume", "a.pkg", [("mount", "{agent}/store")]),
                ("a folder of the store", "sub/a.pkg", [("dir", "{agent}/store/sub")]),
                ("another user's folder at the old body folder name", "a.pkg", [*OLD_FOLDER]),
            )
            for outcome, checksum, status, checked in (
                ("verified", None, 0, VERIFIED),
                ("rejected", "0" * 64, 1, MISMATCH),
            )
        ],
        # No folder is made for the destination: the body goes to a fresh folder of the temporary folder, the move
        # fails, and nothing is left there.
        *[
            Case(
                f"missing store folder{name}",
                plant=[("remove", "{agent}/store"), *plant],
                runs=[
                    Step(
                        1, START + [FALLBACK_MOVED, "~Error moving the file: Error Domain=NSPOSIXErrorDomain Code=2 .*"]
                    )
                ],
                after={"/var/tmp": [], "{agent}/store": "gone"},
            )
            for name, plant in (("", []), (", another user's folder at the old body folder name", OLD_FOLDER))
        ],
        Case(
            "refused connection",
            server="none",
            url="http://127.0.0.1:{closed}/pkg",
            runs=[
                Step(
                    1,
                    START
                    + [
                        'Download failed with error: Error Domain=NSURLErrorDomain Code=-1004 "Could not connect to the server." '
                        "UserInfo={NSErrorFailingURLStringKey={url}, NSLocalizedDescription=Could not connect to the server., "
                        "NSUnderlyingError=CURLcode 7: Couldn't connect to server}",
                        "Not saving resume data",
                    ],
                )
            ],
            after={"/private/tmp": [], "{agent}/store": [], "{agent}/store/.quenbury-partial": "gone"},
        ),
        Case(
            "ftp is not supported",
            server="none",
            url="ftp://127.0.0.1/pkg",
            runs=[Step(1, START + [failed(-1002), "Not saving resume data"])],
        ),
        Case(
            "redirect to a file URL is refused",
            serve={"/pkg": [Reply.plain(302, location="file:///etc/passwd")]},
            runs=[Step(1, START + [failed(-1002), "Not saving resume data"])],
            after={"{dest}": None},
        ),
        Case(
            "redirect loop ends after twenty",
            serve={"/pkg": [Reply.plain(302, location="/pkg")]},
            runs=[Step(1, START + [failed(-1007), "Not saving resume data"])],
            sent=["GET /pkg"] * 21,
        ),
        Case(
            "redirect is followed",
            url="{origin}/old",
            serve={"/old": [Reply.plain(301, location="/new")], "/new": [Reply(BODY)]},
            runs=[Step(0, SUCCESS)],
        ),
        Case(
            "percent in every argument is logged verbatim",
            url="{origin}/a%41 b%s",
            location="100%d.pkg",
            checksum="%s%n",
            serve={"/a%2541%20b%25s": [Reply(BODY)]},
            runs=[Step(1, START + MOVED + MISMATCH)],
            sent=["GET /a%2541%20b%25s"],
        ),
        Case(
            "control characters in every argument are logged verbatim",
            url="{origin}/a\tb\x1b",
            location="x\x1b[2J\x7f.pkg",
            checksum="%n\n2026-01-01 00:00:00.000 quenbury[1:2] forged",
            serve={"/a%09b%1B": [Reply(BODY)]},
            runs=[Step(1, START + MOVED + MISMATCH)],
            after={"{dest}": None},
            sent=["GET /a%09b%1B"],
        ),
        # A tab is not white space here: it is kept, and sent encoded.
        Case(
            "white space around the URL is trimmed",
            url=" \n{origin}/pkg\t \n",
            serve={"/pkg%09": [Reply(BODY)]},
            runs=[Step(0, SUCCESS)],
            sent=["GET /pkg%09"],
        ),
        Case(
            "too few arguments",
            agent=None,
            runs=[Step(1, [USAGE], args=args) for args in ((), ("http://h/x",), ("http://h/x", "a.pkg"))],
        ),
        Case(
            "URLs that do not form",
            agent=None,
            runs=[
                *[
                    Step(1, [params(url), "error in download url"], args=(url, "a.pkg", "x"))
                    for url in ("", " \n ", "no scheme")
                ],
                Step(
                    1,
                    ["~Given param -> 1 http://h/.*", "Error in forming URL via addingPercentEncoding "],
                    args=("http://h/\udcff", "a.pkg", "x"),
                ),
            ],
        ),
        Case(
            "refused locations touch nothing",
            plant=[("dir", "{agent}/store/folder")],
            runs=[
                Step(
                    1,
                    [params("http://h/x", location), f"download location {{agent}}/store/{location}", REFUSED],
                    args=("http://h/x", location, "x"),
                )
                for location in ("../escape.pkg", "folder", "")
            ],
            after={"{agent}/store/folder": "dir", "/private": []},
        ),
        Case(
            "gate refusals end with zero",
            runs=[
                gate(None, ["error in reading plist", GATE_NO[1]]),
                gate({"Quenbury": False}, GATE_NO),
                gate(b"", ["~error in reading plist Error Domain=NSCocoaErrorDomain Code=3840 .*", GATE_NO[1]]),
                Step(0, START[:2] + ["error in reading plist", GATE_NO[1]], plant=[("remove", PATCH), ("fifo", PATCH)]),
            ],  # A FIFO must not block.
            after={"/private": [], "/var/tmp": []},
        ),
        Case(
            "gate says yes from the server information",
            config={
                "zkpatch_data.plist": {},
                "serverinfo.plist": {"DirectDownloadEnabled": "TRUE", "ENABLEDISTRIBUTIONSERVER": "No"},
            },
            runs=[Step(0, START[:2] + ["DirectDownloadEnabled in Cloud and not under DS"] + SUCCESS[3:])],
        ),
        # The first candidate without its service program is passed over.
        Case(
            "agent selection",
            agent=CANDIDATES[1],
            plant=[("dir", CANDIDATES[0] + "/store"), ("file", CANDIDATES[2] + "/bin/zkagentservice", b"")],
            runs=[Step(0, SUCCESS)],
        ),
        Case(
            "fallback without any agent",
            agent=None,
            runs=[
                Step(
                    0,
                    [
                        params("{url}", "a.pkg", "{sum}"),
                        f"download location {FALLBACK}/store/a.pkg",
                        "error in reading plist",
                        GATE_NO[1],
                    ],
                )
            ],
        ),
    ],
)
