# SPDX-License-Identifier: Apache-2.0
"""The end-to-end harness, in rooms: sandbox (the sandbox the real binary runs in, and where the binary puts what it
makes), fault_server (a fault-injecting server), real_servers (nginx, Apache httpd, lighttpd and squid, configured from
servers/), rows (the row language and its runner) and expected (the records a run logs, as named fragments). With tests/
on PYTHONPATH the cases import the rooms they need; the demo, the bench and the package tests take what they use from
here."""

from harness.fault_server import FaultServer, Reply
from harness.real_servers import Nginx
from harness.sandbox import BINARY, Sandbox, body_path, finish, resume_name, sha256

__all__ = ["BINARY", "FaultServer", "Nginx", "Reply", "Sandbox", "body_path", "finish", "resume_name", "sha256"]
