"""Real nginx on 127.0.0.1, serving a folder of the test."""

from __future__ import annotations

import os
import shutil
import signal
import socket
import subprocess
import tempfile
import time
from typing import Optional

from fault_server import unused_port

NGINX = shutil.which("nginx") or "/usr/sbin/nginx"


class Nginx:
    """nginx in the foreground with a generated configuration; `/slow/`
    serves the same files at `rate` bytes per second. `certificates` maps a
    name to (certificate file, key file): each gets an HTTPS port of its own,
    serving the same folder, over HTTP/2 with `http2`."""

    program = NGINX
    stop_signal = signal.SIGKILL

    def __init__(self, rate: str = "2m", certificates: Optional[dict[str, tuple[str, str]]] = None,
                 http2: bool = False) -> None:
        self.dir = tempfile.mkdtemp(prefix=f"quenbury-{type(self).__name__.lower()}-")
        self.docroot = os.path.join(self.dir, "www")
        os.makedirs(self.docroot)
        self.rate = rate
        self.port = unused_port()
        self.certificates = certificates or {}
        self.tls_ports = {name: unused_port() for name in self.certificates}
        self.http2 = http2
        self.process = None
        self.start()

    def config(self) -> str:
        d = self.dir
        slow = f"location /slow/ {{ alias {self.docroot}/; limit_rate {self.rate}; }}"
        secure = "".join(f"""
    server {{
        listen 127.0.0.1:{self.tls_ports[name]} ssl{" http2" if self.http2 else ""};
        ssl_certificate {certificate};
        ssl_certificate_key {key};
        root {self.docroot};
        {slow}
    }}""" for name, (certificate, key) in self.certificates.items())
        return f"""
daemon off;
master_process off;
worker_processes 1;
pid {d}/nginx.pid;
error_log {d}/error.log warn;
events {{ worker_connections 256; }}
http {{
    default_type application/octet-stream;
    log_format ranges '$request|$status|$http_range|$http_if_range|$body_bytes_sent|$sent_http_etag|$sent_http_last_modified|$server_protocol';
    access_log {d}/access.log ranges;
    client_body_temp_path {d}/body;
    proxy_temp_path {d}/proxy;
    fastcgi_temp_path {d}/fastcgi;
    uwsgi_temp_path {d}/uwsgi;
    scgi_temp_path {d}/scgi;
    sendfile on;
    server {{
        listen 127.0.0.1:{self.port};
        root {self.docroot};
        {slow}
    }}{secure}
}}
"""

    def command(self, conf: str) -> list[str]:
        return [self.program, "-c", conf, "-p", self.dir]

    def start(self) -> None:
        conf = os.path.join(self.dir, "server.conf")
        with open(conf, "w") as file:
            file.write(self.config())
        self.process = subprocess.Popen(self.command(conf), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + 10
        for port in [self.port, *self.tls_ports.values()]:
            while True:
                try:
                    with socket.create_connection(("127.0.0.1", port), timeout=0.2):
                        break
                except OSError:
                    if self.process.poll() is not None:
                        raise RuntimeError(f"{self.command(conf)} did not start: " + self.error_log())
                    if time.monotonic() > deadline:
                        raise RuntimeError(f"{self.command(conf)} did not listen")
                    time.sleep(0.05)

    def stop(self) -> None:
        """Stops at once, dropping transfers in flight."""
        if self.process and self.process.poll() is None:
            self.process.send_signal(self.stop_signal)
            self.process.wait()

    def close(self) -> None:
        self.stop()
        shutil.rmtree(self.dir, ignore_errors=True)

    def __enter__(self) -> "Nginx":
        return self

    def __exit__(self, *exc) -> None:
        self.close()

    def publish(self, name: str, data: bytes) -> str:
        path = os.path.join(self.docroot, name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as file:
            file.write(data)
        return self.url("/" + name)

    def url(self, path: str, tls: Optional[str] = None) -> str:
        if tls is not None:
            return f"https://127.0.0.1:{self.tls_ports[tls]}{path}"
        return f"http://127.0.0.1:{self.port}{path}"

    def access_log(self) -> list[list[str]]:
        """Each request as [request line, status, Range, If-Range, bytes sent,
        ETag sent, Last-Modified sent, protocol]; "-" for none, quotes unescaped."""
        try:
            with open(os.path.join(self.dir, "access.log")) as log:
                return [line.rstrip("\n").replace("\\x22", '"').replace('\\"', '"').split("|") for line in log]
        except OSError:
            return []

    def error_log(self) -> str:
        try:
            with open(os.path.join(self.dir, "error.log")) as log:
                return log.read()
        except OSError:
            return ""
