# SPDX-License-Identifier: Apache-2.0
"""Peak resident memory of the tool and its receiver together during one download: see bench/memory."""

from __future__ import annotations

import os
import statistics
import subprocess
import sys
import time
from contextlib import closing
from typing import Optional

from bench import HTTP, HTTPS, MiB, make_file, sandboxed, sha256_of, urls
from harness import Nginx, Sandbox


def parent_of(pid: int) -> int:
    with open(f"/proc/{pid}/stat") as stat:
        return int(stat.read().rsplit(")", 1)[1].split()[1])


def resident_kib(run: int) -> int:
    """VmRSS of every quenbury process under `run` (the sandbox), summed: other runs on the machine do not count."""
    total = 0
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/status") as status:
                fields = dict(line.split(":", 1) for line in status)
            pid = int(entry)
            while pid > 1 and pid != run:
                pid = parent_of(pid)
        except (OSError, ValueError, IndexError):
            continue
        if pid == run and fields["Name"].strip().startswith("quenbury") and "VmRSS" in fields:
            total += int(fields["VmRSS"].split()[0])
    return total


def peak_of_run(command: list[str]) -> int:
    """The highest sum sampled every 2 ms while `command` runs, KiB; the run must succeed."""
    run = subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    peak = 0
    while run.poll() is None:
        peak = max(peak, resident_kib(run.pid))
        time.sleep(0.002)
    if run.returncode != 0:
        sys.exit(f"{command[-3]} ended with status {run.returncode}")
    return peak


def peaks(nginx: Nginx, protocol: str, digest: str, build: Optional[str], runs: int) -> list[int]:
    """One peak per run of `build` (this one for None), each in a sandbox of its own."""
    found = []
    for _ in range(runs):
        with closing(Sandbox()) as box:
            box.install_agent()
            if protocol == HTTPS:
                box.overlays = [(nginx.authority, "/etc/ssl/certs/ca-certificates.crt")]
            if build:  # With its receiver beside it.
                box.overlays.append((os.path.dirname(build),) * 2)
            found.append(peak_of_run(sandboxed(box, [urls(nginx, "m.bin")[protocol], "p.pkg", digest], build)))
    return found


def main() -> None:
    size = int(sys.argv[1]) * MiB if len(sys.argv) > 1 else 1024 * MiB
    runs = int(sys.argv[2]) if len(sys.argv) > 2 else 3
    builds: list[Optional[str]] = [None] + sys.argv[3:]
    with closing(Nginx(rate="400m", tls=True, http2=True)) as nginx:
        path = os.path.join(nginx.docroot, "m.bin")
        make_file(path, size)
        digest = sha256_of(path)
        print(f"Both processes' peak resident memory together, {size // MiB} MiB, {runs} runs each (MiB):")
        for protocol in (HTTP, HTTPS):
            for build in builds:
                found = peaks(nginx, protocol, digest, build, runs)
                median, most = statistics.median(found) / 1024, max(found) / 1024
                print(f"  {protocol} {build or 'this build'}: median {median:.1f}, max {most:.1f}")


if __name__ == "__main__":
    main()
