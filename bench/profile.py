# SPDX-License-Identifier: Apache-2.0
"""Where the CPU time of one 1 GiB download goes, the server's included: see bench/profile."""

from __future__ import annotations

import os
import re
import subprocess
import sys
import tempfile
from contextlib import closing

from bench import MiB, make_file, sha256_of, urls, HTTP, HTTPS
from harness import Nginx, Sandbox


def perf(command: list[str], folder: str, label: str) -> list[str]:
    """The whole machine sampled while `command` runs: CPU seconds per thread, and the busiest symbols."""
    data = os.path.join(folder, label + ".data")
    os.sync()
    subprocess.run(
        ["perf", "record", "-q", "-a", "-g", "-e", "cpu-clock", "-F", "999", "-o", data, "--", *command],
        check=True,
        capture_output=True,
    )
    lines = [f"## {label}", "", "| thread | CPU s |", "|---|---|"]
    threads = subprocess.run(
        ["perf", "report", "-i", data, "--stdio", "--no-children", "-s", "pid", "-F", "sample,pid"],
        capture_output=True,
        text=True,
    ).stdout
    for row in threads.splitlines():
        match = re.match(r"\s*(\d+)\s+(\d+):(\S+)", row)
        if match and int(match[1]) >= 50 and match[3] not in ("swapper", "perf"):
            lines.append(f"| {match[3]} ({match[2]}) | {int(match[1]) / 999:.2f} |")
    for keys, limit in (("comm,dso", "1"), ("comm,dso,sym", "1.5")):
        report = subprocess.run(
            [
                "perf",
                "report",
                "-i",
                data,
                "--stdio",
                "--no-children",
                "-g",
                "none",
                "-s",
                keys,
                "--percent-limit",
                limit,
            ],
            capture_output=True,
            text=True,
        ).stdout
        lines += ["", "```"] + [row for row in report.splitlines() if row and not row.startswith("#")] + ["```"]
    return lines + [""]


def main() -> None:
    size = int(sys.argv[1]) * MiB if len(sys.argv) > 1 else 1024 * MiB
    protocol = HTTP if sys.argv[2:] == ["http"] else HTTPS
    over = "HTTP" if protocol == HTTP else "HTTPS with HTTP/2"
    lines = [f"# Profile: {size // MiB} MiB over {over} from nginx on the same two cores", ""]
    with closing(Nginx(rate="400m", tls=True, http2=True)) as nginx, closing(
        Sandbox()
    ) as box, tempfile.TemporaryDirectory(dir="/var/tmp") as work:
        path = os.path.join(nginx.docroot, "f.bin")
        make_file(path, size)
        digest, url = sha256_of(path), urls(nginx, "f.bin")[protocol]
        box.install_agent()
        box.overlays = [(nginx.authority, "/etc/ssl/certs/ca-certificates.crt")]
        out = os.path.join(work, "out.bin")
        curl = ["curl", "-s", "--cacert", nginx.authority, "-o", out, url]
        quenbury = box.command([url, "p.pkg", digest])
        # Each profiled run follows an unprofiled run of the same tool: on a virtual machine the command after
        # another's large write pays for memory the guest must bring back, and that would be charged to it.
        for label, command, output in (
            ("quenbury", quenbury, box.host(box.destination("p.pkg"))),
            ("curl -o", curl, out),
        ):
            for profiled in (False, True):
                os.sync()
                lines += perf(command, work, label) if profiled else []
                if not profiled:
                    subprocess.run(command, check=True, capture_output=True)
                os.remove(output)
    name = "profile.md" if protocol == HTTPS else "profile-http.md"
    with open(os.path.join(os.path.dirname(__file__), "results", name), "w") as report:
        report.write("\n".join(lines))
    print("\n".join(lines))


if __name__ == "__main__":
    main()
