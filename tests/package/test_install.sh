#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Installs the given .deb, checks it and fetches a package through it
# (test_installed.sh, tracing which receiver ran), then purges the package
# and checks that nothing of it is left. The machine ends as it was, pass or
# fail.
set -euo pipefail
deb=$(realpath "$1")
tests=$(cd "$(dirname "$0")/.." && pwd)

if [[ $(id -u) -ne 0 ]]; then
  echo "SKIP: installing a package needs root"; exit 0
fi
status=$(dpkg-query -W -f='${db:Status-Status}' quenbury 2>/dev/null || true)
if [[ -n $status && $status != not-installed ]]; then
  echo "SKIP: a quenbury package is already here ($status); not touching it"; exit 0
fi
# Paths of the package that are there already: only shared folders may be.
declare -A existed
while read -r path; do
  path=/${path#./}; path=${path%/}
  [[ -e $path ]] || continue
  [[ -d $path ]] || { echo "SKIP: $path is already there; not overwriting it"; exit 0; }
  existed[$path]=1
done < <(dpkg-deb --fsys-tarfile "$deb" | tar -t)

installed=1
trap '[[ -z $installed ]] || dpkg --purge quenbury >/dev/null 2>&1 || true' EXIT
dpkg -i "$deb" >/dev/null
mapfile -t owned < <(dpkg -L quenbury)
[[ $(dpkg-query -W -f='${Status}' quenbury) == "install ok installed" ]]
# The tool starts its receiver from ../libexec/quenbury: root's, and no one else may change it.
receiver=/usr/libexec/quenbury/quenbury-receiver
if [[ $(stat -c '%U:%G %a %F' "$receiver" 2>&1) != "root:root 755 regular file" ]]; then
  echo "FAIL: $receiver is $(stat -c '%U:%G %a %F' "$receiver" 2>&1)"; exit 1
fi

# Its fetch also traces that the transfer ran in the installed receiver.
QUENBURY_TRACE_RECEIVER=1 "$tests/package/test_installed.sh"

dpkg --purge quenbury >/dev/null
installed=
if dpkg -s quenbury >/dev/null 2>&1; then
  echo "FAIL: dpkg still knows quenbury after the purge"; exit 1
fi
for path in "${owned[@]}"; do
  [[ $path == /. || -n ${existed[$path]:-} || ! -e $path ]] && continue
  echo "FAIL: $path is left after the purge"; exit 1
done
echo "package install test passed: ${#owned[@]} paths installed, fetched, removed"
