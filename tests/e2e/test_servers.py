# SPDX-License-Identifier: Apache-2.0
"""The two-run road against real servers: the server stops mid-transfer, is restarted, and the next run
continues, or starts over where it must; once through a forward proxy."""

from harness.expected import RESUMED, START, lost
from harness.real_servers import DAY
from harness.rows import BODY, Case, Step, row_tests

RANGED = "Range: bytes={kept_BytesReceived}- If-Range: {kept_EntityTag}"
PARTIAL = "GET /slow/pkg HTTP/1.1 206 " + RANGED
# A file changed within the second gets a weak tag: the date is the range's condition, and a date that is not older
# than the answer's brings the whole entity again.
CHANGED_NOW = {"/pkg": (BODY, -DAY)}
WHOLE_BY_DATE = "GET /slow/pkg HTTP/1.1 200 Range: bytes={kept_BytesReceived}- If-Range: {kept_LastModified}"
# What the proxy saw: the whole entity asked for, then the range.
PROXIED = ["GET {url} HTTP/1.1 200", "GET {url} HTTP/1.1 206 " + RANGED]
HTTPS = "https://127.0.0.1:{port_good}/slow/pkg"


def road(name: str, server: str, sent: list, **fields) -> Case:
    """The server stops once the body holds CUT bytes and starts again; then the second run."""
    return Case(
        name,
        server=server,
        url=fields.pop("url", "{origin}/slow/pkg"),
        sent=sent,
        after={"{dest}": BODY, "{state}": None},
        runs=[Step(1, START + lost(), interrupt="restart"), Step(0, RESUMED)],
        **fields
    )


Rows = row_tests(
    "Rows",
    [
        road("nginx continues", "nginx", [PARTIAL]),
        road("Apache with a strong tag continues", "apache", [PARTIAL]),
        road("Apache with a weak tag sends the whole file again", "apache", [WHOLE_BY_DATE], serve=CHANGED_NOW),
        road("lighttpd as Debian configures it continues", "lighttpd", [PARTIAL]),
        road("nginx over HTTPS with HTTP/2 continues", "nginx-h2", [PARTIAL.replace("1.1", "2.0")], url=HTTPS),
        road("squid forwards the range and nginx continues", "nginx", PROXIED, proxy=True),
    ],
)
