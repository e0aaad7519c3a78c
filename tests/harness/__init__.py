# SPDX-License-Identifier: Apache-2.0
"""The end-to-end harness, in rooms: sandbox (the sandbox the real binary runs in, and where it puts what it makes),
fault_server (a fault-injecting server), real_servers (nginx, Apache httpd, lighttpd and squid, configured from
servers/), rows (the row language and its runner) and expected (the records a run logs, as named fragments). The cases,
the demo, the bench and the package tests import it as the package `harness`, with tests/ on PYTHONPATH; what the demo,
the bench and the package tests use is here too."""

from harness.fault_server import FaultServer, Reply
from harness.real_servers import Nginx
from harness.sandbox import BINARY, Sandbox, body_path, finish, resume_name, sha256

__all__ = ["BINARY", "FaultServer", "Nginx", "Reply", "Sandbox", "body_path", "finish", "resume_name", "sha256"]
