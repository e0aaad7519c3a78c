# SPDX-License-Identifier: Apache-2.0
"""The run from the command line to a verified file: arguments, the gate, the agent's layout and what servers answer."""

import os
import plistlib

from harness.expected import ASKED, BESIDE_TAKEN, CERTIFICATE_REFUSED, CONNECTION_REFUSED, ENABLED, FALLBACK_MOVED
from harness.expected import FETCHED, IN_CLOUD, IN_PATCH, KEPT, LANDED, NAMING, NO, NOT_A_FILE, NOT_ENCODED, NOT_OURS
from harness.expected import NOT_PARSED, NOT_READ, NOT_SAVED, NO_AGENT, NO_STORE, NO_URL, OLD, OLD_CHECKED, PARAMS
from harness.expected import REFUSED, REJECTED, SET_FALSE, START, SUCCESS, UNSUPPORTED, USAGE, failed, replaced
from harness.fault_server import Reply
from harness.real_servers import DAY
from harness.rows import BODY, Case, Step, row_tests
from harness.sandbox import CANDIDATES, sha256

PAGE = b"<html>Not Found</html>"
# Configurations as written in text, and a binary list whose DirectDownloadEnabled is "true" and U+0000 in UTF-16
# (then its offsets and trailer): text with a NUL inside is not "true", and reading it must not abort.
AN_ARRAY = plistlib.dumps(["a"])
TEXT_IN_ANY_CASE = plistlib.dumps({"Quenbury": False, "DirectDownloadEnabled": "True"})
WITH_NUL = b"bplist00\xd1\x01\x02_\x10\x15DirectDownloadEnabled\x65" + "true\0".encode("utf-16-be")
WITH_NUL += b"\x08\x0b#" + bytes(6) + b"\x01\x01" + (3).to_bytes(8, "big") + bytes(8) + (46).to_bytes(8, "big")
# A folder of the store that every user may write, as a shared one is (sticky), and a root-only file elsewhere.
SHARED = [("dir", "{agent}/store/shared"), ("mode", "{agent}/store/shared", 0o1777)]
SECRET = [("file", "/private/secret", b"root's own"), ("mode", "/private/secret", 0o600)]
NOBODY = 65534
# A folder of the store that belongs to another user and their group (root in neither), writable by the group alone.
THEIRS = [
    ("dir", "{agent}/store/theirs"),
    ("owner", "{agent}/store/theirs", NOBODY),
    ("mode", "{agent}/store/theirs", 0o770),
]
# An administrator moved a folder of the store to another volume and left a link in its place.
LINKED_STORE = [("mount", "/data"), ("dir", "/data/big"), ("link", "{agent}/store/big", "/data/big")]
TAKEN, MADE = "{agent}/store/shared/.quenbury-partial", "{agent}/store/shared/.quenbury-partial-AAAAAA"
TAKEN_BY_NOBODY = ("owner", TAKEN, NOBODY)
NOT_UTF8 = Step(1, NOT_ENCODED, args=("http://h/\udcff", "a.pkg", "x"))
# A checksum that forges a record of its own when logged.
FORGING = "%n\n2026-01-01 00:00:00.000 quenbury[1:2] forged"


def admins(folder: str) -> list:
    """An administrator's folder at `folder`, readable by all, holding a file named as a body, untouched for a week."""
    return [
        ("dir", folder),
        ("mode", folder, 0o755),
        ("file", folder + "/body-old", b"x"),
        ("age", folder + "/body-old", 8 * DAY),
    ]


def refused(url: str, location: str, *lines: str) -> Step:
    """A run with checksum x that ends with 1 before any transfer."""
    return Step(1, [PARAMS.format(url=url, location=location, sum="x"), *lines], args=(url, location, "x"))


def left(status: int, location: str = "a.pkg") -> dict:
    """What a run with that status leaves: the package alone, or nothing; no body folder, state or temporary file."""
    partial = os.path.join("{agent}/store", os.path.dirname(location), ".quenbury-partial")
    return {"{agent}/store": [location] * (status == 0), partial: "gone", "/private/tmp": [], "/var/tmp": []}


def one_run(name: str, status: int, lines: list[str], **fields) -> Case:
    """A case of one run with the default arguments."""
    return Case(name, runs=[Step(status, lines)], **fields)


def checked_against(name: str, given: str) -> Case:
    """The package downloaded and checked against `given`, which is not its digest: rejected, and nothing left."""
    lines = [line.replace("{sum}", given) for line in REJECTED]
    step = Step(1, lines, args=("{url}", "{location}", given))
    return Case(f"a checksum with {name} is rejected", [step], after=left(1))


def cloud(enabled: str, distribution: str) -> dict:
    """Server information with DirectDownloadEnabled and ENABLEDISTRIBUTIONSERVER."""
    return {"DirectDownloadEnabled": enabled, "ENABLEDISTRIBUTIONSERVER": distribution}


def gate(name: str, line: str, patch: object = None, server: object = None, plant: tuple = ()) -> Case:
    """The gate asked with `patch` as zkpatch_data.plist and `server` as serverinfo.plist (None: none): a yes record
    downloads the package; any other ends the run with zero, asking the server nothing and touching nothing."""
    files = {"zkpatch_data.plist": patch, "serverinfo.plist": server}
    config = {file: content for file, content in files.items() if content is not None}
    if line in (ENABLED, IN_PATCH, IN_CLOUD):
        return one_run("the gate says yes: " + name, 0, ASKED + [line] + NAMING + FETCHED, config=config, after=left(0))
    lines = ASKED + [line, SET_FALSE]
    return one_run("the gate says no: " + name, 0, lines, config=config, plant=plant, after=left(1), sent=[])


def redirect(name: str, code: int, to: str, status: int, lines: list[str], sent: list[str]) -> Case:
    """A request for /old answered with a redirect to `to`; /new serves the package."""
    serve = {"/old": [Reply.plain(code, location=to)], "/new": [Reply(BODY)]}
    return one_run("a redirect " + name, status, lines, url="{origin}/old", serve=serve, after=left(status), sent=sent)


def laid_out(where: str, plant: list, location: str = "a.pkg") -> list[Case]:
    """The package verified, and one rejected, in that layout: a mismatch removes it, and nothing else is left."""
    fields = dict(location=location, plant=plant)
    return [
        one_run(f"{where}, verified", 0, SUCCESS, after=left(0, location), **fields),
        one_run(f"{where}, rejected", 1, REJECTED, checksum="0" * 64, after=left(1, location), **fields),
    ]


Rows = row_tests(
    "Rows",
    [
        Case(
            "from nginx: progress on a terminal, erased before each record, and only the package left",
            server="nginx",
            url="{origin}/slow/pkg",
            location="Upgrade.14.pkg",
            runs=[Step(0, SUCCESS, terminal=True)],
            after=left(0, "Upgrade.14.pkg"),
        ),
        # Over HTTPS only a certificate of the test authority for the host in the URL verifies (that one continues a
        # transfer in test_servers).
        *[
            one_run(
                f"HTTPS with a certificate {name}", 1, CERTIFICATE_REFUSED, server="nginx-tls", url=url, after=left(1)
            )
            for name, url in (
                ("that signs itself", "https://127.0.0.1:{port_self}/pkg"),
                ("for another host", "https://localhost:{port_good}/pkg"),
            )
        ],
        Case(
            "an already verified file is kept, and nothing is asked",
            serve={"/pkg": [Reply(b"other")]},
            plant=[("file", "{dest}", BODY), ("file", "{state}", b"kept")],
            runs=[Step(0, KEPT)],
            after={"{dest}": BODY, "{state}": b"kept"},
            sent=[],
        ),
        # Whatever stands at the destination is replaced and never blocks the run; only a file of ours counts as
        # one already downloaded (nothing is read through a link), and the package placed is root's alone.
        *[
            Case(
                f"{what} at the destination is replaced",
                location="shared/a.pkg",
                plant=[*SHARED, *SECRET, *plant],
                runs=[Step(0, replaced(checked), stdout=out)],
                after={"{dest}": 0o600, "/private/secret": b"root's own"},
            )
            for what, plant, checked, out in (
                ("an old file", [("file", "{dest}", OLD)], OLD_CHECKED, ""),
                ("a FIFO", [("fifo", "{dest}")], [], NOT_A_FILE),
                (
                    "another user's copy of the package",
                    [("file", "{dest}", BODY), ("owner", "{dest}", NOBODY), ("mode", "{dest}", 0o644)],
                    [],
                    NOT_OURS.format("owned by another user"),
                ),
                (
                    "a copy of the package others may write",
                    [("file", "{dest}", BODY), ("mode", "{dest}", 0o666)],
                    [],
                    NOT_OURS.format("writable by other users"),
                ),
                (
                    "another user's link to a root-only file",
                    [("link", "{dest}", "/private/secret"), ("owner", "{dest}", NOBODY)],
                    [],
                    NOT_OURS.format("a symbolic link"),
                ),
            )
        ],
        one_run(
            "an error page is downloaded, and rejected by its checksum",
            1,
            REJECTED,
            serve={"/pkg": [Reply.plain(404, PAGE)]},
            data=PAGE,
            checksum=sha256(BODY),
            after=left(1),
        ),
        one_run("an empty body verifies", 0, SUCCESS, data=b"", after={"{dest}": b""}),
        # Whatever the layout, the body grows beside the destination: the move is a rename, and after it the store
        # holds only the package, in the store and in a folder of it; a mismatch removes it. (A fresh run never looks
        # at the temporary folders while its destination's folder is there.)
        *laid_out("store on another volume", [("mount", "{agent}/store")]),
        *laid_out("a folder of the store", [("dir", "{agent}/store/sub")], "sub/a.pkg"),
        # Root is not in the group: once confined, it writes there only by the one capability it keeps.
        *laid_out("a folder of another user's that only their group may write", THEIRS, "theirs/a.pkg"),
        one_run(
            "a folder of the store linked to another volume receives the package",
            0,
            SUCCESS,
            location="big/a.pkg",
            plant=LINKED_STORE,
            after={"/data/big": ["a.pkg"], "{agent}/store/big": "link"},
        ),
        one_run(
            "another user's link in the store is not followed",
            1,
            START
            + [FALLBACK_MOVED, r"~Error moving the file: .*NSLocalizedFailureReason=a symbolic link of another user\}"],
            location="big/a.pkg",
            plant=[*LINKED_STORE, ("owner", "{agent}/store/big", NOBODY)],
            after={"/data/big": [], "/var/tmp": []},
        ),
        # Nor is root's own link where another user may have put it: in a folder others may write (the sticky bit makes
        # it no safer), or in another user's folder.
        *[
            one_run(
                f"root's link in {where} is not followed",
                1,
                START
                + [
                    FALLBACK_MOVED,
                    r"~Error moving the file: .*NSLocalizedFailureReason=a symbolic link in a folder others may write\}",
                ],
                location="held/big/a.pkg",
                plant=[
                    *LINKED_STORE[:2],
                    ("dir", "{agent}/store/held"),
                    *holder,
                    ("link", "{agent}/store/held/big", "/data/big"),
                ],
                after={"/data/big": [], "/var/tmp": []},
            )
            for where, holder in (
                ("a folder every user may write", [("mode", "{agent}/store/held", 0o1777)]),
                (
                    "another user's folder",
                    [("owner", "{agent}/store/held", NOBODY), ("mode", "{agent}/store/held", 0o755)],
                ),
            )
        ],
        # Another user took the body folder's name in a shared folder, or renamed an administrator's folder to it (or to
        # a name of the form we make): the body grows in a fresh folder of our own beside it, and what was there is
        # left as it was, never narrowed or swept.
        *[
            one_run(
                f"{what} at the body folder's name is passed by",
                0,
                START + [BESIDE_TAKEN] + LANDED,
                location="shared/a.pkg",
                plant=[*SHARED, *planted],
                after={"{agent}/store/shared": files, **after},
            )
            for what, planted, files, after in (
                ("another user's folder", [("dir", TAKEN), TAKEN_BY_NOBODY], ["a.pkg"], {TAKEN: "dir"}),
                (
                    "another user's file",
                    [("file", TAKEN, b"mine"), TAKEN_BY_NOBODY],
                    [".quenbury-partial", "a.pkg"],
                    {},
                ),
                ("an administrator's folder", admins(TAKEN), [".quenbury-partial/body-old", "a.pkg"], {TAKEN: 0o755}),
                (
                    "an administrator's private folder of other files",
                    [*admins(TAKEN)[:-2], ("mode", TAKEN, 0o700), ("file", TAKEN + "/notes", b"x")],
                    [".quenbury-partial/notes", "a.pkg"],
                    {TAKEN: 0o700},
                ),
                (
                    "an administrator's folder under a name we make",
                    [("dir", TAKEN), TAKEN_BY_NOBODY, *admins(MADE)],
                    [".quenbury-partial-AAAAAA/body-old", "a.pkg"],
                    {MADE: 0o755},
                ),
            )
        ],
        # No folder is made for the destination: the body goes to a fresh folder of the temporary folder, the move
        # fails, and nothing is left there.
        one_run(
            "a missing store folder fails the move and leaves no body",
            1,
            NO_STORE,
            plant=[("remove", "{agent}/store")],
            after={"/var/tmp": [], "{agent}/store": "gone"},
        ),
        *[
            one_run(name, 1, lines, server="none", url=url, after=left(1))
            for name, url, lines in (
                ("a refused connection leaves nothing", "http://127.0.0.1:{closed}/pkg", CONNECTION_REFUSED),
                ("ftp is not supported", "ftp://127.0.0.1/pkg", UNSUPPORTED),
            )
        ],
        # Redirects are followed over HTTP alone, twenty at most.
        redirect("is followed", 301, "/new", 0, SUCCESS, ["GET /old", "GET /new"]),
        redirect("to a file URL is refused", 302, "file:///etc/passwd", 1, UNSUPPORTED, ["GET /old"]),
        redirect("loop ends after twenty", 302, "/old", 1, START + [failed(-1007), NOT_SAVED], ["GET /old"] * 21),
        one_run(
            "percent signs, delimiters and control characters in every argument are logged verbatim",
            1,
            REJECTED,
            url="{origin}/a%41 b%s\t\x1b",
            location="100%d x?#\x1b[2J\x7f.pkg",
            checksum="%s" + FORGING,
            serve={"/a%2541%20b%25s%09%1B": [Reply(BODY)]},
            after=left(1, "100%d x?#\x1b[2J\x7f.pkg"),
            sent=["GET /a%2541%20b%25s%09%1B"],
        ),
        # A tab is not white space here: it is kept, and sent encoded.
        one_run(
            "white space around the URL is trimmed",
            0,
            SUCCESS,
            url=" \n{origin}/pkg\t \n",
            serve={"/pkg%09": [Reply(BODY)]},
            sent=["GET /pkg%09"],
        ),
        Case(
            "fewer than three arguments print the usage; more are ignored, and the checksum may be in upper case",
            checksum=sha256(BODY).upper(),
            runs=[
                *[Step(1, [USAGE], args=args) for args in ((), ("http://h/x",), ("http://h/x", "a.pkg"))],
                Step(0, SUCCESS, args=("{url}", "{location}", "{sum}", "ignored", "too")),
            ],
        ),
        Case(
            "URLs that do not form are refused",
            agent=None,
            runs=[*[refused(url, "a.pkg", NO_URL) for url in ("", " \n ", "no scheme", "http://")], NOT_UTF8],
        ),
        # A parent folder, a folder (a link to one too), or no file name at all.
        Case(
            "refused locations touch nothing",
            plant=[("dir", "{agent}/store/folder"), ("link", "{agent}/store/link", "folder")],
            runs=[
                refused("http://h/x", where, f"download location {{agent}}/store/{where}", REFUSED)
                for where in ("../escape.pkg", "a/../../x.pkg", "a/..", "..", "folder", "link", ".", "pkg/", "/", "")
            ],
            after={"{agent}/store": [], "/private": []},
        ),
        one_run("dots around a name are no parent folder", 0, SUCCESS, location="..pkg..", after=left(0, "..pkg..")),
        # Only the same digits match, in any case (the usage row's checksum is in upper case).
        checked_against("a newline after", sha256(BODY) + "\n"),
        checked_against("a space before", " " + sha256(BODY)),
        checked_against("half the digits", sha256(BODY)[:32]),
        # The gate: an unreadable configuration refuses as one that says no, and a FIFO must not block. Keys and
        # their kinds are exact; text values are compared in any case, but without blanks.
        gate("no configuration", NOT_READ),
        gate("a FIFO in place of the configuration", NOT_READ, plant=[("fifo", "{agent}/data/zkpatch_data.plist")]),
        gate("an empty file", NOT_PARSED, b""),
        gate("not a list", NOT_PARSED, b"Quenbury=true\n", {"Quenbury": True}),
        gate("a list but not a dictionary", NOT_READ, AN_ARRAY, cloud("true", "no")),
        gate("the flag, whatever else is said", ENABLED, {"Quenbury": True}, b"corrupt"),
        gate("the agent's text in any case", IN_PATCH, TEXT_IN_ANY_CASE),
        gate("the flag as text", NO, {"Quenbury": "true"}),
        gate("the agent's text with a blank", NO, {"DirectDownloadEnabled": " true"}),
        gate("the agent's text as a flag", NO, {"DirectDownloadEnabled": True}),
        gate("keys in another case", NO, {"quenbury": True, "directdownloadenabled": "true"}),
        gate("text with a NUL inside", NO, WITH_NUL),
        gate("from the server information", IN_CLOUD, {}, cloud("TRUE", "No")),
        gate("server information unreadable", NOT_PARSED, {}, b"\x01\x02garbage"),
        gate("server information not a dictionary", NO, {}, ["a"]),
        gate("in the cloud under a distribution server", NO, {}, cloud("True", "false")),
        gate("a blank after no", NO, {}, cloud("true", "No ")),
        gate("in the cloud, no word of a server", NO, {}, {"DirectDownloadEnabled": "true"}),
        gate("no word of the cloud", NO, {}, {"ENABLEDISTRIBUTIONSERVER": "no"}),
        # The first candidate without its service program is passed over.
        Case(
            "the agent is the first candidate with its service program",
            agent=CANDIDATES[1],
            plant=[("dir", CANDIDATES[0] + "/store"), ("file", CANDIDATES[2] + "/bin/zkagentservice", b"")],
            runs=[Step(0, SUCCESS)],
        ),
        one_run("without any agent the fallback paths are used, and the gate finds nothing", 0, NO_AGENT, agent=None),
    ],
)
