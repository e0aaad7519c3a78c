# SPDX-License-Identifier: Apache-2.0
"""Transfers that break off and the runs that continue them: what each run keeps, and which resume state and
progress records the next one trusts, continues from or refuses."""

import contextlib
import dataclasses
import glob
import os
import plistlib
import re
import signal
import threading

from harness.expected import AGAIN, ERROR_ANSWER, FALLBACK_MOVED, FETCHED, INTERRUPTED, LANDED, LINK_REPLACED
from harness.expected import LOST_AGAIN, MISMATCH, MISSING_STORE, MOVED, NONE_TO_KEEP, NOTHING_LEFT, NOT_KEPT
from harness.expected import NOT_MATCHED, NO_LONGER_PLACED, OURS_BESIDE, PARAMS, PLANTED, RESUMED, RESUMING
from harness.expected import SAVING_AGAIN, START, SUCCESS, UNUSABLE, failed, lost
from harness.fault_server import Reply
from harness.real_servers import DAY
from harness.rows import BODY, CUT, Case, Step, row_tests
from harness.sandbox import CANDIDATES, body_path, sha256, wait_for

CHANGED = BODY[::-1]
ETAG = Reply(BODY).entity_tag()
KILLED = 128 + signal.SIGKILL
# What the server answers.
BROKEN = Reply(BODY, close_after=CUT)
STALLED = Reply(BODY, stall_after=CUT, stall_seconds=30)
# NOTE: the idle time-out is a minute, so the case that falls silent for longer waits that long.
SILENT = Reply(BODY, stall_after=CUT, stall_seconds=90)
ENDLESS = Reply(endless_headers=True, stall_seconds=20)
WEAK = dict(etag='W/"w1"', last_modified=None)
WEAK_BROKEN = Reply(BODY, close_after=CUT, **WEAK)
NO_VALIDATORS = Reply(BODY, close_after=CUT, etag=None, last_modified=None)
SHORT = Reply(BODY[CUT : 2 * CUT], 206, ETAG, headers=[("Content-Range", f"bytes {CUT}-{2 * CUT - 1}/{len(BODY)}")])
# Parts that run past their Content-Range: to the entity's end and then 20 MiB more, framed by nothing but the close
# (as a chunked body is framed by nothing that the range bounds), and one whose Content-Length says more than its range.
PAST_END = Reply(
    BODY[CUT:] + bytes(20 << 20),
    206,
    ETAG,
    content_length=None,
    headers=[("Content-Range", f"bytes {CUT}-{len(BODY) - 1}/{len(BODY)}")],
)
PAST_RANGE = Reply(BODY[CUT:], 206, ETAG, headers=[("Content-Range", f"bytes {CUT}-{2 * CUT - 1}/{len(BODY)}")])
HUGE = Reply(BODY, headers=[("X-Huge", "h" * (1 << 20))])
LONGER = Reply(BODY, content_length=CUT)
TRUNCATED = Reply(BODY[:CUT], content_length=len(BODY))
# What the runs log.
LOST = Step(1, START + lost())
SPLICED_SUM = f"downloaded file checksum ->{sha256(BODY[:CUT] + CHANGED[CUT:])}\nGiven checksum ->{{sum}}"
TIMED_OUT = Step(1, START + lost(code=-1001))
SPLICED = Step(1, START + RESUMING + MOVED + [SPLICED_SUM, NOT_MATCHED])
# What the server sees.
RANGED = f"GET /pkg Range: bytes={CUT}- If-Range: {ETAG}"
RANGED_TWICE = f"GET /pkg Range: bytes={2 * CUT}- If-Range: {ETAG}"
ENCODED = f"GET /a%20b Range: bytes={CUT}- If-Range: {ETAG}"
UNCONDITIONAL = f"GET /pkg Range: bytes={CUT}-"
# A signed link as a CDN hands out, signed anew for each attempt: the same resource under another query.
SIGNED, RESIGNED, SIGNED_PATH = "{url}?X-Amz-Signature=a", "{url}?X-Amz-Signature=b", "/pkg?X-Amz-Signature=a"
RANGED_RESIGNED = f"GET /pkg?X-Amz-Signature=b Range: bytes={CUT}- If-Range: {ETAG}"
# What is planted, and what is left after the runs.
EMPTIED = [("remove", "/tmp"), ("dir", "/tmp"), ("remove", "/var/tmp"), ("dir", "/var/tmp")]
MISSING = ("remove", "{kept_body}")
OPENED = ("mode", "{state_dir}", 0o777)
GROWN = ("append", "{kept_body}", b"garbage")
LINKED_FOLDER = [("link", "/private/tmp/Library", "/private/tmp/elsewhere")]
FOREIGN_FOLDER = [("dir", "/private/tmp/Library"), ("owner", "/private/tmp/Library", 65534)]
VICTIM = ("file", "/private/tmp/victim", b"precious")
FOLDERS = ["/private/tmp/Library", "/private/tmp/Library/Brindlecote", "/private/tmp/Library/Brindlecote/Ostrel_Agent"]
STORE_ONLY = {"{agent}/store": ["a.pkg"], "{partial}": "gone"}
# A destination in a folder of the store.
IN_SUB = dict(location="sub/a.pkg", plant=[("dir", "{agent}/store/sub")], after={"{agent}/store": ["sub/a.pkg"]})
CUT_BACK = {"{dest}": BODY[:CUT]}
FRESH = "/var/tmp/quenbury-Stale1"
UNTOUCHED = {"/private/tmp/elsewhere": [], "/private/tmp/Library": [], "{dest}": None}
LINKED_STORE = [("mount", "/data"), ("dir", "/data/big"), ("link", "{agent}/store/big", "/data/big")]
# The folders a run that continues a body in the linked folder may write in, as the kernel names them: the real folder,
# the body's folder in it, and the resume state's folder.
RULE = r"\d+ +landlock_add_rule\(\d+<anon_inode:\[landlock-ruleset\]>, LANDLOCK_RULE_PATH_BENEATH, \{{allowed_access=\w[\w|]*, parent_fd=\d+<{}>\}}, 0\) = 0\n"
# First where any body of this destination may lie, while stored resume data is read; then narrowed to the body's.
RULES_OF_THIS_RUN = re.compile(
    r"\A"
    + "".join(
        RULE.format(re.escape(f))
        for f in ("/data/big", "/var/tmp", FOLDERS[-1] + "/store/big")
        + ("/data/big", "/data/big/.quenbury-partial", FOLDERS[-1] + "/store/big")
    )
    # The receiver ends before the run, and the run is told so.
    + r"(?:\d+ +(?:\+\+\+ exited with 0 \+\+\+|--- SIGCHLD \{[^\n]*\} ---)\n)+\Z"
)


# No new privileges, a Landlock domain and the system-call filter, in the run's own process (the first traced, before
# the receiver it starts), before any thread is started. A call of the run's may be split around one of the
# receiver's, which starts at the same time ("<unfinished ...>", then "<... resumed>").
def in_the_run(call: str, result: str = "0") -> str:
    split = r"[^\n]*<unfinished \.\.\.>\n(?:(?!CLONE_THREAD)[\s\S])*?^\1 +<\.\.\. \w+ resumed>"
    return rf"(?:(?!CLONE_THREAD)[\s\S])*^\1 +{call}(?:{split})?[^\n]* = {result}\b"


CONFINED = re.compile(
    r"\A(\d+) "
    + in_the_run(r"prctl\(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0")
    + in_the_run(r"landlock_create_ruleset\(NULL, 0, LANDLOCK_CREATE_RULESET_VERSION", r"[1-9]\d*")
    + in_the_run(r"landlock_restrict_self\(\d+, 0")
    + in_the_run(r"seccomp\(SECCOMP_SET_MODE_FILTER, ")
    + r"[\s\S]*CLONE_THREAD",
    re.M,
)


def strace(output: str, *options: str) -> tuple:
    """The run under strace, which follows its threads and writes to `output`."""
    return ("strace", "-f", "-o", output, *options)


CONFINING = ("-e", "trace=prctl,landlock_create_ruleset,landlock_add_rule,landlock_restrict_self,seccomp,clone,clone3")
# The run is killed as it renames its new resume data over the old.
KILLED_IN_RENAME = strace("/dev/null", "-P", "resume_a_pkg.plist", "-e", "inject=rename,renameat,renameat2:signal=KILL")


def this_record(values: dict, body: str = "", name: str = "") -> bytes:
    """Resume data of CUT bytes of the entity of the run's URL, for `body` (by default the one named after the URL),
    or naming `name` in its folder."""
    folder, named = os.path.split(body or values["body"])
    record = {"QuenburyResumeVersion": 1, "URL": values["encoded"], "BodyFileName": name or named, "BytesReceived": CUT}
    record |= {"EntityTag": ETAG, "TotalLength": len(BODY), "BodyFolder": folder}
    return plistlib.dumps(record, fmt=plistlib.FMT_BINARY)


def crafted(values: dict) -> bytes:
    """Resume data of the run's own URL whose body name climbs out of the body folder onto the victim."""
    return this_record(values, name=os.path.relpath("/private/tmp/victim", values["partial"]))


THIS_RECORD = ("file", "{body}.progress", this_record)
# The body folder as the service makes it.
PRIVATE = ("mode", "{partial}", 0o700)
# The body of the default destination, wherever it lies.
BODY_NAME = os.path.basename(body_path(CANDIDATES[0] + "/store/a.pkg"))


# Another package into the same folder, chosen by the query of the same path.
PACKAGE_B = dict(url="{origin}/get?f=b", location="b.pkg", data=CHANGED)
RANGED_A, RANGED_B = f"GET /get?f=a Range: bytes={CUT}- If-Range: ", f"GET /get?f=b Range: bytes={CUT}- If-Range: "
WEEK_OLD = [("age", "{body}", 8 * DAY), ("age", "{body}.progress", 8 * DAY)]
# The move into the store slowed, so that another run can put its package there before this run verifies its own.
SLOW_MOVE = (
    "strace",
    "-f",
    "-o",
    "/dev/null",
    "-P",
    CANDIDATES[0] + "/store",
    "-e",
    "inject=renameat:delay_exit=2000000",
)


def left_beside(suffix: str) -> list:
    """A body and its record, as a run that found the body locked makes them beside it."""
    return [("file", f"{{body}}-{suffix}", b"x"), ("file", f"{{body}}-{suffix}.progress", b"x")]


def swapped_for_link(pid: int) -> None:
    """The destination's folder renamed away while the run works in it, and another user's link to elsewhere put in
    its place."""
    store = f"/proc/{pid}/root{CANDIDATES[0]}/store"
    os.rename(f"{store}/sub", f"{store}/moved")
    os.symlink("/private/tmp/elsewhere", f"{store}/sub")
    os.lchown(f"{store}/sub", 65534, 65534)


def replaced_once_placed(pid: int) -> None:
    """Another run's package renamed over the run's own as soon as that is placed."""
    dest = f"/proc/{pid}/root{CANDIDATES[0]}/store/a.pkg"

    def replace() -> None:
        wait_for(lambda: os.path.exists(dest), "the placed package", 20)
        with open(dest + ".theirs", "wb") as file:
            file.write(b"theirs")
        os.rename(dest + ".theirs", dest)

    threading.Thread(target=replace, daemon=True).start()


# SIGTERM to a fresh run, traced to show its confinement.
TERMINATED = Step(1, INTERRUPTED, interrupt=signal.SIGTERM, wrap=strace("/tmp/fresh.trace", *CONFINING))


def killed_once_recorded(received: int):
    """SIGKILL for the running tool once the progress record beside its body counts `received` bytes."""

    def kill(pid: int) -> None:
        def recorded() -> bool:
            for path in glob.glob(f"/proc/{pid}/root/Library/**/.quenbury-partial/*", recursive=True):
                with contextlib.suppress(OSError, plistlib.InvalidFileException), open(path, "rb") as file:
                    if plistlib.load(file).get("BytesReceived", 0) >= received:
                        return True
            return False

        wait_for(recorded, f"progress record of {received} bytes", 20)
        os.kill(pid, signal.SIGKILL)

    return kill


KILLED_AT_CUT = Step(KILLED, START, interrupt=killed_once_recorded(CUT))
KILLED_FURTHER = Step(KILLED, START + RESUMING, interrupt=killed_once_recorded(2 * CUT))


def receiver_killed(pid: int) -> None:
    """SIGKILL for the receiver that the running tool started (its comm is its name cut to 15 bytes)."""

    def receiver() -> int:
        for path in glob.glob(f"/proc/{pid}/task/*/children"):
            with contextlib.suppress(OSError), open(path) as children:
                for child in children.read().split():
                    with contextlib.suppress(OSError), open(f"/proc/{child}/comm") as comm:
                        if comm.read() == "quenbury-receiver"[:15] + "\n":
                            return int(child)
        return 0

    os.kill(wait_for(receiver, "receiver", 20), signal.SIGKILL)


def asking(url: str, step: Step) -> Step:
    """`step`, run with `url` in place of the case's."""
    return dataclasses.replace(
        step, records=[PARAMS.replace("{url}", url), *step.records[1:]], args=(url, "{location}", "{sum}")
    )


def continued(name: str, replies: list, sent: list, *before: Step, then=RESUMED, between=(), wrap=(), **fields) -> Case:
    """The runs `before` (by default one broken off at CUT) against `replies`, then, with `between` planted, a run
    (inside `wrap`) that completes the download logging `then` (or the Step `then`) and leaves only the file. The server
    sees GET `path` (routed without its query), then `sent`."""
    data = fields.pop("data", BODY)
    path = fields.pop("path", "/pkg")
    after = fields.pop("after", {})
    return Case(
        name,
        data=data,
        serve={path.partition("?")[0]: [*replies, Reply(data)]},
        runs=[*(before or [LOST]), then if isinstance(then, Step) else Step(0, then, plant=list(between), wrap=wrap)],
        after={"{dest}": data, "{state}": None, **STORE_ONLY, **after},
        sent=[f"GET {path}", *sent],
        **fields,
    )


def resigned(name: str, replies: list, *before: Step, then: Step = Step(0, RESUMED), **fields) -> Case:
    """`continued`, the runs `before` asking the link as first signed, and the last one, `then`, asking it signed anew
    and continuing from CUT."""
    before = tuple(asking(SIGNED, step) for step in before)
    return continued(name, replies, [RANGED_RESIGNED], *before, then=asking(RESIGNED, then), path=SIGNED_PATH, **fields)


def kept(name: str, answer: Reply, second: list = ERROR_ANSWER, resumed_at: int = CUT) -> Case:
    """An answer to the resumed request that ends the run and keeps the body; the next run goes on from `resumed_at`."""
    request = f"GET /pkg Range: bytes={resumed_at}- If-Range: {ETAG}"
    return continued(name, [BROKEN, answer], [RANGED, request], LOST, Step(1, START + RESUMING + second))


def once(name: str, reply: Reply, status: int, records: list, **fields) -> Case:
    """One run against `reply`, logging START, then `records`."""
    return Case(name, serve={"/pkg": [reply]}, runs=[Step(status, START + records)], **fields)


def resume_area(mask: int, left: int = 0) -> Case:
    """Two broken-off runs under `mask`; with `left`, our resume folders were made before and left at that mode."""
    made = [("dir", "{state_dir}"), ("mode", "/private/tmp/Library", left), ("mode", "{state_dir}", left)]
    return Case(
        f"resume area under umask {mask:03o}" + (f" with folders left {left:o}" if left else ""),
        serve={"/pkg": [BROKEN]},
        plant=made if left else [],
        runs=[Step(1, START + lost(first=not left), umask=mask), Step(1, AGAIN, umask=mask, plant=[OPENED])],
        after={**dict.fromkeys(FOLDERS + ["{state_dir}"], 0o700), "{state}": 0o600, "{kept_body}.progress": 0o600},
    )


def beside_body(name: str, record: list, request: str, then: list = SUCCESS, after: dict = STORE_ONLY) -> Case:
    """A body of CUT bytes with the progress record `record` beside it, and no resume state."""
    return Case(
        f"a progress record beside the body: {name}",
        plant=[("file", "{body}", BODY[:CUT]), PRIVATE, ("file", "/private/tmp/victim", this_record), *record],
        runs=[Step(0, then)],
        after={"{dest}": BODY, "/private/tmp/victim": "file", **after},
        sent=[request],
    )


def elsewhere(pattern: str, replacement: str):
    """A progress record of the run's body as resume state, its URL changed where `pattern` first matches."""
    return lambda values: this_record({**values, "encoded": re.sub(pattern, replacement, values["encoded"], count=1)})


def swept(where: str, folder: str, then: list, *plant: tuple, **fields) -> Case:
    """Bodies and progress records in the run's body folder untouched for over a week: its own go, but not a younger
    one, one another run holds or another user's; then the run logs `then`."""
    ages = {"body-old": 8, "body-old.progress": 8, "body-young": 6, "body-held": 8, "body-theirs": 8}
    old = [("file", f"{folder}/{n}", b"x") for n in ages] + [("age", f"{folder}/{n}", d * DAY) for n, d in ages.items()]
    old += [("lock", f"{folder}/body-held"), ("owner", f"{folder}/body-theirs", 65534), ("mode", folder, 0o700)]
    kept = {folder: ["body-held", "body-theirs", "body-young"], "{dest}": BODY}
    return Case(f"stale bodies are swept {where}", plant=[*old, *plant], runs=[Step(0, then)], after=kept, **fields)


def unusable(name: str, *plant: tuple) -> Case:
    """Resume state that cannot be used: a fresh download, and the file the state names is left alone."""
    return Case(
        f"unusable resume state gives a fresh download: {name}",
        plant=[*plant, VICTIM],
        runs=[Step(0, UNUSABLE + FETCHED)],
        after={"{dest}": BODY, "{state}": "any", "/private/tmp/victim": b"precious"},
    )


def not_written_through(reason: str, plant: list) -> Case:
    """A resume folder planted where ours goes: the run refuses to save through it."""
    records = [failed(-1005, r"\d+"), "Connection lost, saving resume data", PLANTED.format(reason)]
    plant = [*plant, ("dir", "/private/tmp/elsewhere")]
    return once(
        f"a planted resume folder is not written through: {reason}", BROKEN, 1, records, plant=plant, after=UNTOUCHED
    )


Rows = row_tests(
    "Rows",
    [
        # A weak tag is kept but never sent in If-Range; the recorded length and the SHA-256 catch what it cannot tell apart.
        continued(
            "a weak tag and a same-length change: the spliced file is refused",
            [WEAK_BROKEN, Reply(CHANGED, **WEAK)],
            [UNCONDITIONAL, "GET /pkg"],
            LOST,
            SPLICED,
            then=SUCCESS,
            data=CHANGED,
        ),
        # Folders and files made for resume state are owner-only (the state holds the URL) under the widest and the
        # narrowest umask, and a folder of ours left open is tightened.
        *[resume_area(mask) for mask in (0o000, 0o077)],
        resume_area(0o022, 0o777),
        continued("two runs continue the transfer", [BROKEN], [RANGED]),
        continued("a URL sent encoded continues", [BROKEN], [ENCODED], url="{origin}/a b", path="/a%20b"),
        # A link signed anew names the same resource: the bytes on disk are continued under the run's URL, the
        # validators guarding them as ever, and that URL is the one kept for the next run.
        resigned("a new signature continues the cut download", [BROKEN], LOST),
        resigned("a new signature continues after a SIGKILL", [STALLED], KILLED_AT_CUT, then=Step(0, SUCCESS)),
        resigned("a new signature of a changed entity starts over", [BROKEN], LOST, data=CHANGED),
        continued(
            "a new signature broken off again is the URL the next run continues",
            [BROKEN] * 2,
            [RANGED_RESIGNED, f"GET /pkg?X-Amz-Signature=b Range: bytes={2 * CUT}- If-Range: {ETAG}"],
            asking(SIGNED, LOST),
            asking(RESIGNED, Step(1, AGAIN)),
            then=asking("{kept_URL}", Step(0, RESUMED)),
            path=SIGNED_PATH,
        ),
        # The mirror that broke off is not asked again: the given URL is fetched whole.
        Case(
            "resume data for another path gives a fresh download of the given URL",
            serve={"/pkg-mirror": [BROKEN], "/pkg": [Reply(BODY)]},
            runs=[asking("{url}-mirror", LOST), Step(0, UNUSABLE + FETCHED)],
            after={"{dest}": BODY},
            sent=["GET /pkg-mirror", "GET /pkg"],
        ),
        # An error answer or a short part to a resumed request keeps every byte received.
        kept("a 503 to the resumed request", Reply.plain(503, b"busy")),
        kept("a part shorter than the range asked", SHORT, LOST_AGAIN, 2 * CUT),
        # A part that runs past its Content-Range fails as an error answer does, and the body keeps nothing past it.
        *[
            Case(
                f"a 206 that runs past its Content-Range keeps nothing past the entity: {name}",
                serve={"/pkg": [BROKEN, reply]},
                runs=[LOST, Step(1, START + RESUMING + ERROR_ANSWER)],
                after={"{kept_body}": body, "{state}": "file"},
                sent=["GET /pkg", RANGED],
            )
            for name, reply, body in (
                ("to the entity's end, then 20 MiB more", PAST_END, BODY),
                ("a Content-Length past the range", PAST_RANGE, BODY[: 2 * CUT]),
            )
        ],
        continued("a server ignoring Range", [BROKEN, Reply(BODY, honour_range=False)], [RANGED]),
        continued("an interim answer before the part", [BROKEN, Reply(BODY, interim=True)], [RANGED]),
        continued("a body file missing between runs starts over", [BROKEN], ["GET /pkg"], between=[MISSING]),
        continued("a body file grown between runs is cut back", [BROKEN], [RANGED], between=[GROWN]),
        # Confinement comes before any thread starts, so every thread has it.
        continued(
            "SIGTERM to a confined run saves resume data and the next run continues",
            [STALLED],
            [RANGED],
            TERMINATED,
            after={"/tmp/fresh.trace": CONFINED},
        ),
        # A kill keeps the progress: the next run continues from the body and reads as a fresh download.
        continued("a SIGKILL: the next run continues from the body", [STALLED], [RANGED], KILLED_AT_CUT, then=SUCCESS),
        # The receiver's end is a broken-off transfer: the tool keeps what it wrote, and the next run continues.
        continued(
            "a SIGKILL of the receiver keeps resume data and the next run continues",
            [STALLED],
            [RANGED],
            Step(1, START + lost(), interrupt=receiver_killed),
        ),
        # A resumed run that was killed got further than its resume data says.
        continued(
            "SIGKILL of a resumed run: the next continues where the body stands",
            [BROKEN, STALLED],
            [RANGED, RANGED_TWICE],
            LOST,
            KILLED_FURTHER,
        ),
        beside_body("this URL's continues", [THIS_RECORD], RANGED),
        # Nothing but bodies and their records lies in a folder the service made: one holding a link is passed by.
        beside_body(
            "a link is not followed",
            [("link", "{body}.progress", "/private/tmp/victim")],
            "GET /pkg",
            START + [OURS_BESIDE] + LANDED,
            {"{body}.progress": "link", "{body}": BODY[:CUT]},
        ),
        beside_body("another user's is ignored", [THIS_RECORD, ("owner", "{body}.progress", 65534)], "GET /pkg"),
        swept("beside the destination", "{partial}", SUCCESS),
        # A fresh folder of the temporary folder, made while the store folder was missing, is swept when the resume
        # data brings the run back to it.
        swept(
            "in the temporary folder",
            FRESH,
            START + RESUMING + [FALLBACK_MOVED] + LANDED,
            ("file", FRESH + "/" + BODY_NAME, BODY[:CUT]),
            ("file", "{state}", lambda values: this_record(values, FRESH + "/" + BODY_NAME)),
            sent=[RANGED],
        ),
        continued("a server falling silent times out and the next run continues", [SILENT], [RANGED], TIMED_OUT),
        # The body lies beside its destination: emptied temporary folders cost no byte of it.
        continued("emptied temporary folders, resumed into a folder", [BROKEN], [RANGED], between=EMPTIED, **IN_SUB),
        # A folder of the store an administrator linked to another volume: the body grows there, and the run may
        # write in that folder, its body folder and the resume state's folder, and nowhere else.
        continued(
            "resumed into a folder of the store linked to another volume, confined to this run's folders",
            [BROKEN],
            [RANGED],
            wrap=strace("/tmp/rules.trace", "-y", "-e", "trace=landlock_add_rule"),
            location="big/a.pkg",
            plant=LINKED_STORE,
            # From outside the sandbox the link leads nowhere: the package is looked for where it landed.
            after={
                "{dest}": None,
                "{agent}/store": ["big"],
                "/data/big": ["a.pkg"],
                "/tmp/rules.trace": RULES_OF_THIS_RUN,
            },
        ),
        # Where the destination's folder is missing, the resume data finds the body's fresh folder again.
        Case(
            "resume in the temporary folder while the store folder is missing",
            plant=[("remove", "{agent}/store")],
            serve={"/pkg": [BROKEN, Reply(BODY)]},
            runs=[LOST, Step(1, START + RESUMING + [FALLBACK_MOVED, MISSING_STORE])],
            after={"/var/tmp": [], "{agent}/store": "gone"},
            sent=["GET /pkg", RANGED],
        ),
        continued("a second failure replaces the state", [BROKEN] * 2, [RANGED, RANGED_TWICE], LOST, Step(1, AGAIN)),
        # Killed in the rename that replaces the state: the old state stands whole, and the next save clears the
        # leftover. The body's own record, written before, lets that run continue from where the body stands.
        Case(
            "a kill while saving resume data leaves one complete state",
            serve={"/pkg": [BROKEN, BROKEN, Reply(BODY, close_after=CUT // 2)]},
            runs=[LOST, Step(KILLED, SAVING_AGAIN, wrap=KILLED_IN_RENAME), Step(1, AGAIN)],
            after={"{state_dir}": ["resume_a_pkg.plist"], "{state}": "file"},
            sent=["GET /pkg", RANGED, RANGED_TWICE],
        ),
        # The whole entity takes the body's place (asked again in the task, or sent for the part) and breaks off without
        # validators: nothing could continue the body now, so it goes rather than wait to be spliced to the old state.
        *[
            Case(
                f"{name} that breaks off without validators leaves no body",
                serve={"/pkg": [BROKEN, *replies, NO_VALIDATORS]},
                runs=[LOST, Step(1, START + RESUMING + [failed(-1005, resumed=True)] + NONE_TO_KEEP)],
                after={"{partial}": "gone"},
                sent=["GET /pkg", RANGED] + ["GET /pkg"] * len(replies),
            )
            for name, replies in (
                ("a restart", [Reply(BODY[: CUT // 2], etag=ETAG)]),
                ("a whole entity for the part", []),
            )
        ],
        once("no resume data without validators", NO_VALIDATORS, 1, NOT_KEPT, after=NOTHING_LEFT),
        once("no resume data after an empty reply", Reply(raw=b""), 1, NOT_KEPT, after=NOTHING_LEFT),
        unusable("corrupt", ("file", "{state}", b"bplist00 not really")),
        unusable("another user's", ("file", "{state}", b"x"), ("owner", "{state}", 65534)),
        unusable("crafted", ("file", "{state}", crafted)),
        unusable("another host's", ("file", "{state}", elsewhere(r"127\.0\.0\.1", "localhost"))),
        unusable("another port's", ("file", "{state}", elsewhere(r":\d+/", ":1/"))),
        unusable("a FIFO", ("fifo", "{state}")),
        Case(
            "a link at the resume state is replaced, not followed",
            serve={"/pkg": [BROKEN]},
            plant=[VICTIM, ("link", "{state}", "/private/tmp/victim")],
            runs=[Step(1, UNUSABLE + LINK_REPLACED)],
            after={"/private/tmp/victim": b"precious", "{state}": "file"},
        ),
        not_written_through("a symbolic link", LINKED_FOLDER),
        not_written_through("owned by another user", FOREIGN_FOLDER),
        once("endless headers fail the run and keep nothing", ENDLESS, 1, NOT_KEPT, after=NOTHING_LEFT),
        once("one huge header fails the run", HUGE, 1, [failed(-1), "Not saving resume data"], after=NOTHING_LEFT),
        once("a body longer than announced is cut at the length", LONGER, 0, FETCHED, data=BODY[:CUT], after=CUT_BACK),
        once("a body shorter than announced keeps resume data", TRUNCATED, 1, lost()),
        # A store folder removed between runs is a missing folder: the move fails and nothing waits for it; once the
        # folder is back, a run places the package.
        Case(
            "a store folder removed between runs fails the move, and a run once it is back places the package",
            serve={"/pkg": [BROKEN, Reply(BODY)]},
            runs=[
                LOST,
                Step(1, START + RESUMING + [FALLBACK_MOVED, MISSING_STORE], plant=[("remove", "{agent}/store/sub")]),
                Step(0, RESUMED, plant=[("dir", "{agent}/store/sub")]),
            ],
            location="sub/a.pkg",
            plant=[("dir", "{agent}/store/sub")],
            after={"{dest}": BODY, "{state}": None, "/var/tmp": []},
            sent=["GET /pkg"] * 3,
        ),
        # Two packages chosen by the query, into one folder, broken off in turn: each continues its own body.
        Case(
            "two packages chosen by the query, broken off in turn, each continue their own body",
            url="{origin}/get?f=a",
            serve={
                "/get": [Reply(BODY, close_after=CUT), Reply(CHANGED, close_after=CUT), Reply(BODY), Reply(CHANGED)]
            },
            runs=[
                LOST,
                Step(1, START + lost(first=False), of=PACKAGE_B),
                Step(0, RESUMED),
                Step(0, RESUMED, of=PACKAGE_B),
            ],
            after={"{dest}": BODY, "{agent}/store/b.pkg": CHANGED, "{partial}": "gone"},
            sent=["GET /get?f=a", "GET /get?f=b", f"{RANGED_A}{ETAG}", f"{RANGED_B}{Reply(CHANGED).entity_tag()}"],
        ),
        # The week-old sweep spares the body this run continues, and its record (a machine off for over a week).
        continued("a body untouched for a week continues with its resume data", [BROKEN], [RANGED], between=WEEK_OLD),
        continued(
            "a body untouched for a week continues after a SIGKILL",
            [STALLED],
            [RANGED],
            KILLED_AT_CUT,
            then=Step(0, SUCCESS, plant=WEEK_OLD),
        ),
        # A folder of ours is the store's, not the server's: a part past its Content-Range ends the run, and the
        # mismatching package that a run placed is removed from the folder it was placed in, not through a link
        # another user swapped in since.
        Case(
            "a mismatch removes the placed file, not what a link swapped in for its folder leads to",
            server="nginx",
            url="{origin}/slow/pkg",
            checksum="0" * 64,
            location="sub/a.pkg",
            plant=[("dir", "{agent}/store/sub"), ("file", "/private/tmp/elsewhere/a.pkg", b"theirs")],
            runs=[Step(1, START + MOVED + MISMATCH, interrupt=swapped_for_link)],
            after={"/private/tmp/elsewhere/a.pkg": b"theirs", "{agent}/store/moved": [], "{agent}/store/sub": "link"},
        ),
        # Another run placed its package just after ours: the mismatch of ours removes nothing of theirs.
        Case(
            "a mismatch racing a verified run removes nothing but its own file",
            server="nginx",
            url="{origin}/slow/pkg",
            checksum="0" * 64,
            runs=[Step(1, START + MOVED, stdout=NO_LONGER_PLACED, interrupt=replaced_once_placed, wrap=SLOW_MOVE)],
            after={"{dest}": b"theirs"},
        ),
        # What killed runs left beside the body goes once this run's body is locked; a live run's stays.
        Case(
            "bodies of killed runs go with the next run, and a live run's stays",
            plant=[*left_beside("Killed0001"), *left_beside("Living0001"), ("lock", "{body}-Living0001"), PRIVATE],
            runs=[Step(0, SUCCESS)],
            after={"{dest}": BODY, "{partial}": [f"{BODY_NAME}-Living0001", f"{BODY_NAME}-Living0001.progress"]},
        ),
    ],
)
