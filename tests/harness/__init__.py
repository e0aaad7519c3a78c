# SPDX-License-Identifier: Apache-2.0
"""The end-to-end harness: the sandbox the real binary runs in (its /Library, /private, /tmp and /var/tmp are folders
of the test, so the binary uses its real fixed paths), the servers it talks to on 127.0.0.1 (a fault-injecting server,
and nginx, Apache httpd, lighttpd and squid run one way, configured from servers/), and the runner of case rows. The
cases, the demo and the bench import it as the package `harness`, with tests/ on PYTHONPATH."""

import contextlib, dataclasses, fcntl, functools, hashlib, os, plistlib, pty, pwd, re, shutil, signal, socket, subprocess, tempfile, threading, time, unittest  # noqa: E401
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
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


def unused_port() -> int:
    """A port on 127.0.0.1 that nothing listens on (bound, then released)."""
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def listening(port: int) -> bool:
    with contextlib.suppress(OSError), socket.create_connection(("127.0.0.1", port), timeout=1):
        return True
    return False


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


# -- the fault-injecting server ------------------------------------------------

AUTO = object()  # A header the server derives from the body.


@dataclasses.dataclass
class Reply:
    """One answer of the fault server: by default a static file server's (strong ETag, Last-Modified,
    byte ranges while If-Range matches, 416 past the end). `status` forces a status without ranges;
    an int `content_length` lies; `close_after`/`stall_after` send that many
    body bytes, then close or fall silent; `raw` is sent instead; `endless_headers` never ends."""

    body: bytes = b""
    status: Optional[int] = None
    etag: object = AUTO
    last_modified: Optional[str] = "Tue, 05 Mar 2024 10:00:00 GMT"
    accept_ranges: bool = True
    honour_range: bool = True
    content_length: object = AUTO
    location: Optional[str] = None
    headers: list = dataclasses.field(default_factory=list)
    close_after: Optional[int] = None
    stall_after: Optional[int] = None
    stall_seconds: float = 300
    raw: Optional[bytes] = None
    endless_headers: bool = False
    interim: bool = False  # a "100 Continue" before the answer

    @classmethod
    def plain(cls, status: int, body: bytes = b"", location: Optional[str] = None) -> "Reply":
        """An error page or a redirect: no validators, no ranges."""
        return cls(body, status, None, None, False, location=location)

    def entity_tag(self) -> Optional[str]:
        return '"' + sha256(self.body)[:16] + '"' if self.etag is AUTO else self.etag


class _Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args) -> None:
        pass

    def do_GET(self) -> None:
        self.close_connection = True
        try:
            self.server.owner.answer(self)
        except OSError:
            pass  # The client gave up.

    do_HEAD = do_GET


class FaultServer:
    """A threaded server on 127.0.0.1 answering each path from a script: the
    n-th request to a path gets the n-th reply, the last one repeats. Every
    answer closes its connection; every request is kept as (request line, headers)."""

    def __init__(self) -> None:
        self.routes: dict[str, list[Reply]] = {}
        self.requests: list = []
        self.stopping = threading.Event()
        self.server = ThreadingHTTPServer(("127.0.0.1", 0), _Handler)
        self.server.daemon_threads, self.server.owner = True, self
        threading.Thread(target=self.server.serve_forever, daemon=True).start()

    def route(self, path: str, *replies: Reply) -> None:
        self.routes[path] = list(replies)

    def url(self, path: str) -> str:
        return f"http://127.0.0.1:{self.server.server_address[1]}{path}"

    def sent(self) -> list[str]:
        """Each request as its method and target, with its Range and If-Range."""
        return [
            line.rsplit(" ", 1)[0] + "".join(f" {h}: {headers[h]}" for h in ("Range", "If-Range") if h in headers)
            for line, headers in self.requests
        ]

    def close(self) -> None:
        self.stopping.set()
        self.server.shutdown()
        self.server.server_close()

    def answer(self, handler: _Handler) -> None:
        self.requests.append((handler.requestline, handler.headers))
        path = handler.path.split("?")[0]
        replies = self.routes.get(path) or [Reply.plain(404, b"no such path\n")]
        asked = sum(line.split(" ")[1].split("?")[0] == path for line, _ in self.requests)
        reply, out = replies[min(asked, len(replies)) - 1], handler.wfile
        if reply.raw is not None or reply.endless_headers:
            out.write(b"HTTP/1.1 200 OK\r\n" if reply.raw is None else reply.raw)
            deadline = time.monotonic() + reply.stall_seconds
            while reply.endless_headers and time.monotonic() < deadline and not self.stopping.is_set():
                out.write((b"X-Filler: " + b"f" * 1000 + b"\r\n") * 64)
            return
        status, payload, headers = reply.status or 200, reply.body, []
        etag, total = reply.entity_tag(), len(reply.body)
        wanted = re.fullmatch(r"bytes=(\d+)-", handler.headers.get("Range", ""))
        matches = (etag or reply.last_modified) and handler.headers.get("If-Range") in (None, etag, reply.last_modified)
        if reply.status is None and reply.honour_range and matches and wanted:
            first = int(wanted[1])
            status, payload = (206, reply.body[first:]) if first < total else (416, b"")
            span = f"bytes {first}-{total - 1}/{total}" if first < total else f"bytes */{total}"
            headers.append(("Content-Range", span))
        for name, value in (
            ("ETag", etag),
            ("Last-Modified", reply.last_modified),
            ("Location", reply.location),
            ("Accept-Ranges", "bytes" if reply.accept_ranges else None),
            ("Content-Length", len(payload) if reply.content_length is AUTO else reply.content_length),
        ):
            headers += [(name, value)] if value is not None else []
        reason = handler.responses.get(status, ("Status",))[0]
        lines = [f"HTTP/1.1 {status} {reason}", *(f"{n}: {v}" for n, v in headers + reply.headers), "Connection: close"]
        interim = "HTTP/1.1 100 Continue\r\n\r\n" * reply.interim
        out.write((interim + "\r\n".join(lines) + "\r\n\r\n").encode("latin-1"))
        if handler.command != "HEAD":
            out.write(payload[: reply.stall_after if reply.stall_after is not None else reply.close_after])
            self.stopping.wait(reply.stall_seconds if reply.stall_after is not None else 0)


# -- real servers --------------------------------------------------------------
#
# Every real server runs one way: its configuration from servers/, checked by the server itself, a port, a wait until
# the port answers, a stop at once, and an access log of "request line|status|Range|If-Range".

DAY = 86400
CONFIGURATIONS = os.path.join(os.path.dirname(__file__), "servers")


@dataclasses.dataclass
class Program:
    """A real server: its command (a template over the Server's fields) and the options that make it check its
    configuration instead, its configuration in servers/ with the parts it includes, the rate of /slow/, the signal that
    stops it at once, and the user it drops root for, who must write its logs."""

    command: str
    check: str
    config: str
    parts: tuple = ()
    rate: str = "2048"  # KiB per second
    stop: int = signal.SIGKILL
    user: Optional[str] = None


PROGRAMS = {
    "nginx": Program("/usr/sbin/nginx -c {conf} -p {dir}", "-t", "nginx.conf", ("nginx-site.conf",), "2m"),
    # One process that stays root: it reads the test's private folder.
    "apache": Program("/usr/sbin/apache2 -X -f {conf}", "-t", "apache2.conf"),
    # SIGTERM drops transfers in flight at once too, and writes out its buffered access log.
    "lighttpd": Program("/usr/sbin/lighttpd -D -f {conf}", "-tt", "lighttpd.conf", stop=signal.SIGTERM),
    # SIGTERM removes its shared memory segments.
    "squid": Program(
        "/usr/sbin/squid -N -n quenbury{port} -f {conf}", "-k parse", "squid.conf", stop=signal.SIGTERM, user="proxy"
    ),
}
KEY = "-newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2"
FOR_LOOPBACK = "-addext subjectAltName=IP:127.0.0.1"
# (name, options): a test authority, a certificate it signs for 127.0.0.1, and one for 127.0.0.1 that signs itself.
CERTIFICATES = [
    ("ca", "-subj /CN=Quenbury_Test_Authority"),
    ("good", f"-subj /CN=good -CA ca.crt -CAkey ca.key -addext basicConstraints=CA:FALSE {FOR_LOOPBACK}"),
    ("self", f"-subj /CN=self {FOR_LOOPBACK}"),
]


class Server:
    """A real server of PROGRAMS serving a folder of the test, under /slow/ at `rate` per second too. With `tls`
    (nginx only), also over HTTPS (HTTP/2 with `http2`) on tls_ports["good"] and ["self"], with the certificates
    of CERTIFICATES; `authority` is the test authority's. A test whose server is not installed is skipped."""

    def __init__(self, name: str, rate: Optional[str] = None, tls: bool = False, http2: bool = False) -> None:
        self.program = PROGRAMS[name]
        if not os.path.exists(path := self.program.command.split()[0]):
            raise unittest.SkipTest(f"{path} is not installed (scripts/install-deps installs it)")
        self.dir = tempfile.mkdtemp(prefix=f"quenbury-{name}-")
        self.docroot, self.authority = os.path.join(self.dir, "www"), os.path.join(self.dir, "ca.crt") if tls else None
        self.port, self.tls_ports = unused_port(), {name: unused_port() for name in ("good", "self") if tls}
        self.rate, self.http2 = rate or self.program.rate, " http2" * http2
        os.makedirs(self.docroot)
        for name, options in CERTIFICATES if tls else ():
            command = f"openssl req -x509 {KEY} -keyout {name}.key -out {name}.crt {options}"
            subprocess.run(command.split(), cwd=self.dir, check=True, capture_output=True)
        if self.program.user:
            user = pwd.getpwnam(self.program.user)
            os.chown(self.dir, user.pw_uid, user.pw_gid)
        self.configure()
        self.start()

    def configure(self) -> None:
        """Writes the configuration and its parts from servers/, their @placeholders@ filled (the HTTPS part of nginx
        once for each certificate), and has the server check them."""
        self.conf = os.path.join(self.dir, self.program.config)
        parts = [(name, name, {}) for name in (self.program.config, *self.program.parts)]
        parts += [("nginx-tls.conf", f"nginx-tls-{n}.conf", {"port": p, "name": n}) for n, p in self.tls_ports.items()]
        for template, name, values in parts:
            values = {**vars(self), **values}
            with open(os.path.join(CONFIGURATIONS, template)) as source, open(os.path.join(self.dir, name), "w") as out:
                out.write(re.sub(r"@(\w+)@", lambda m: str(values[m[1]]), source.read()))
        path, options = self.program.command.format(**vars(self)).split(" ", 1)
        check = subprocess.run([path, *self.program.check.split(), *options.split()], capture_output=True, text=True)
        assert check.returncode == 0, f"{self.program.config} is refused:\n{check.stdout}{check.stderr}"

    def start(self) -> None:
        command = self.program.command.format(**vars(self)).split()
        self.process = subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        for port in [self.port, *self.tls_ports.values()]:
            wait_for(lambda: self.process.poll() is not None or listening(port), f"{command[0]} on port {port}")
            assert self.process.poll() is None, f"{command[0]} did not start"

    def stop(self) -> None:
        """Stops at once, dropping transfers in flight."""
        if self.process.poll() is None:
            self.process.send_signal(self.program.stop)
            self.process.wait()

    def close(self) -> None:
        self.stop()
        shutil.rmtree(self.dir, ignore_errors=True)

    def publish(self, name: str, data: bytes, age: float = DAY) -> str:
        """The file, last modified `age` seconds ago (a server marks a tag weak for a file changed just now)."""
        path = os.path.join(self.docroot, name.lstrip("/"))
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as file:
            file.write(data)
        os.utime(path, (time.time() - age,) * 2)
        return self.url("/" + name.lstrip("/"))

    def url(self, path: str) -> str:
        return f"http://127.0.0.1:{self.port}{path}"

    def access_log(self) -> list[list[str]]:
        """Each request as [request line, status, Range, If-Range, ...]; "-" for none, quotes unescaped."""
        with contextlib.suppress(OSError), open(os.path.join(self.dir, "access.log")) as log:
            return [line.rstrip("\n").replace("\\x22", '"').replace('\\"', '"').split("|") for line in log]
        return []

    def sent(self) -> list[str]:
        """As FaultServer.sent(), with the protocol and the status after the target; not the ready check's probes."""
        return [
            f"{line} {status}" + "".join(f" {h}: {v}" for h, v in (("Range", r), ("If-Range", i)) if v != "-")
            for line, status, r, i, *_ in self.access_log()
            if not line.startswith("-")
        ]


Nginx = functools.partial(Server, "nginx")


# -- case rows -----------------------------------------------------------------
#
# A case is a row: the files before (agent layout, configuration files,
# planted items), what the server does, and the runs, each with its
# arguments and its exact status and records; then the files after and the
# requests the server saw. Texts may hold {placeholders} (see `run_case`); a
# record or request starting with "~" is a regular expression over all of it.

BODY = bytes((i * 31) % 253 for i in range(3 << 20))  # 3 MiB
CUT = 1 << 20
PARAMS = "Given param -> 1 {url} \nGiven param -> 2 {location}\nGiven check_SHA256sum -> {sum}"
START = [
    PARAMS,
    "download location {dest}",
    "Quenbury Enabled",
    "Inside resume plist file name generator",
    "Resume plist :{plist}",
]
RESUMING = ["Fetching resume data..for plist {state}", "The resume Plist size ->{state_size} bytes"]
MOVED = [
    r"~ file Downloaded location Optional\({partial_url}/[^/]+\), move location {dest_url}",
    "Download successful. File saved to: {dest_url}",
]
# The move's record for a body in a fresh folder of the temporary folder.
FALLBACK_MOVED = MOVED[0].replace("{partial_url}", r"file:///var/tmp/quenbury-\w{6}")
VERIFIED = [
    "downloaded file checksum ->{digest}\nGiven checksum ->{sum}",
    "SHA256 checksum validated succesfully NSComparisonResult",
]
MISMATCH = [VERIFIED[0], "SHA256 checksum validation failed NSComparisonResult"]
SUCCESS = START + MOVED + VERIFIED
REJECTED = START + MOVED + MISMATCH
# What a failed run leaves in the store and the resume area: nothing.
NOTHING_LEFT = {"{agent}/store": [], "{partial}": "gone", "/private/tmp": []}
# An older file at the destination, and its check.
OLD = b"an older package"
OLD_CHECKED = [f"downloaded file checksum ->{sha256(OLD)}\nGiven checksum ->{{sum}}", MISMATCH[1]]


def replacing(checked: list[str]) -> list[str]:
    """Something else at the destination, checked as `checked` says, and downloaded over, up to the move."""
    found = START[:3] + ["File already Exists"] + checked
    return (
        found + ["SHA256 checksum validation Failed, hence downloading new file and replacing"] + START[3:] + MOVED[:1]
    )


def failed(code: int, data: str = "", resumed: bool = False) -> str:
    """The failure record by its code; `data`: a pattern for the size of the resume data it carries."""
    carried = rf".*, NSURLSessionDownloadTaskResumeData=<{data} bytes>, " if data else "(?!.*ResumeData)"
    record = rf'~Download failed with error: Error Domain=NSURLErrorDomain Code={code} "{carried}.*\}}'
    return record + " " * resumed


def lost(resumed=False, first=True, cause="Connection lost", code=-1005, data="{saved_size}") -> list[str]:
    """A broken-off transfer whose resume data is written; `first`: the resume folder is created."""
    return (
        [failed(code, data, resumed), cause + ", saving resume data"]
        + ["Creating directory {state_dir}"] * first
        + ["Directory is {state_dir}"]
        + ["Removing resume data already present at: {state}"] * (resumed and not first)
        + ["Resume data written"]
    )


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
