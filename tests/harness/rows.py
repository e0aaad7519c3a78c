# SPDX-License-Identifier: Apache-2.0
"""The row language: a case is a row, the files before (agent layout, configuration files, planted items), what the
server does, and the runs, each with its arguments and its exact status and records; then the files after and the
requests the server saw. Texts may hold {placeholders} (see `values_of`); a record or request starting with "~" is a
regular expression over all of it."""

import contextlib
import dataclasses
import fcntl
import functools
import os
import plistlib
import pty
import re
import shutil
import subprocess
import tempfile
import time
import unittest
from typing import Optional
from urllib.parse import quote

from harness.fault_server import FaultServer, Reply
from harness.real_servers import Nginx, Server, unused_port
from harness.sandbox import CANDIDATES, Run, Sandbox, binary_pid, body_folder, body_path, file_url, finish, records
from harness.sandbox import resume_name, sha256, wait_for

BODY = bytes((i * 31) % 253 for i in range(3 << 20))  # 3 MiB
CUT = 1 << 20


@dataclasses.dataclass
class Step:
    """One run: items planted first, its arguments (None: url, location,
    checksum) and umask; then its exact status, records and standard output."""

    status: int
    records: list
    plant: list = dataclasses.field(default_factory=list)
    args: Optional[tuple] = None
    umask: int = -1
    stdout: str = ""
    # Once the body holds CUT bytes: a signal for the binary, "restart" the server, or a call given its pid.
    interrupt: object = None
    wrap: tuple = ()  # a program that runs the binary inside the sandbox (strace)
    terminal: bool = False  # standard error on a terminal: a progress line is drawn, and erased before each record
    of: dict = dataclasses.field(default_factory=dict)  # another package: the case's url, location, data for this run


@dataclasses.dataclass
class Case:
    name: str
    runs: list
    server: str = "fault"  # a key of SERVERS
    proxy: bool = False  # through squid, taken from http_proxy; `sent` is then what the proxy saw
    # {path: [Reply, ...]} for the fault server, {path: bytes or (bytes, age)} for others; None: /pkg serves `data`.
    serve: Optional[dict] = None
    # {origin}: the server's; {closed}: a port nothing listens on; {port_good} and {port_self}: see Server.
    url: str = "{origin}/pkg"
    location: str = "a.pkg"
    data: bytes = BODY  # the entity; its SHA-256 is the default checksum
    checksum: Optional[str] = None
    agent: Optional[str] = CANDIDATES[0]  # installed; None: no agent, the fallback paths
    config: Optional[dict] = None  # {name: dict or bytes} in the agent's data folder; None: the allowing one
    plant: list = dataclasses.field(default_factory=list)
    # path: bytes, None (no regular file), a kind of AFTER, a mode, [files under it], or a pattern its text holds.
    after: dict = dataclasses.field(default_factory=dict)
    sent: Optional[list] = None  # the requests the server saw, as its sent()
    env: dict = dataclasses.field(default_factory=dict)  # more environment for every run


SERVERS = {
    "fault": FaultServer,
    "nginx": Nginx,
    "nginx-tls": functools.partial(Nginx, tls=True),
    "nginx-h2": functools.partial(Nginx, tls=True, http2=True),
    "apache": functools.partial(Server, "apache"),
    "lighttpd": functools.partial(Server, "lighttpd"),
    "none": None,
}
AFTER = {
    "file": os.path.isfile,
    "link": os.path.islink,
    "dir": os.path.isdir,
    "any": os.path.lexists,
    "gone": lambda path: not os.path.lexists(path),
}
WHITE_SPACE = " \n\r\v\f"


def expand(text: str, values: dict, pattern: bool = False) -> str:
    return re.sub(
        r"\{(\w+)\}", lambda m: (re.escape if pattern else str)(str(values[m[1]])) if m[1] in values else m[0], text
    )


def lay(test: unittest.TestCase, box: Sandbox, plants: list, values: dict) -> None:
    """Plants (kind, path, argument): file (bytes, or a function of the values that gives them), append (bytes), fill
    (until the disk is full), dir, link (target), fifo, owner (uid, root only), mode, age (seconds since its last
    change), lock (held as a live run holds its body), remove, mount (another volume), tmpfs (size: a volume of its own,
    root only), ext4 (size in bytes: a volume that keeps half its blocks for root, root only)."""
    simple = {
        "link": lambda host, target: os.symlink(expand(target, values), host),
        "fifo": os.mkfifo,
        "owner": lambda host, uid: os.lchown(host, uid, uid),
        "mode": os.chmod,
        "age": lambda host, seconds: os.utime(host, (time.time() - seconds,) * 2),
    }
    for kind, path, *argument in plants:
        host = box.host(expand(path, values))
        if kind in ("owner", "tmpfs", "ext4") and os.geteuid():
            test.skipTest("needs root")
        os.makedirs(host if kind in ("dir", "tmpfs", "ext4") else os.path.dirname(host), exist_ok=True)
        if kind in ("file", "append"):
            with open(host, "ab" if kind == "append" else "wb") as file:
                file.write(argument[0](values) if callable(argument[0]) else argument[0])
        elif kind == "fill":
            with open(host, "wb", buffering=0) as file, contextlib.suppress(OSError):
                while file.write(b"\0" * 4096):
                    pass
        elif kind in simple:
            simple[kind](host, *argument)
        elif kind == "lock":
            test.addCleanup(os.close, descriptor := os.open(host, os.O_RDONLY))
            fcntl.flock(descriptor, fcntl.LOCK_EX)
        elif kind == "remove" and os.path.lexists(host):
            shutil.rmtree(host) if os.path.isdir(host) and not os.path.islink(host) else os.remove(host)
        elif kind == "mount":  # Another volume.
            box.mounts.append((tempfile.mkdtemp(dir="/dev/shm"), expand(path, values)))
            test.addCleanup(shutil.rmtree, box.mounts[-1][0], True)
        elif kind in ("tmpfs", "ext4"):
            mount(test, kind, host, argument[0])


def mount(test: unittest.TestCase, kind: str, host: str, size: int) -> None:
    """A tmpfs of its own, or an ext4 volume that keeps half its blocks for root, as a system volume keeps some."""
    if kind == "tmpfs":
        subprocess.run(["mount", "-t", "tmpfs", "-o", f"size={size},mode=1777", "tmpfs", host], check=True)
    else:
        descriptor, image = tempfile.mkstemp(dir="/dev/shm")
        os.close(descriptor)
        test.addCleanup(os.remove, image)
        os.truncate(image, size)
        options = ["-q", "-F", "-O", "^has_journal", "-m", "50", "-E", "root_owner=0:0"]
        subprocess.run(["mkfs.ext4", *options, image], check=True)
        subprocess.run(["mount", "-o", "loop", image, host], check=True)
        os.chmod(host, 0o1777)
    test.addCleanup(subprocess.run, ["umount", "-l", host])


def matched(got: list[str], expected: list[str]) -> list[str]:
    """`got`, with each item that its expected "~" pattern matches replaced by the pattern, for a readable difference."""
    replaced = [e if e[:1] == "~" and re.fullmatch(e[1:], g, re.S) else g for g, e in zip(got, expected)]
    return replaced + got[len(expected) :]


def start_servers(test: unittest.TestCase, case: Case, box: Sandbox) -> tuple:
    """The case's server, serving its files, and its proxy (or None)."""
    server = SERVERS[case.server] and SERVERS[case.server]()
    if server:
        test.addCleanup(server.close)
    proxy = Server("squid") if case.proxy else None
    if proxy:
        test.addCleanup(proxy.close)
        box.env["http_proxy"] = proxy.url("")
    if getattr(server, "authority", None):
        box.overlays = [(server.authority, "/etc/ssl/certs/ca-certificates.crt")]  # The only authority trusted.
    fault = isinstance(server, FaultServer)
    for path, what in (case.serve or {"/pkg": [Reply(case.data)] if fault else case.data} if server else {}).items():
        server.route(path, *what) if fault else server.publish(path, *(what if isinstance(what, tuple) else (what,)))
    return server, proxy


def values_of(case: Case, box: Sandbox, server) -> dict:
    """The values of a case's {placeholders}."""
    ports = {f"port_{name}": port for name, port in getattr(server, "tls_ports", {}).items()}
    url = case.url.format(origin=server.url("") if server else "", closed=unused_port(), **ports)
    encoded, dest = quote(url.strip(WHITE_SPACE), safe="!$&'()*+,;=:@/?~"), box.destination(case.location)
    state = "/private/tmp/" + resume_name(dest)
    return dict(
        url=url,
        encoded=encoded,
        location=case.location,
        sum=case.checksum or sha256(case.data),
        digest=sha256(case.data),
        agent=box.agent,
        dest=dest,
        dest_url=file_url(dest),
        plist=resume_name(dest),
        state=state,
        state_dir=os.path.dirname(state),
        partial=body_folder(dest),
        partial_url=file_url(body_folder(dest)),
        body=body_path(dest),
    )


def take_step(test: unittest.TestCase, box: Sandbox, step: Step, values: dict, server) -> Run:
    """Runs the step, interrupting it once the body holds CUT bytes if it says so; on a terminal, the records are what
    is left once the progress lines are erased."""
    master, slave = pty.openpty() if step.terminal else (None, subprocess.PIPE)
    args = [expand(a, values) for a in (("{url}", "{location}", "{sum}") if step.args is None else step.args)]
    process = box.start(*args, umask=step.umask, stderr=slave, wrap=step.wrap)
    if step.interrupt:
        wait_for(lambda: process.poll() is not None or box.largest(values["partial"]) >= CUT, "body of CUT bytes")
    if step.interrupt == "restart":
        server.stop()
    elif step.interrupt:
        (step.interrupt if callable(step.interrupt) else lambda pid: os.kill(pid, step.interrupt))(binary_pid(process))
    if step.terminal:
        os.close(slave)
    run = finish(process, master)
    if step.interrupt == "restart":
        server.start()
    if step.terminal:
        os.close(master)
        progress = r"\r[\d.]+ [KMG]iB of [\d.]+ [KMG]iB \(\d+%\), [\d.]+ [KMG]iB/s(, \d+:\d\d:\d\d left)?\x1b\[K"
        test.assertRegex(run.stderr, progress)
        run.records = records(re.sub(r"\r[^\r\n]*?\x1b\[K", "", run.stderr).replace("\r\n", "\n"))
    return run


def found(box: Sandbox, path: str, wanted) -> tuple:
    """What is at `path`, and what the `after` entry wants there, alike in kind."""
    if isinstance(wanted, re.Pattern):
        text = (box.read(path) or b"").decode()
        return (wanted.pattern if wanted.search(text) else text), wanted.pattern
    if isinstance(wanted, list):
        return box.files_under(path), wanted
    if isinstance(wanted, str):
        return AFTER[wanted](box.host(path)), True
    if isinstance(wanted, int):
        return oct(os.stat(box.host(path)).st_mode & 0o777), oct(wanted)
    return box.read(path), wanted


def run_case(test: unittest.TestCase, case: Case) -> None:
    box = Sandbox()
    test.addCleanup(box.close)
    box.env.update(case.env)
    if case.agent:
        box.install_agent(case.agent, case.config)
    server, proxy = start_servers(test, case, box)
    values = base = values_of(case, box, server)
    lay(test, box, case.plant, values)
    for number, step in enumerate(case.runs, 1):
        values = values_of(dataclasses.replace(case, **step.of), box, server) if step.of else base
        lay(test, box, step.plant, values)
        values["state_size"] = len(box.read(values["state"]) or b"")
        run = take_step(test, box, step, values, server)
        values["saved_size"] = len(box.read(values["state"]) or b"")
        with contextlib.suppress(Exception):  # The fields of the resume data kept, as {kept_<field>}; {kept_body}.
            kept = plistlib.loads(box.read(values["state"]))
            values.update({"kept_" + key: value for key, value in kept.items()})
            values["kept_body"] = kept["BodyFolder"] + "/" + kept["BodyFileName"]
        # Expected records go through the same parser, so that a forged record inside one splits alike.
        logged = [f"2000-01-01 00:00:00.000 quenbury[1:1] {expand(r, values, r[0] == '~')}\n" for r in step.records]
        expected = records("".join(logged))
        test.assertEqual(
            (run.status, matched(run.records, expected), run.stdout),
            (step.status, expected, expand(step.stdout, values)),
            f"run {number}:\n{run.stderr}",
        )
    for path, wanted in case.after.items():
        got, want = found(box, expand(path, base), wanted)
        test.assertEqual(got, want, f"{expand(path, base)}: {got}")
    if case.sent is not None:
        seen = proxy or server
        if hasattr(seen, "process"):
            seen.stop()  # Some write their access log out as they stop.
        sent = [expand(s, base, s[:1] == "~") for s in case.sent]
        test.assertEqual(matched(seen.sent(), sent), sent)


def row_tests(name: str, cases: list[Case]) -> type:
    """A test class with one test per case, named after it."""
    tests = {"test_" + re.sub(r"\W+", "_", c.name.lower()).strip("_"): c for c in cases}
    assert len(tests) == len(cases), "case names must differ"
    methods = {name: lambda self, c=c: run_case(self, c) for name, c in tests.items()}
    return type(name, (unittest.TestCase,), {"maxDiff": None, **methods})
