# SPDX-License-Identifier: Apache-2.0
"""The real servers: nginx, Apache httpd, lighttpd and squid, each run one way: its configuration from servers/, checked
by the server itself, a port, a wait until the port answers, a stop at once, and an access log of
"request line|status|Range|If-Range"."""

import contextlib
import dataclasses
import functools
import os
import pwd
import re
import shutil
import signal
import socket
import subprocess
import tempfile
import time
import unittest
from typing import Optional

from harness.sandbox import wait_for

DAY = 86400
CONFIGURATIONS = os.path.join(os.path.dirname(__file__), "servers")


def unused_port() -> int:
    """A port on 127.0.0.1 that nothing listens on (bound, then released)."""
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def listening(port: int) -> bool:
    with contextlib.suppress(OSError), socket.create_connection(("127.0.0.1", port), timeout=1):
        return True
    return False


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
