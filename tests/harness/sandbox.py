# SPDX-License-Identifier: Apache-2.0
"""The sandbox the real binary runs in: its /Library, /private, /tmp and /var/tmp are folders of the test, so the
binary uses its real fixed paths; and where the binary puts what it makes, and how its log records are read."""

import contextlib
import hashlib
import os
import plistlib
import re
import shutil
import subprocess
import tempfile
import time
from typing import Optional
from urllib.parse import quote

BINARY = os.path.realpath(
    os.environ.get("QUENBURY_BINARY", os.path.join(os.path.dirname(__file__), "../../build/quenbury"))
)
BUILD_DIR = os.path.realpath(os.environ.get("QUENBURY_BUILD_DIR", os.path.dirname(BINARY)))
CANDIDATES = ["/Library/Brindlecote/Ostrel_Agent", "/Library/Fennimark_Agent", "/Library/Wendlow_Agent"]
FALLBACK = "/Library/Ostrel_Agent"
RECORD = re.compile(r"^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} quenbury\[\d+:\d+\] ", re.M)


def sha256(data: bytes) -> str:
    return hashlib.sha256(data).hexdigest()


def records(stderr: str) -> list[str]:
    """The messages of the log records; a line that does not start a record belongs to the one before."""
    return [message for piece in RECORD.split(stderr) if (message := piece.removesuffix("\n"))]


def body_folder(destination: str) -> str:
    """The hidden folder beside the destination that its body grows in."""
    return os.path.dirname(destination) + "/.quenbury-partial"


def body_path(destination: str) -> str:
    """The body of the package that lands at `destination`: one per destination, whatever the URL."""
    return body_folder(destination) + "/body-" + sha256(destination.encode())


def resume_name(destination: str) -> str:
    pieces = [p for p in destination.split("/") if p]
    return "/".join(pieces[:-1]) + "/resume_" + pieces[-1].replace(".", "_") + ".plist"


def file_url(path: str) -> str:
    return "file://" + quote(path, safe="/-._~!$&'()*+,;=:@")


class Run:
    def __init__(self, status: int, stdout: bytes, stderr: bytes) -> None:
        self.status, self.stdout, self.stderr = status, stdout.decode(errors="replace"), stderr.decode(errors="replace")
        self.records = records(self.stderr)


class Sandbox:
    """The test's folders standing in for /Library, /private, /tmp and /var/tmp."""

    def __init__(self) -> None:
        self.root, self.agent, self.env = tempfile.mkdtemp(prefix="quenbury-e2e-"), FALLBACK, {}
        # (host path, sandbox path) binds laid over the rest: read-only overlays, and mounts of their own.
        self.overlays: list[tuple[str, str]] = []
        self.mounts: list[tuple[str, str]] = []
        for name in ("Library", "private/tmp", "tmp", "var/tmp"):
            os.makedirs(self.host(name))
            os.chmod(self.host(name), 0o1777 if "tmp" in name else 0o755)
        for name in ("lib", "lib64", "bin", "sbin"):
            os.symlink("usr/" + name, self.host(name))

    def close(self) -> None:
        shutil.rmtree(self.root, ignore_errors=True)

    def host(self, path: str) -> str:
        for source, target in self.mounts:
            if (path + "/").startswith(target + "/"):
                return source + path[len(target) :]
        return os.path.join(self.root, path.lstrip("/"))

    def install_agent(self, base: str = CANDIDATES[0], config: Optional[dict] = None) -> None:
        """The agent's service program and store, and its configuration files: bytes as they are, anything else as a
        binary property list (by default one that allows the download)."""
        self.write(base + "/bin/zkagentservice", b"#!/bin/sh\n")
        os.makedirs(self.host(base + "/store"))
        self.agent = base
        for name, content in ({"zkpatch_data.plist": {"Quenbury": True}} if config is None else config).items():
            if not isinstance(content, bytes):
                content = plistlib.dumps(content, fmt=plistlib.FMT_BINARY)
            self.write(base + "/data/" + name, content)

    def destination(self, location: str) -> str:
        return self.agent + "/store/" + location

    def read(self, path: str) -> Optional[bytes]:
        """A regular file's bytes, else None (a planted FIFO must not block the test)."""
        if not os.path.isfile(self.host(path)):
            return None
        with open(self.host(path), "rb") as file:
            return file.read()

    def write(self, path: str, data: bytes) -> None:
        os.makedirs(os.path.dirname(self.host(path)), exist_ok=True)
        with open(self.host(path), "wb") as file:
            file.write(data)

    def largest(self, folder: str) -> int:
        """The size of the largest file in `folder`, whatever its name; 0 for none, or for one gone since the listing."""
        with contextlib.suppress(OSError), os.scandir(self.host(folder)) as entries:
            return max((entry.stat(follow_symlinks=False).st_size for entry in entries), default=0)
        return 0

    def files_under(self, path: str) -> list[str]:
        top = self.host(path)
        return sorted(os.path.relpath(os.path.join(d, n), top) for d, _, names in os.walk(top) for n in names)

    def command(self, args: list[str], wrap: tuple = ()) -> list[str]:
        # One mount for the test's folders, as on a machine where the temporary
        # folders and /Library share a volume: a move is a rename.
        binds = [("--bind", self.root, "/"), ("--proc", "/proc"), ("--dev", "/dev")]
        binds += [("--ro-bind", path, path) for path in ("/usr", "/etc")]
        binds += [("--ro-bind", *pair) for pair in self.overlays] + [("--bind", *pair) for pair in self.mounts]
        # Last, so that a test's mount over /tmp or /var/tmp never hides a build that lies there.
        binds += [("--ro-bind", path, path) for path in (BUILD_DIR, BINARY)]
        # Sanitizer settings of the build under test reach the binary, unless the test gives its own.
        sanitizers = {key: value for key, value in os.environ.items() if key.endswith("SAN_OPTIONS")}
        settings = {"PATH": "/usr/bin:/bin", "TZ": "UTC", **sanitizers, **self.env}
        command = ["bwrap", "--die-with-parent", "--clearenv", "--chdir", "/"]
        command += [a for bind in binds for a in bind] + [a for pair in settings.items() for a in ("--setenv", *pair)]
        return command + (["--unshare-user"] if os.geteuid() else []) + list(wrap) + [BINARY] + args

    def start(self, *args: str, umask: int = -1, stderr=subprocess.PIPE, wrap: tuple = ()) -> subprocess.Popen:
        return subprocess.Popen(
            self.command(list(args), wrap), stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=stderr, umask=umask
        )

    def run(self, *args: str) -> Run:
        return finish(self.start(*args))


def finish(process: subprocess.Popen, terminal: Optional[int] = None) -> Run:
    """The run's end; with `terminal`, standard error is what that terminal shows, read to its end."""
    err = b"".join(iter(lambda: read_terminal(terminal), b"")) if terminal else None
    out, piped = process.communicate(timeout=150)
    return Run(process.returncode, out, err or piped)


def read_terminal(fd: int) -> bytes:
    with contextlib.suppress(OSError):
        return os.read(fd, 65536)
    return b""  # The other side has closed.


def wait_for(condition, what: str, seconds: float = 60):
    """The first true value of `condition()`, polled; after `seconds` the test fails instead of hanging."""
    deadline = time.monotonic() + seconds
    while not (value := condition()):
        assert time.monotonic() < deadline, f"no {what} after {seconds:.0f} s"
        time.sleep(0.02)
    return value


def binary_pid(process: subprocess.Popen) -> Optional[int]:
    """The quenbury that bwrap started under `process` (its child or grandchild), while it runs."""

    def children(pid) -> list[str]:
        with contextlib.suppress(OSError), open(f"/proc/{pid}/task/{pid}/children") as file:
            return file.read().split()
        return []

    def running() -> Optional[int]:
        for pid in [c for child in children(process.pid) for c in (child, *children(child))]:
            with contextlib.suppress(OSError), open(f"/proc/{pid}/comm") as comm:
                if comm.read() == "quenbury\n":
                    return int(pid)
        return None

    wait_for(lambda: running() or process.poll() is not None, "quenbury process")
    return running()
