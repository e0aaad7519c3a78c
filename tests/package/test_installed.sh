#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Checks the installed quenbury package: its files are where Debian keeps
# them, and /usr/bin/quenbury, with the receiver from /usr/libexec/quenbury,
# fetches a package from a local nginx in the end-to-end sandbox. The
# autopkgtest (debian/tests) runs it; so does test_install.sh between
# installing and purging a .deb, with QUENBURY_TRACE_RECEIVER=1 so that the
# fetch is traced to the receiver it started.
set -euo pipefail
tests=$(cd "$(dirname "$0")/.." && pwd)

if [[ $(id -u) -ne 0 ]]; then
  echo "FAIL: the sandbox needs root"; exit 1
fi
for path in /usr/bin/quenbury /usr/libexec/quenbury/quenbury-receiver \
  /usr/share/man/man1/quenbury.1.gz /usr/share/doc/quenbury/{copyright,changelog.gz,README.md.gz,security.md.gz}; do
  [[ -f $path ]] || { echo "FAIL: the package has no $path"; exit 1; }
done

PYTHONPATH=$tests QUENBURY_BINARY=/usr/bin/quenbury python3 - <<'PY'
import os
import re
from contextlib import closing
from harness import Nginx, Sandbox, finish, sha256

# test_install.sh asks as well that the transfer ran in the installed receiver, started from beside the tool.
traced = os.environ.get("QUENBURY_TRACE_RECEIVER") == "1"
trace = ("strace", "-f", "-y", "-o", "/tmp/exec.trace", "-e", "trace=execveat") if traced else ()
package = bytes((i * 7919) % 251 for i in range(4 << 20))
with closing(Nginx()) as nginx, closing(Sandbox()) as box:
    url = nginx.publish("packages/Upgrade.14.pkg", package)
    box.install_agent()
    run = finish(box.start(url, "Upgrade.14.pkg", sha256(package), wrap=trace))
    assert run.status == 0, run.stderr
    assert box.read(box.destination("Upgrade.14.pkg")) == package, run.stderr
    assert run.records[-1] == "SHA256 checksum validated succesfully NSComparisonResult", run.stderr
    if traced:
        with open(box.host("/tmp/exec.trace")) as execs:
            started = re.findall(r"execveat\(\d+<([^>]*)>, \"\", .*\) = 0", execs.read())
        assert started == ["/usr/libexec/quenbury/quenbury-receiver"], started
PY
echo "the installed package fetched a package"
