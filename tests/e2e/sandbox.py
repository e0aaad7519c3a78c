"""Runs the real quenbury binary in a bubblewrap sandbox.

The sandbox's root is a folder of the test with read-only /usr and /etc and
the build directory laid over it; /Library, /private, /tmp and /var/tmp are
its folders, so
the binary uses its real fixed paths without touching the machine's. The
network is shared, so servers on 127.0.0.1 are reachable.
"""

from __future__ import annotations

import dataclasses
import hashlib
import os
import plistlib
import re
import shutil
import signal
import subprocess
import tempfile
import time
from typing import Optional

BINARY = os.environ.get("QUENBURY_BINARY", os.path.join(os.path.dirname(__file__), "../../build/quenbury"))
BUILD_DIR = os.environ.get("QUENBURY_BUILD_DIR", os.path.dirname(os.path.abspath(BINARY)))

CANDIDATES = ["/Library/Brindlecote/Ostrel_Agent", "/Library/Fennimark_Agent", "/Library/Wendlow_Agent"]
FALLBACK = "/Library/Ostrel_Agent"

RECORD = re.compile(r"^(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}) quenbury\[(\d+):(\d+)\] (.*)$")


def records(stderr: str) -> list[str]:
    """The messages of the log records on standard error; a line that is not
    a record's first line belongs to the record before it."""
    messages: list[str] = []
    for line in stderr.split("\n")[:-1] if stderr.endswith("\n") else stderr.split("\n"):
        match = RECORD.match(line)
        if match:
            messages.append(match.group(4))
        elif messages:
            messages[-1] += "\n" + line
        elif line:
            messages.append(line)
    return messages


def sha256(data: bytes) -> str:
    return hashlib.sha256(data).hexdigest()


def body_name(encoded_url: str) -> str:
    """The name the download service gives the body of a fresh transfer."""
    return "body-" + sha256(encoded_url.encode())


def resume_name(destination: str) -> str:
    pieces = [p for p in destination.split("/") if p]
    return "/".join(pieces[:-1]) + "/resume_" + pieces[-1].replace(".", "_") + ".plist"


def file_url(path: str) -> str:
    allowed = set(b"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-._~!$&'()*+,;=:@/")
    return "file://" + "".join(chr(b) if b in allowed else "%%%02X" % b for b in path.encode())


@dataclasses.dataclass
class Run:
    status: int
    stdout: str
    stderr: str

    @property
    def records(self) -> list[str]:
        return records(self.stderr)


class Sandbox:
    """The test's folders standing in for /Library, /private, /tmp and /var/tmp."""

    def __init__(self) -> None:
        self.root = tempfile.mkdtemp(prefix="quenbury-e2e-")
        for name in ("Library", "private/tmp", "tmp", "var/tmp"):
            os.makedirs(os.path.join(self.root, name))
        os.chmod(os.path.join(self.root, "private/tmp"), 0o1777)
        os.chmod(os.path.join(self.root, "tmp"), 0o1777)
        os.chmod(os.path.join(self.root, "var/tmp"), 0o1777)
        for name in ("lib", "lib64", "bin", "sbin"):
            os.symlink("usr/" + name, os.path.join(self.root, name))
        self.agent = FALLBACK
        self.env: dict[str, str] = {}
        # (host path, sandbox path) read-only binds laid over the rest,
        # for example a test trust store over the system's.
        self.overlays: list[tuple[str, str]] = []
        # (host folder, sandbox path) writable binds: a mount of its own, as
        # on a machine where that folder is another volume than /Library.
        self.mounts: list[tuple[str, str]] = []
        self.umask: Optional[int] = None

    def close(self) -> None:
        shutil.rmtree(self.root, ignore_errors=True)

    def __enter__(self) -> "Sandbox":
        return self

    def __exit__(self, *exc) -> None:
        self.close()

    def host(self, path: str) -> str:
        """Where a path inside the sandbox lies on the host."""
        assert path.startswith("/")
        return os.path.join(self.root, path.lstrip("/"))

    # -- laying out the agent ---------------------------------------------

    def install_agent(self, base: str = CANDIDATES[0], store: bool = True, service: bool = True) -> str:
        if service:
            os.makedirs(self.host(base + "/bin"), exist_ok=True)
            with open(self.host(base + "/bin/zkagentservice"), "w") as program:
                program.write("#!/bin/sh\n")
        if store:
            os.makedirs(self.host(base + "/store"), exist_ok=True)
        os.makedirs(self.host(base + "/data"), exist_ok=True)
        self.agent = base
        return base

    def write_config(self, name: str, content, binary: bool = False) -> None:
        """Writes `<agent>/data/<name>`: a dict as a property list, or bytes as they are."""
        path = self.host(self.agent + "/data/" + name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        if isinstance(content, (bytes, bytearray)):
            data = bytes(content)
        else:
            data = plistlib.dumps(content, fmt=plistlib.FMT_BINARY if binary else plistlib.FMT_XML)
        with open(path, "wb") as file:
            file.write(data)

    def allow(self) -> None:
        self.write_config("zkpatch_data.plist", {"Quenbury": True})

    def destination(self, location: str) -> str:
        return self.agent + "/store/" + location

    def resume_state(self, location: str) -> str:
        return "/private/tmp/" + resume_name(self.destination(location))

    def read(self, path: str) -> Optional[bytes]:
        try:
            with open(self.host(path), "rb") as file:
                return file.read()
        except OSError:
            return None

    def write(self, path: str, data: bytes) -> None:
        os.makedirs(os.path.dirname(self.host(path)), exist_ok=True)
        with open(self.host(path), "wb") as file:
            file.write(data)

    def files_under(self, path: str) -> list[str]:
        found = []
        for folder, _, names in os.walk(self.host(path)):
            for name in names:
                found.append(os.path.relpath(os.path.join(folder, name), self.host(path)))
        return sorted(found)

    # -- running ----------------------------------------------------------

    def command(self, args: list[str]) -> list[str]:
        build = os.path.realpath(BUILD_DIR)
        binary = os.path.realpath(BINARY)
        command = [
            "bwrap",
            # One mount for the test's folders, as on a machine where the
            # temporary folders and /Library share a volume: a move is a rename.
            "--bind", self.root, "/",
            "--ro-bind", "/usr", "/usr",
            "--ro-bind", "/etc", "/etc",
            "--proc", "/proc",
            "--dev", "/dev",
            "--ro-bind", build, build,
            *[argument for source, target in self.overlays for argument in ("--ro-bind", source, target)],
            *[argument for source, target in self.mounts for argument in ("--bind", source, target)],
            "--die-with-parent",
            "--clearenv",
            "--setenv", "PATH", "/usr/bin:/bin",
            "--setenv", "TZ", "UTC",
        ]
        if os.path.dirname(binary) != build and not binary.startswith(build + "/"):
            command += ["--ro-bind", binary, binary]
        for key, value in {**self.inherited_env(), **self.env}.items():
            command += ["--setenv", key, value]
        if os.geteuid() != 0:
            command += ["--unshare-user"]
        return command + ["--chdir", "/", binary] + args

    @staticmethod
    def inherited_env() -> dict[str, str]:
        # Sanitizer settings of the build under test reach the binary.
        return {k: v for k, v in os.environ.items() if k.endswith("SAN_OPTIONS")}

    def run(self, *args: str, timeout: float = 120) -> Run:
        result = subprocess.run(self.command(list(args)), capture_output=True, timeout=timeout, preexec_fn=self._umask())
        return Run(result.returncode, result.stdout.decode("utf-8", "replace"), result.stderr.decode("utf-8", "replace"))

    def start(self, *args: str) -> subprocess.Popen:
        return subprocess.Popen(self.command(list(args)), stdout=subprocess.PIPE, stderr=subprocess.PIPE, preexec_fn=self._umask())

    def _umask(self):
        mask = self.umask
        return None if mask is None else (lambda: os.umask(mask))

    @staticmethod
    def finish(process: subprocess.Popen, timeout: float = 120) -> Run:
        out, err = process.communicate(timeout=timeout)
        return Run(process.returncode, out.decode("utf-8", "replace"), err.decode("utf-8", "replace"))


def binary_pid(process: subprocess.Popen) -> Optional[int]:
    """The pid of the quenbury process that bwrap started under `process`."""
    deadline = time.monotonic() + 10
    while time.monotonic() < deadline and process.poll() is None:
        for pid in os.listdir("/proc"):
            if not pid.isdigit():
                continue
            try:
                with open(f"/proc/{pid}/stat") as stat:
                    fields = stat.read().rsplit(")", 1)[1].split()
                with open(f"/proc/{pid}/comm") as comm:
                    name = comm.read().strip()
            except OSError:
                continue
            if name == "quenbury" and _descends_from(int(pid), process.pid):
                return int(pid)
        time.sleep(0.02)
    return None


def _descends_from(pid: int, ancestor: int) -> bool:
    while pid > 1:
        if pid == ancestor:
            return True
        try:
            with open(f"/proc/{pid}/stat") as stat:
                pid = int(stat.read().rsplit(")", 1)[1].split()[1])
        except OSError:
            return False
    return False


def signal_binary(process: subprocess.Popen, number: int = signal.SIGTERM) -> None:
    pid = binary_pid(process)
    assert pid is not None, "quenbury did not start"
    os.kill(pid, number)
