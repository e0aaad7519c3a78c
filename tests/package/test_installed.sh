#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Checks the installed quenbury package: its files are where Debian keeps
# them, and /usr/bin/quenbury, with the receiver from /usr/libexec/quenbury,
# fetches a package from a local nginx in the end-to-end sandbox. The
# autopkgtest (debian/tests) runs it; so does test_install.sh between
# installing and purging a .deb.
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
from contextlib import closing
from harness import Nginx, Sandbox, sha256

package = bytes((i * 7919) % 251 for i in range(4 << 20))
with closing(Nginx()) as nginx, closing(Sandbox()) as box:
    url = nginx.publish("packages/Upgrade.14.pkg", package)
    box.install_agent()
    run = box.run(url, "Upgrade.14.pkg", sha256(package))
    assert run.status == 0, run.stderr
    assert box.read(box.destination("Upgrade.14.pkg")) == package, run.stderr
    assert run.records[-1] == "SHA256 checksum validated succesfully NSComparisonResult", run.stderr
PY
echo "the installed package fetched a package"
