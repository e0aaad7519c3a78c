# SPDX-License-Identifier: Apache-2.0
"""Measures quenbury beside the tools users know, over HTTP and over HTTPS; see bench/run."""

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
from typing import Callable, NamedTuple, Optional

import harness
from harness import Nginx, Sandbox, body_path, finish

MiB = 1 << 20
RESULTS = os.path.join(os.path.dirname(__file__), "results")
HTTP, HTTPS = "HTTP", "HTTPS"
ONE_VOLUME = "quenbury, one volume"
BEFORE = "quenbury before, one volume"
CURL, CURL_DGST = "curl -o alone", "curl -o + openssl dgst"


class Sample(NamedTuple):
    wall: float  # seconds, from a synced page cache to the command's end
    cpu: float  # user + system seconds of the command and of what it waited for
    peak: int  # peak resident KiB
    written: int  # bytes the disk took while it ran and in the sync after it
    status: int


class Summary(NamedTuple):
    wall: float  # median
    wall_min: float
    cpu: float  # median
    cpu_min: float
    peak: int  # the highest of the runs, KiB
    written: int  # median


class Command(NamedTuple):
    argv: list[str]
    outputs: list[str]  # removed after each run
    program: str = ""  # the name its process goes by
    receiver: str = ""  # the name of the process that reads the network, when not the program itself


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


def balanced_orders(count: int) -> list[list[int]]:
    """Orders of `count` commands in which each takes each place equally often and follows each other command
    equally often (a Williams design): `count` orders when it is even, twice as many when it is odd."""
    first = [0] + [(k + 1) // 2 if k % 2 else count - k // 2 for k in range(1, count)]
    orders = [[(index + shift) % count for index in first] for shift in range(count)]
    return orders + [order[::-1] for order in orders] if count % 2 else orders


def round_count(commands: int, reps: int) -> int:
    """Rounds of `commands` commands: at least `reps`, whole designs only."""
    design = len(balanced_orders(commands))
    return -(-reps // design) * design


def rotated(commands: dict, reps: int, measure: Callable[[Command], object]) -> dict:
    """label -> what `measure` found of each run: at least `reps` rounds of every command, in balanced orders (whole
    designs only). Each command's output is removed after it, so that every command meets the same free memory: on
    a virtual machine, memory the guest has not touched lately costs seconds a GiB to whichever command takes it
    first."""
    labels = list(commands)
    design = balanced_orders(len(labels))
    found: dict = {label: [] for label in labels}
    for round in range(round_count(len(labels), reps)):
        for index in design[round % len(design)]:
            command = commands[labels[index]]
            found[labels[index]].append(measure(command))
            for output in command.outputs:
                if os.path.exists(output):
                    os.remove(output)
    return found


def timed_rounds(commands: dict, reps: int, disk: str) -> dict:
    """label -> Summary of rotated runs, each from a synced page cache."""
    samples = rotated(commands, reps, lambda command: timed(command.argv, disk))
    for label, runs in samples.items():
        assert all(s.status == 0 for s in runs), (label, runs)
    return {label: summary(runs) for label, runs in samples.items()}


def summary(runs: list[Sample]) -> Summary:
    return Summary(
        statistics.median(s.wall for s in runs),
        min(s.wall for s in runs),
        statistics.median(s.cpu for s in runs),
        min(s.cpu for s in runs),
        max(s.peak for s in runs),
        int(statistics.median(s.written for s in runs)),
    )


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


def urls(nginx: Nginx, name: str) -> dict[str, str]:
    return {HTTP: nginx.url("/" + name), HTTPS: f"https://127.0.0.1:{nginx.tls_ports['good']}/{name}"}


def sandboxed(box: Sandbox, args: list[str], binary: Optional[str] = None) -> list[str]:
    """The sandbox's command line for quenbury, or for another build of it at `binary`."""
    return [binary if binary and a == harness.BINARY else a for a in box.command(args)]


def download_and_verify(nginx: Nginx, work: str, name: str, digest: str, reps: int, before: Optional[str]) -> dict:
    """(protocol, tool) -> Summary, all rotated together."""
    out = os.path.join(work, "out.bin")
    address = urls(nginx, name)
    commands: dict = {}
    boxes, folders = [], []
    # The layouts a service meets: one volume; /var/tmp another mount of the
    # same disk (systemd's PrivateTmp, or a partition of its own); /tmp on
    # tmpfs, named by TMPDIR. Over HTTPS the sandbox trusts the test authority alone.
    quenburys = [
        (HTTP, ONE_VOLUME, None, None, None),
        (HTTP, "quenbury, /var/tmp a bind mount of the same disk", "/var/tmp", work, None),
        (HTTP, "quenbury, tmpfs /tmp as TMPDIR", "/tmp", "/dev/shm", None),
        (HTTPS, ONE_VOLUME, None, None, None),
    ]
    if before:
        quenburys += [(HTTP, BEFORE, None, None, before), (HTTPS, BEFORE, None, None, before)]
    try:
        for protocol, label, target, under, binary in quenburys:
            boxes.append(box := Sandbox())
            box.install_agent()
            if target:
                folders.append(tempfile.mkdtemp(prefix="quenbury-bench-", dir=under))
                box.mounts, box.env["TMPDIR"] = [(folders[-1], target)], target
            if protocol == HTTPS:
                box.overlays = [(nginx.authority, "/etc/ssl/certs/ca-certificates.crt")]
            argv = sandboxed(box, [address[protocol], "p.pkg", digest], binary)
            commands[protocol, label] = Command(argv, [box.host(box.destination("p.pkg"))])
        for protocol in (HTTP, HTTPS):
            # Over HTTPS each is told to trust the test authority; wget and aria2c speak HTTP/1.1 only.
            url, secure = address[protocol], protocol == HTTPS
            cacert = f"--cacert {nginx.authority} " * secure
            certificate = f"--ca-certificate={nginx.authority} " * secure
            older = " (HTTP/1.1)" * secure
            peers = {
                CURL_DGST: f"curl -s {cacert}-o {out} {url} && openssl dgst -sha256 {out}",
                CURL: f"curl -s {cacert}-o {out} {url}",
                f"wget -O + openssl dgst{older}": f"wget -q {certificate}-O {out} {url} && openssl dgst -sha256 {out}",
                f"aria2c --checksum{older}": f"aria2c -q {certificate}--allow-overwrite=true --file-allocation=none "
                f"-d {work} -o out.bin --checksum=sha-256={digest} {url}",
            }
            for label, command in peers.items():
                if shutil.which(command.split()[0]):
                    commands[protocol, label] = Command(["sh", "-c", command], [out])
        return timed_rounds(commands, reps, work)
    finally:
        for box in boxes:
            box.close()
        for folder in folders:
            shutil.rmtree(folder, ignore_errors=True)
        if os.path.exists(out):
            os.remove(out)


def verify_only(path: str, digest: str, reps: int) -> dict:
    with closing(Sandbox()) as box:
        box.install_agent()
        # A copy, not a second link: a file with more than one name is not taken as one the tool placed.
        shutil.copy(path, box.host(box.destination("p.pkg")))
        return timed_rounds(
            {
                "quenbury (file in place)": Command(box.command(["http://127.0.0.1:1/x", "p.pkg", digest]), []),
                "sha256sum": Command(["sha256sum", path], []),
                "openssl dgst -sha256": Command(["openssl", "dgst", "-sha256", path], []),
            },
            reps,
            path,
        )


def tail(command: list[str], program: str, receiver: str) -> Optional[float]:
    """Milliseconds from the last byte `receiver` received from the network to the exit of `program`, from the
    kernel's trace points (perf). Process names are cut to 15 characters."""
    with tempfile.TemporaryDirectory() as folder:
        data = os.path.join(folder, "perf.data")
        events = ["-e", "syscalls:sys_exit_recvfrom", "-e", "sched:sched_process_exit"]
        os.sync()
        run = subprocess.run(
            ["perf", "record", "-q", "-o", data, *events, "--", *command], capture_output=True, check=False
        )
        script = subprocess.run(["perf", "script", "-i", data, "-F", "comm,time,event,trace"], capture_output=True)
    received = ended = None
    for line in script.stdout.decode(errors="replace").splitlines():
        fields = line.split()
        if len(fields) < 4:
            continue
        stamp = float(fields[1].rstrip(":"))
        returned = int(fields[-1], 16) if "sys_exit_recvfrom" in fields[2] else 0
        if fields[0] == receiver[:15] and 0 < returned < 1 << 62:
            received = stamp
        elif fields[0] == program[:15] and "sched_process_exit" in fields[2]:
            ended = stamp
    if run.returncode != 0 or received is None or ended is None:
        return None
    return (ended - received) * 1000


def tails(nginx: Nginx, name: str, digest: str, reps: int) -> dict:
    """(protocol, tool) -> median milliseconds from the last byte received to the exit, rotated."""
    if not shutil.which("perf"):
        return {}
    address = urls(nginx, name)
    with closing(Sandbox()) as plain, closing(Sandbox()) as secure, tempfile.TemporaryDirectory(dir="/var/tmp") as work:
        secure.overlays = [(nginx.authority, "/etc/ssl/certs/ca-certificates.crt")]
        out = os.path.join(work, "out.bin")
        commands = {}
        for protocol, box in ((HTTP, plain), (HTTPS, secure)):
            box.install_agent()
            argv = box.command([address[protocol], "p.pkg", digest])
            destination = [box.host(box.destination("p.pkg"))]
            commands[protocol, "quenbury"] = Command(argv, destination, "quenbury", "quenbury-receiver")
            argv = ["curl", "-s", "--cacert", nginx.authority, "-o", out, address[protocol]]
            commands[protocol, "curl -o"] = Command(argv, [out], "curl", "curl")
        found = rotated(commands, reps, lambda command: tail(command.argv, command.program, command.receiver))
    return {label: statistics.median(ms) for label, ms in found.items() if None not in ms}


def resumed_resend(nginx: Nginx, name: str, size: int, digest: str) -> tuple[int, int, int]:
    """Cuts a transfer at half way (nginx stopped), resumes; returns (range start, bytes re-sent beyond the cut,
    bytes on disk at the cut)."""
    url = nginx.url("/slow/" + name)
    with closing(Sandbox()) as box:
        box.install_agent()
        process = box.start(url, "p.pkg", digest)
        body = box.host(body_path(box.destination("p.pkg")))
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


def ratio(row: Summary, reference: Optional[Summary], of: str = "wall") -> str:
    """Of the medians, and in brackets of the minima."""
    if not reference:
        return "-"
    return f"{getattr(row, of) / getattr(reference, of):.2f} ({getattr(row, of + '_min') / getattr(reference, of + '_min'):.2f})"


def download_table(protocol: str, size: int, rows: dict) -> list[str]:
    mine = {label: r for (p, label), r in rows.items() if p == protocol}
    curl, curl_dgst, one = mine.get(CURL), mine.get(CURL_DGST), mine[ONE_VOLUME]
    lines = [
        f"## Download and verify over {protocol}{' (HTTP/2 where the tool speaks it)' * (protocol == HTTPS)}, "
        f"{size // MiB} MiB",
        "",
        "| tool | wall s median | wall s min | CPU s median | CPU s min | peak RSS MiB | written / size "
        f"| wall / {CURL} | wall / {CURL_DGST} | CPU / {CURL_DGST} |",
        "|---|---|---|---|---|---|---|---|---|---|",
    ]
    for label, r in mine.items():
        lines.append(
            f"| {label} | {r.wall:.2f} | {r.wall_min:.2f} | {r.cpu:.2f} | {r.cpu_min:.2f} | {r.peak / 1024:.1f} "
            f"| {r.written / size:.2f} | {ratio(r, curl)} | {ratio(r, curl_dgst)} | {ratio(r, curl_dgst, 'cpu')} |"
        )
    layouts = [label for label in mine if label.startswith("quenbury, ") and label != ONE_VOLUME]
    if layouts:
        lines += [
            "",
            "Layouts against one volume (wall, medians and minima): "
            + ", ".join(f"{label[len('quenbury, '):]} {ratio(mine[label], one)}" for label in layouts)
            + ".",
        ]
    return lines + [""]


def negotiated(nginx: Nginx) -> str:
    """The TLS version, cipher and HTTP version that curl gets from the server, as its verbose output says them."""
    url = f"https://127.0.0.1:{nginx.tls_ports['good']}/"
    said = subprocess.run(["curl", "-sv", "--cacert", nginx.authority, "-o", "/dev/null", url], capture_output=True)
    found = re.findall(r"SSL connection using (.*)|using (HTTP/\S+)", said.stderr.decode(errors="replace"))
    return ", ".join(part.strip() for pair in found for part in pair if part) or "unknown"


def load() -> str:
    with open("/proc/loadavg") as average:
        return " ".join(average.read().split()[:3])


def main() -> None:
    reps = int(next((a for a in sys.argv[1:] if a.isdigit()), "9"))
    chosen = next((a.split("=", 1)[1] for a in sys.argv[1:] if a.startswith("--sizes=")), "64,256,1024,4096")
    before = next((a.split("=", 1)[1] for a in sys.argv[1:] if a.startswith("--before=")), None)
    sizes = [int(n) * MiB for n in chosen.split(",") if not ("--no-4g" in sys.argv and int(n) == 4096)]
    os.makedirs(RESULTS, exist_ok=True)
    work = tempfile.mkdtemp(prefix="quenbury-bench-", dir="/var/tmp")
    started, loads = time.time(), [load()]
    lines = []
    growth: dict = {}
    try:
        with closing(Nginx(rate="400m", tls=True, http2=True)) as nginx:
            tls = negotiated(nginx)
            for size in sizes:
                name = f"f{size // MiB}.bin"
                path = os.path.join(nginx.docroot, name)
                make_file(path, size)
                digest = sha256_of(path)
                # One untimed fetch over each first: every tool then meets the
                # same warm server and page cache (the first transfer after
                # making the file measured up to 1.6 times slower, whichever tool ran it).
                for url in urls(nginx, name).values():
                    subprocess.run(["curl", "-s", "--cacert", nginx.authority, "-o", "/dev/null", url], check=True)
                rows = download_and_verify(nginx, work, name, digest, reps, before)
                loads.append(load())
                for (protocol, label), r in rows.items():
                    growth.setdefault((protocol, label), []).append((size, r))
                lines += download_table(HTTP, size, rows) + download_table(HTTPS, size, rows)
                if size == 1024 * MiB:
                    lines += at_one_gib(nginx, path, name, size, digest, reps)
                    loads.append(load())
                os.remove(path)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    lines += ["## Growth with size (quenbury, one volume)", ""]
    lines += ["| size MiB | HTTP wall s per GiB | HTTPS wall s per GiB | peak RSS MiB |", "|---|---|---|---|"]
    for (size, plain), (_, secure) in zip(growth[HTTP, ONE_VOLUME], growth[HTTPS, ONE_VOLUME]):
        per_gib = 1024 * MiB / size
        lines.append(
            f"| {size // MiB} | {plain.wall * per_gib:.2f} | {secure.wall * per_gib:.2f} "
            f"| {max(plain.peak, secure.peak) / 1024:.1f} |"
        )
    header = [
        "# Benchmark results",
        "",
        f"Machine: {os.cpu_count()} cores; nginx on 127.0.0.1 (HTTPS as curl negotiated it: {tls}; a test "
        f"authority each tool is told to trust). `bench/run {' '.join(sys.argv[1:])}` took {(time.time() - started) / 60:.0f} min; "
        f"load average (1, 5, 15 min) at the start and after each size: {'; '.join(loads)}.",
        "",
        f"All {len(growth)} download commands of a size run together, {round_count(len(growth), reps)} rounds in "
        "balanced orders: each command takes each place, and follows each other command, equally often. Before each command the page cache is synced "
        "(`sync`: the write-back of the one before is not charged to it); after it, its output is removed, so "
        "every command meets the same free memory. Ratios are of the medians, and in brackets of the minima. CPU s "
        "is user + system time of the command and what it waited for; written is what the disk took during the "
        "run and the sync after it, over the file's size (other writers on the machine count too).",
        "",
    ]
    with open(os.path.join(RESULTS, "results.md"), "w") as out:
        out.write("\n".join(header + lines) + "\n")
    plot(growth)
    print("\n".join(header + lines))


def at_one_gib(nginx: Nginx, path: str, name: str, size: int, digest: str, reps: int) -> list[str]:
    lines = []
    v = verify_only(path, digest, reps)
    vq = v["quenbury (file in place)"]
    lines += [
        "## Verify a file already in place, 1 GiB",
        "",
        "| tool | wall s median | wall s min | CPU s median | peak RSS MiB | tool / quenbury (speed-up) |",
        "|---|---|---|---|---|---|",
    ]
    for label, r in v.items():
        lines.append(
            f"| {label} | {r.wall:.2f} | {r.wall_min:.2f} | {r.cpu:.2f} | {r.peak / 1024:.1f} | {ratio(r, vq)} |"
        )
    lines.append("")
    if found := tails(nginx, name, digest, reps):
        lines += [
            "## From the last byte received to the exit, 1 GiB",
            "",
            "Medians in ms, from the kernel's trace points (the last `recvfrom` of the network that returned data, in "
            "quenbury's receiver or in curl; the tool's exit); the sandbox's own exit is not counted.",
            "",
            "| tool | HTTP ms | HTTPS ms |",
            "|---|---|---|",
        ]
        for tool in ("quenbury", "curl -o"):
            lines.append(f"| {tool} | {found.get((HTTP, tool), 0):.1f} | {found.get((HTTPS, tool), 0):.1f} |")
        lines.append("")
    start, waste, on_disk = resumed_resend(nginx, name, size, digest)
    lines += [
        "## Resumed transfer, 1 GiB cut at half way",
        "",
        f"Bytes on disk at the cut: {on_disk}; the resumed request asked for `bytes={start}-`; "
        f"bytes received twice over both runs: {waste}.",
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
    return lines


def plot(growth: dict) -> None:
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
        import matplotlib.ticker
    except ImportError:
        return
    figure, panels = plt.subplots(1, 2, figsize=(11, 4.5), sharey=True)
    for panel, protocol in zip(panels, (HTTP, HTTPS)):
        sizes = []
        for (p, label), points in growth.items():
            if p != protocol or (label.startswith("quenbury, ") and label != ONE_VOLUME):
                continue
            sizes = [s // MiB for s, _ in points]
            panel.plot(sizes, [r.wall * 1024 * MiB / s for s, r in points], "o-", label=label)
        # Logarithmic both ways: the slowest tool takes several times the others' time.
        panel.set_xscale("log", base=2)
        panel.set_yscale("log")
        panel.set_xticks(sizes, [str(size) for size in sizes])
        panel.yaxis.set_major_formatter(matplotlib.ticker.ScalarFormatter())
        panel.yaxis.set_minor_formatter(matplotlib.ticker.ScalarFormatter())
        panel.set_xlabel("file MiB")
        panel.set_title(f"download + verify over {protocol}")
        panel.grid(True, which="both", alpha=0.3)
        panel.legend(fontsize="small")
    panels[0].set_ylabel("wall s per GiB (median)")
    figure.tight_layout()
    figure.savefig(os.path.join(RESULTS, "scaling.png"), dpi=100)


if __name__ == "__main__":
    main()
