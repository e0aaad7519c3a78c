# SPDX-License-Identifier: Apache-2.0
"""Measures quenbury beside the tools users know; see bench/run."""

from __future__ import annotations

import os
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from contextlib import closing
from typing import NamedTuple

from harness import Nginx, Sandbox, body_path, finish

MiB = 1 << 20
RESULTS = os.path.join(os.path.dirname(__file__), "results")


class Sample(NamedTuple):
    wall: float  # seconds, from a synced page cache to the command's end
    cpu: float  # user + system seconds of the command and of what it waited for
    peak: int  # peak resident KiB
    written: int  # bytes the disk took while it ran and in the sync after it
    status: int


def disk_sectors(path: str) -> int:
    """Sectors written so far to the block device that holds `path`."""
    device = os.stat(path).st_dev
    with open(f"/sys/dev/block/{os.major(device)}:{os.minor(device)}/stat") as stat:
        return int(stat.read().split()[6])


def timed(command: list[str], disk: str) -> Sample:
    """One command from a synced page cache: the write-back of the one before is not charged to it."""
    os.sync()
    before = disk_sectors(disk)
    with tempfile.NamedTemporaryFile("r", suffix=".time") as report:
        start = time.perf_counter()
        result = subprocess.run(
            ["/usr/bin/time", "-v", "-o", report.name, *command], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL
        )
        wall = time.perf_counter() - start
        text = report.read()
    os.sync()

    def field(name: str) -> float:
        return float(re.search(re.escape(name) + r": ([\d.]+)", text).group(1))

    return Sample(
        wall,
        field("User time (seconds)") + field("System time (seconds)"),
        int(field("Maximum resident set size (kbytes)")),
        (disk_sectors(disk) - before) * 512,
        result.returncode,
    )


def alternating(commands: dict[str, tuple[list[str], str]], disk: str, reps: int) -> dict[str, Sample]:
    """Each command once per round, in turn, for `reps` rounds (a slow spell of a shared machine spreads over all
    of them); the output file named beside each is removed before its run. Medians, and the peak of peaks."""
    samples: dict[str, list[Sample]] = {label: [] for label in commands}
    for _ in range(reps):
        for label, (command, output) in commands.items():
            if output and os.path.exists(output):
                os.remove(output)
            samples[label].append(timed(command, disk))
    for label, runs in samples.items():
        assert all(s.status == 0 for s in runs), (label, runs)
    return {
        label: Sample(
            statistics.median(s.wall for s in runs),
            statistics.median(s.cpu for s in runs),
            max(s.peak for s in runs),
            int(statistics.median(s.written for s in runs)),
            0,
        )
        for label, runs in samples.items()
    }


def sha256_of(path: str) -> str:
    return subprocess.run(["sha256sum", path], capture_output=True, text=True, check=True).stdout.split()[0]


def make_file(path: str, size: int) -> None:
    with open("/dev/urandom", "rb") as random, open(path, "wb") as out:
        left = size
        while left:
            chunk = random.read(min(left, 16 * MiB))
            out.write(chunk)
            left -= len(chunk)
        # On disk before timing: the page cache's write-back of the file just
        # made must not be charged to the tool under test.
        out.flush()
        os.fsync(out.fileno())
    os.sync()


def download_and_verify(nginx: Nginx, work: str, name: str, digest: str, reps: int) -> dict[str, Sample]:
    url = nginx.url("/" + name)
    out = os.path.join(work, "out.bin")
    commands: dict[str, tuple[list[str], str]] = {}
    folders = []
    # The layouts a service meets: one volume; /var/tmp another mount of the
    # same disk (systemd's PrivateTmp, or a partition of its own); /tmp on
    # tmpfs, named by TMPDIR.
    boxes = [Sandbox() for _ in range(3)]
    try:
        for box, (label, target, under) in zip(
            boxes,
            (
                ("quenbury, one volume", None, None),
                ("quenbury, /var/tmp a bind mount of the same disk", "/var/tmp", work),
                ("quenbury, tmpfs /tmp as TMPDIR", "/tmp", "/dev/shm"),
            ),
        ):
            box.install_agent()
            if target:
                folders.append(tempfile.mkdtemp(prefix="quenbury-bench-", dir=under))
                box.mounts, box.env["TMPDIR"] = [(folders[-1], target)], target
            commands[label] = (box.command([url, "p.pkg", digest]), box.host(box.destination("p.pkg")))
        peers = {
            "curl -o + openssl dgst": f"curl -s -o {out} {url} && openssl dgst -sha256 {out}",
            "curl -o alone": f"curl -s -o {out} {url}",
            "wget -O + openssl dgst": f"wget -q -O {out} {url} && openssl dgst -sha256 {out}",
            "aria2c --checksum": f"aria2c -q --allow-overwrite=true --file-allocation=none -d {work} -o out.bin "
            f"--checksum=sha-256={digest} {url}",
        }
        for label, command in peers.items():
            if shutil.which(command.split()[0]):
                commands[label] = (["sh", "-c", command], out)
        return alternating(commands, work, reps)
    finally:
        for box in boxes:
            box.close()
        for folder in folders:
            shutil.rmtree(folder, ignore_errors=True)
        if os.path.exists(out):
            os.remove(out)


def verify_only(path: str, digest: str, reps: int) -> dict[str, Sample]:
    with closing(Sandbox()) as box:
        box.install_agent()
        os.link(path, box.host(box.destination("p.pkg"))) if os.stat(path).st_dev == os.stat(
            box.root
        ).st_dev else shutil.copy(path, box.host(box.destination("p.pkg")))
        return alternating(
            {
                "quenbury (file in place)": (box.command(["http://127.0.0.1:1/x", "p.pkg", digest]), ""),
                "sha256sum": (["sha256sum", path], ""),
                "openssl dgst -sha256": (["openssl", "dgst", "-sha256", path], ""),
            },
            path,
            reps,
        )


def resumed_resend(nginx: Nginx, name: str, size: int, digest: str) -> tuple[int, int]:
    """Cuts a transfer at half way (nginx stopped), resumes; returns (range start, bytes re-sent beyond the cut)."""
    url = nginx.url("/slow/" + name)
    with closing(Sandbox()) as box:
        box.install_agent()
        process = box.start(url, "p.pkg", digest)
        body = box.host(body_path(url, box.destination("p.pkg")))
        while not os.path.exists(body) or os.path.getsize(body) < size // 2:
            time.sleep(0.01)
        nginx.stop()
        finish(process)
        on_disk = os.path.getsize(body)
        nginx.start()
        run = box.run(url, "p.pkg", digest)
        assert run.status == 0, run.stderr
    # nginx killed mid-transfer logs nothing for the first request; the
    # second is the resumed one.
    second = [e for e in nginx.access_log() if name in e[0]][-1]
    start = int(second[2][6:-1])
    # Everything the client received in the first run is on disk, so what it
    # received twice is what the second response repeats of those bytes.
    return start, on_disk + int(second[4]) - size, on_disk


def many_at_once(nginx: Nginx, runs: int = 16, size: int = 32 * MiB) -> float:
    """Wall seconds for `runs` downloads of different files started at once, each verified."""
    with closing(Sandbox()) as box:
        box.install_agent()
        digests = []
        for n in range(runs):
            path = os.path.join(nginx.docroot, f"load{n}.bin")
            make_file(path, size)
            digests.append(sha256_of(path))
        start = time.perf_counter()
        processes = [box.start(nginx.url(f"/load{n}.bin"), f"{n}.pkg", digests[n]) for n in range(runs)]
        assert all(finish(p).status == 0 for p in processes)
        wall = time.perf_counter() - start
        for n in range(runs):
            os.remove(os.path.join(nginx.docroot, f"load{n}.bin"))
    return wall


REFERENCE = "curl -o + openssl dgst"
ONE_VOLUME = "quenbury, one volume"


def download_table(size: int, rows: dict[str, Sample]) -> list[str]:
    reference, one = rows.get(REFERENCE), rows[ONE_VOLUME]
    lines = [
        f"## Download and verify, {size // MiB} MiB",
        "",
        f"| tool | wall s | CPU s | peak RSS MiB | written / size | wall / {REFERENCE} |",
        "|---|---|---|---|---|---|",
    ]
    for label, r in rows.items():
        ratio = f"{r.wall / reference.wall:.2f}" if reference else "-"
        lines.append(
            f"| {label} | {r.wall:.2f} | {r.cpu:.2f} | {r.peak / 1024:.1f} | {r.written / size:.2f} | {ratio} |"
        )
    layouts = [label for label in rows if label.startswith("quenbury, ") and label != ONE_VOLUME]
    lines += [
        "",
        "Layouts against one volume (wall): "
        + ", ".join(f"{label[len('quenbury, '):]} {rows[label].wall / one.wall:.2f}" for label in layouts)
        + ".",
        "",
    ]
    return lines


def main() -> None:
    reps = int(next((a for a in sys.argv[1:] if a.isdigit()), "5"))
    chosen = next((a.split("=", 1)[1] for a in sys.argv[1:] if a.startswith("--sizes=")), "64,1024,4096")
    sizes = [int(n) * MiB for n in chosen.split(",") if not ("--no-4g" in sys.argv and int(n) == 4096)]
    os.makedirs(RESULTS, exist_ok=True)
    work = tempfile.mkdtemp(prefix="quenbury-bench-", dir="/var/tmp")
    lines = [
        "# Benchmark results",
        "",
        f"Machine: {os.cpu_count()} cores; loopback nginx; every command starts from a synced page cache, the "
        f"tools take turns run by run, medians of {reps} runs. CPU s is user + system time of the command and "
        "what it waited for; written is what the disk took during the run and the sync after it, over the "
        "file's size (other writers on the machine count too).",
        "",
    ]
    scaling = []
    try:
        with closing(Nginx(rate="400m")) as nginx:
            for size in sizes:
                name = f"f{size // MiB}.bin"
                path = os.path.join(nginx.docroot, name)
                make_file(path, size)
                digest = sha256_of(path)
                # One untimed fetch first: every tool then meets the same warm
                # server and page cache (the first transfer after making the
                # file measured up to 1.6 times slower, whichever tool ran it).
                subprocess.run(["curl", "-s", "-o", "/dev/null", nginx.url("/" + name)], check=True)
                rows = download_and_verify(nginx, work, name, digest, reps)
                scaling.append((size, rows[ONE_VOLUME].wall, rows[ONE_VOLUME].peak))
                lines += download_table(size, rows)
                if size == 1024 * MiB:
                    v = verify_only(path, digest, reps)
                    vq = v["quenbury (file in place)"]
                    lines += [
                        "## Verify a file already in place, 1 GiB",
                        "",
                        "| tool | wall s | CPU s | peak RSS MiB | tool / quenbury (speed-up) |",
                        "|---|---|---|---|---|",
                    ]
                    for label, r in v.items():
                        lines.append(
                            f"| {label} | {r.wall:.2f} | {r.cpu:.2f} | {r.peak / 1024:.1f} | {r.wall / vq.wall:.2f} |"
                        )
                    lines.append("")
                    start, waste, on_disk = resumed_resend(nginx, name, size, digest)
                    lines += [
                        "## Resumed transfer, 1 GiB cut at half way",
                        "",
                        f"Bytes on disk at the cut: {on_disk}; the resumed request asked for `bytes={start}-`; "
                        f"bytes received twice over both runs: {waste} (one buffer is {MiB} bytes).",
                        "",
                    ]
                    wall = many_at_once(nginx)
                    lines += [
                        "## Sixteen runs at once",
                        "",
                        f"16 runs of 32 MiB each, different files, started together: {wall:.2f} s, "
                        f"{16 * 32 / wall:.0f} MiB/s in total.",
                        "",
                    ]
                os.remove(path)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    lines += [
        "## Growth with size (quenbury, one volume)",
        "",
        "| size MiB | wall s | s per GiB | peak RSS MiB |",
        "|---|---|---|---|",
    ]
    for size, wall, peak in scaling:
        lines.append(f"| {size // MiB} | {wall:.2f} | {wall / (size / 1024 / MiB):.2f} | {peak / 1024:.1f} |")
    with open(os.path.join(RESULTS, "results.md"), "w") as out:
        out.write("\n".join(lines) + "\n")
    plot(scaling)
    print("\n".join(lines))


def plot(scaling) -> None:
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        return
    sizes = [s / MiB for s, _, _ in scaling]
    figure, (left, right) = plt.subplots(1, 2, figsize=(9, 3.5))
    left.plot(sizes, [w for _, w, _ in scaling], "o-")
    left.set_xlabel("file MiB")
    left.set_ylabel("wall s")
    left.set_title("download + verify time")
    right.plot(sizes, [p / 1024 for _, _, p in scaling], "o-")
    right.set_xlabel("file MiB")
    right.set_ylabel("peak RSS MiB")
    right.set_title("peak memory")
    right.set_ylim(bottom=0)
    figure.tight_layout()
    figure.savefig(os.path.join(RESULTS, "scaling.png"), dpi=100)


if __name__ == "__main__":
    main()
