# SPDX-License-Identifier: Apache-2.0
"""Shows quenbury at work: a verified download, the already-verified path,
and a transfer broken off by the server that the next run continues."""

import os
import sys
from contextlib import closing

from harness import FaultServer, Nginx, Reply, Sandbox, resume_name, sha256


def show(title, box, args):
    print(f"\n=== {title}\n$ quenbury {' '.join(args)}")
    run = box.run(*args)
    sys.stdout.write(run.stderr + run.stdout)
    print(f"exit status: {run.status}")
    return run


def main():
    package = bytes((i * 7919) % 251 for i in range(4 << 20))  # 4 MiB, the same every time
    checksum = sha256(package)
    with closing(Nginx()) as nginx, closing(Sandbox()) as box:
        url = nginx.publish("packages/Upgrade.14.pkg", package)
        box.install_agent()
        print(f"sample agent: {box.agent} (in {box.root}), zkpatch_data.plist with Quenbury = true")

        show("fresh download", box, [url, "Upgrade.14.pkg", checksum])
        destination = box.host(box.destination("Upgrade.14.pkg"))
        print(
            f"verified file: {box.destination('Upgrade.14.pkg')}, {os.path.getsize(destination)} bytes, sha256 {sha256(open(destination, 'rb').read())}"
        )
        show("again: the file is already verified", box, [url, "Upgrade.14.pkg", checksum])

        with closing(FaultServer()) as server:
            server.route("/Tools.pkg", Reply(package, close_after=1 << 20), Reply(package))
            broken = server.url("/Tools.pkg")
            show("the server breaks the transfer off after 1 MiB", box, [broken, "Tools.pkg", checksum])
            state = "/private/tmp/" + resume_name(box.destination("Tools.pkg"))
            print(f"resume state file: {state}, {len(box.read(state) or b'')} bytes")
            show("the next run continues", box, [broken, "Tools.pkg", checksum])
            print(f"second request: {server.sent()[1]}")


if __name__ == "__main__":
    main()
