# SPDX-License-Identifier: Apache-2.0
"""The two-run road against real servers: the server stops mid-transfer, is restarted, and the next run
continues, or starts over where it must; once through a forward proxy, and once under packet loss."""

from harness import BODY, DAY, MOVED, RESUMING, START, SUCCESS, VERIFIED, Case, Step, failed, lost, row_tests

RANGED = "Range: bytes={kept_BytesReceived}- If-Range: {kept_EntityTag}"


def road(
    name: str, server: str, sent: list, first: list = None, second: list = START + RESUMING + MOVED + VERIFIED, **fields
) -> Case:
    return Case(
        name,
        server=server,
        url=fields.pop("url", "{origin}/slow/pkg"),
        sent=sent,
        after={"{dest}": BODY, "{state}": None},
        runs=[Step(1, START + (first or lost()), interrupt="restart"), Step(0, second)],
        **fields
    )


Rows = row_tests(
    "Rows",
    [
        road("nginx", "nginx", ["GET /slow/pkg HTTP/1.1 206 " + RANGED]),
        road("Apache with a strong tag", "apache", ["GET /slow/pkg HTTP/1.1 206 " + RANGED]),
        # A file changed within the second gets a weak tag: the date is the range's condition, and a date that
        # is not older than the answer's brings the whole entity again.
        road(
            "Apache with a weak tag",
            "apache",
            ["GET /slow/pkg HTTP/1.1 200 Range: bytes={kept_BytesReceived}- If-Range: {kept_LastModified}"],
            serve={"/pkg": (BODY, -DAY)},
        ),
        # Without a type from its table lighttpd sends neither ETag nor Last-Modified.
        road(
            "lighttpd without types",
            "lighttpd",
            ["GET /slow/pkg HTTP/1.1 200"],
            first=[failed(-1005), "Connection lost, saving resume data", "No resume data generated"],
            second=SUCCESS,
        ),
        road("lighttpd with Debian's types", "lighttpd-types", ["GET /slow/pkg HTTP/1.1 206 " + RANGED]),
        road(
            "nginx over HTTPS with HTTP/2",
            "nginx-h2",
            ["GET /slow/pkg HTTP/2.0 206 " + RANGED],
            url="https://127.0.0.1:{port_good}/slow/pkg",
        ),
        road("through squid", "nginx", ["GET {url} HTTP/1.1 200", "GET {url} HTTP/1.1 206 " + RANGED], proxy=True),
        road(
            "nginx on a loopback that drops 3% of its packets",
            "nginx",
            ["GET /slow/pkg HTTP/1.1 206 " + RANGED],
            loss=3,
        ),
    ],
)
