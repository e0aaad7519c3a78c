# SPDX-License-Identifier: Apache-2.0
"""The fault-injecting server: a threaded server on 127.0.0.1 that answers each path from a script of replies."""

import dataclasses
import re
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from typing import Optional

from harness.sandbox import sha256

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
