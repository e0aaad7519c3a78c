"""A fault-injecting HTTP/1.1 server for end-to-end tests.

The server listens on 127.0.0.1 on a port of the kernel's choosing and
answers each request from a script declared by the test: per path, a list of
`Reply` values, the first for the first request to that path, the second for
the second request, and so on; the last one repeats. So a fault can hit one
run only ("close after 1000 bytes, then behave") or every run.

Every request is recorded raw (request line and header lines as received), so
a test can assert what the client sent, for example `Range: bytes=N-` and
`If-Range`.

Usage:

    with FaultServer() as server:
        body = bytes(range(256)) * 100
        server.route("/pkg.bin",
                     Reply(body, close_after=1000),   # first request breaks off
                     Reply(body))                     # later ones complete
        url = server.url("/pkg.bin")
        ...  # run the client
        assert server.requests[1].header("Range") == "bytes=1000-"

Faults are produced at the socket level, so they are exact: `close_after`
sends precisely that many body bytes and then closes the connection;
`stall_after` sends that many and then holds the connection open, sending
nothing, until the server stops (or `stall_seconds` pass).

By default a reply behaves like a well-mannered static file server: ETag and
Last-Modified derived from the body, `Accept-Ranges: bytes`, and a request
with `Range: bytes=N-` (and a matching `If-Range`, when one is sent) gets
`206 Partial Content` with a correct Content-Range. Each of these can be
switched off or falsified per reply. The server always answers with
`Connection: close` and closes the connection after one response, so every
request (a redirect's follow-up too) arrives on a connection of its own.

A path without a route gets 404 with a short body.
"""

from __future__ import annotations

import dataclasses
import hashlib
import socket
import threading
import time
from typing import Optional, Union

__all__ = ["AUTO", "FaultServer", "Reply", "Request", "unused_port"]


class _Auto:
    def __repr__(self) -> str:
        return "AUTO"


#: Marks a header whose value the server derives from the body.
AUTO = _Auto()

_FIXED_LAST_MODIFIED = "Tue, 05 Mar 2024 10:00:00 GMT"

_REASONS = {
    200: "OK", 206: "Partial Content", 301: "Moved Permanently", 302: "Found",
    303: "See Other", 307: "Temporary Redirect", 308: "Permanent Redirect",
    400: "Bad Request", 403: "Forbidden", 404: "Not Found",
    416: "Range Not Satisfiable", 500: "Internal Server Error",
    503: "Service Unavailable",
}


@dataclasses.dataclass
class Reply:
    """What the server sends for one request.

    body: the entity's full body.
    status: None answers 200, or 206/416 when a Range request is honoured;
        any number forces that status (no Range handling then).
    etag: AUTO derives a strong tag from the body; None sends no ETag; a
        string is sent as it stands (include the quotes).
    last_modified: AUTO sends a fixed date; None sends none; or a string.
    accept_ranges: send `Accept-Ranges: bytes`.
    honour_range: serve byte ranges (needs a validator, as a cache would);
        False ignores Range and sends the whole body with 200.
    content_range_start: falsify the start in the Content-Range of a 206
        (the body sent is still the real remainder).
    content_length: AUTO is the length of the bytes in this response; None
        omits the header; an int is sent as it stands, whatever is sent.
    location: sent as the Location header (for redirects).
    headers: further header lines, as (name, value) pairs.
    close_after: send this many body bytes, then close the connection.
    stall_after: send this many body bytes, then send nothing and keep the
        connection open until the server stops or `stall_seconds` pass.
    raw: send exactly these bytes instead of a response, then close
        (b"" is an empty reply).
    endless_headers: after the status line, send header lines without end
        until the client gives up (or `stall_seconds` pass).
    """

    body: bytes = b""
    status: Optional[int] = None
    etag: Union[str, None, _Auto] = AUTO
    last_modified: Union[str, None, _Auto] = AUTO
    accept_ranges: bool = True
    honour_range: bool = True
    content_range_start: Optional[int] = None
    content_length: Union[int, None, _Auto] = AUTO
    location: Optional[str] = None
    headers: list = dataclasses.field(default_factory=list)
    close_after: Optional[int] = None
    stall_after: Optional[int] = None
    stall_seconds: float = 300.0
    raw: Optional[bytes] = None
    endless_headers: bool = False

    @classmethod
    def redirect(cls, location: str, status: int = 302) -> "Reply":
        return cls(status=status, location=location, etag=None,
                   last_modified=None, accept_ranges=False)

    @classmethod
    def error_page(cls, status: int, body: bytes) -> "Reply":
        return cls(body, status=status, etag=None, last_modified=None,
                   accept_ranges=False)

    def entity_tag(self) -> Optional[str]:
        if isinstance(self.etag, _Auto):
            return '"' + hashlib.sha256(self.body).hexdigest()[:16] + '"'
        return self.etag

    def modified(self) -> Optional[str]:
        if isinstance(self.last_modified, _Auto):
            return _FIXED_LAST_MODIFIED
        return self.last_modified


@dataclasses.dataclass
class Request:
    """One request as received."""

    raw: bytes            # request line and header lines, up to the blank line
    method: str
    target: str           # the request target exactly as sent
    version: str
    headers: list         # (name, value) pairs in the order received

    @property
    def request_line(self) -> str:
        return f"{self.method} {self.target} {self.version}"

    @property
    def path(self) -> str:
        return self.target.split("?", 1)[0]

    def header(self, name: str) -> Optional[str]:
        """The first header of that name (any case), or None."""
        for key, value in self.headers:
            if key.lower() == name.lower():
                return value
        return None


def unused_port() -> int:
    """A port on 127.0.0.1 that nothing listens on (bound, then released)."""
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


class FaultServer:
    """Threaded HTTP/1.1 server on 127.0.0.1; see the module docstring."""

    def __init__(self) -> None:
        self._routes: dict[str, list[Reply]] = {}
        self._counts: dict[str, int] = {}
        self._lock = threading.Lock()
        self._stopping = threading.Event()
        self._threads: list[threading.Thread] = []
        self._connections: set[socket.socket] = set()
        self.requests: list[Request] = []
        self._listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self._listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self._listener.bind(("127.0.0.1", 0))
        self._listener.listen(64)
        self.port: int = self._listener.getsockname()[1]
        self._acceptor = threading.Thread(target=self._accept_loop, daemon=True)
        self._acceptor.start()

    # -- declaring behaviour -------------------------------------------------

    def route(self, path: str, *replies: Reply) -> None:
        """Declares the replies for `path` (request target without query):
        the n-th request gets replies[n], the last one repeats."""
        if not replies:
            raise ValueError("a route needs at least one reply")
        with self._lock:
            self._routes[path] = list(replies)
            self._counts[path] = 0

    def url(self, path: str) -> str:
        return f"http://127.0.0.1:{self.port}{path}"

    # -- what was received ---------------------------------------------------

    def requests_for(self, path: str) -> list[Request]:
        with self._lock:
            return [r for r in self.requests if r.path == path]

    # -- life ----------------------------------------------------------------

    def stop(self) -> None:
        """Stops listening, releases stalled connections, waits for handlers."""
        if self._stopping.is_set():
            return
        self._stopping.set()
        try:
            # Wakes the acceptor out of accept().
            self._listener.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass
        self._listener.close()
        self._acceptor.join(5)
        with self._lock:
            connections = list(self._connections)
        for connection in connections:
            try:
                connection.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
        for thread in list(self._threads):
            thread.join(5)

    def __enter__(self) -> "FaultServer":
        return self

    def __exit__(self, *exc) -> None:
        self.stop()

    # -- serving -------------------------------------------------------------

    def _accept_loop(self) -> None:
        while not self._stopping.is_set():
            try:
                connection, _ = self._listener.accept()
            except OSError:
                return
            thread = threading.Thread(target=self._serve, args=(connection,), daemon=True)
            with self._lock:
                self._connections.add(connection)
                self._threads = [t for t in self._threads if t.is_alive()]
                self._threads.append(thread)
            thread.start()

    def _serve(self, connection: socket.socket) -> None:
        try:
            request = self._read_request(connection)
            if request is None:
                return
            with self._lock:
                self.requests.append(request)
                replies = self._routes.get(request.path)
                index = self._counts.get(request.path, 0)
                self._counts[request.path] = index + 1
            if replies is None:
                reply = Reply.error_page(404, b"no such path\n")
            else:
                reply = replies[min(index, len(replies) - 1)]
            self._respond(connection, request, reply)
        except OSError:
            pass
        finally:
            with self._lock:
                self._connections.discard(connection)
            try:
                connection.close()
            except OSError:
                pass

    @staticmethod
    def _read_request(connection: socket.socket) -> Optional[Request]:
        data = b""
        while b"\r\n\r\n" not in data:
            chunk = connection.recv(65536)
            if not chunk:
                return None
            data += chunk
            if len(data) > 1 << 20:
                return None
        head = data.split(b"\r\n\r\n", 1)[0]
        lines = head.decode("latin-1").split("\r\n")
        parts = lines[0].split(" ")
        if len(parts) != 3:
            return None
        headers = []
        for line in lines[1:]:
            name, _, value = line.partition(":")
            headers.append((name.strip(), value.strip()))
        return Request(head + b"\r\n\r\n", parts[0], parts[1], parts[2], headers)

    def _respond(self, connection: socket.socket, request: Request, reply: Reply) -> None:
        if reply.raw is not None:
            connection.sendall(reply.raw)
            return
        if reply.endless_headers:
            connection.sendall(b"HTTP/1.1 200 OK\r\n")
            line = b"X-Filler: " + b"f" * 1000 + b"\r\n"
            deadline = time.monotonic() + reply.stall_seconds
            while time.monotonic() < deadline and not self._stopping.is_set():
                connection.sendall(line * 64)
            return

        status = reply.status
        payload = reply.body
        headers: list = []
        etag = reply.entity_tag()
        modified = reply.modified()
        total = len(reply.body)

        if status is None:
            status = 200
            first = self._range_start(request, reply, etag, modified)
            if first is not None:
                if first >= total:
                    status = 416
                    payload = b""
                    headers.append(("Content-Range", f"bytes */{total}"))
                else:
                    status = 206
                    payload = reply.body[first:]
                    shown = first if reply.content_range_start is None else reply.content_range_start
                    headers.append(("Content-Range", f"bytes {shown}-{total - 1}/{total}"))

        if etag is not None:
            headers.append(("ETag", etag))
        if modified is not None:
            headers.append(("Last-Modified", modified))
        if reply.accept_ranges:
            headers.append(("Accept-Ranges", "bytes"))
        if reply.location is not None:
            headers.append(("Location", reply.location))
        headers.append(("Content-Type", "application/octet-stream"))
        if isinstance(reply.content_length, _Auto):
            headers.append(("Content-Length", str(len(payload))))
        elif reply.content_length is not None:
            headers.append(("Content-Length", str(reply.content_length)))
        headers.extend(reply.headers)
        headers.append(("Connection", "close"))

        reason = _REASONS.get(status, "Status")
        head = f"HTTP/1.1 {status} {reason}\r\n"
        head += "".join(f"{name}: {value}\r\n" for name, value in headers)
        head += "\r\n"
        connection.sendall(head.encode("latin-1"))
        if request.method == "HEAD":
            return

        if reply.stall_after is not None:
            connection.sendall(payload[:reply.stall_after])
            self._stopping.wait(reply.stall_seconds)
            return
        if reply.close_after is not None:
            connection.sendall(payload[:reply.close_after])
            return
        connection.sendall(payload)
        # Let the client read to the end before the close, so that it sees
        # a clean end of stream rather than a reset.
        connection.shutdown(socket.SHUT_WR)
        deadline = time.monotonic() + 5
        connection.settimeout(1)
        while time.monotonic() < deadline:
            try:
                if not connection.recv(65536):
                    break
            except (socket.timeout, OSError):
                break

    @staticmethod
    def _range_start(request: Request, reply: Reply, etag, modified) -> Optional[int]:
        """The first byte to serve, or None to serve the whole body."""
        wanted = request.header("Range")
        if wanted is None or not reply.honour_range:
            return None
        if etag is None and modified is None:
            return None
        if_range = request.header("If-Range")
        if if_range is not None and if_range not in (etag, modified):
            return None
        unit, _, spec = wanted.partition("=")
        if unit.strip() != "bytes" or "," in spec:
            return None
        first, _, _ = spec.partition("-")
        try:
            return int(first)
        except ValueError:
            return None
