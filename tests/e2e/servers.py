"""Apache httpd, lighttpd and squid as Debian installs them, each in the
foreground with a generated configuration in a folder of its own, on
127.0.0.1, with nginx's interface and access log fields."""

from __future__ import annotations

import os
import pwd
import signal

from nginx import Nginx

MODULES = "/usr/lib/apache2/modules"


class Apache(Nginx):
    """`/slow/` is limited by mod_ratelimit to `rate` ("<KiB>k")."""

    program = "/usr/sbin/apache2"

    def command(self, conf: str) -> list[str]:
        # One process that stays root: it reads the test's private folder.
        return [self.program, "-X", "-f", conf]

    def config(self) -> str:
        d, w = self.dir, self.docroot
        modules = "".join(f"LoadModule {name}_module {MODULES}/mod_{name}.so\n"
                          for name in ("mpm_event", "authz_core", "mime", "alias", "env", "ratelimit"))
        return f"""{modules}ServerRoot {d}
ServerName 127.0.0.1
Listen 127.0.0.1:{self.port}
PidFile {d}/httpd.pid
Mutex file:{d} default
ErrorLog {d}/error.log
TypesConfig /etc/mime.types
LogFormat "%r|%>s|%{{Range}}i|%{{If-Range}}i|%B|%{{ETag}}o|%{{Last-Modified}}o|%H" ranges
CustomLog {d}/access.log ranges
DocumentRoot {w}
<Directory {w}>
    Require all granted
</Directory>
Alias /slow/ {w}/
<Location /slow/>
    SetOutputFilter RATE_LIMIT
    SetEnv rate-limit {self.rate.rstrip("k")}
</Location>
"""


class Lighttpd(Nginx):
    """`/slow/` is limited to `rate` ("<KiB>k"). With `mime_table`, file types
    come from Debian's generated table, as in its packaged configuration."""

    program = "/usr/sbin/lighttpd"

    def __init__(self, mime_table: bool = False, **options) -> None:
        self.mime_table = mime_table
        super().__init__(**options)

    # It drops transfers in flight at once too, and writes out its buffered access log.
    stop_signal = signal.SIGTERM

    def command(self, conf: str) -> list[str]:
        return [self.program, "-D", "-f", conf]

    def config(self) -> str:
        d = self.dir
        mime = 'include_shell "/usr/share/lighttpd/create-mime.conf.pl"\n' if self.mime_table else ""
        return f"""{mime}server.document-root = "{self.docroot}"
server.bind = "127.0.0.1"
server.port = {self.port}
server.pid-file = "{d}/lighttpd.pid"
server.errorlog = "{d}/error.log"
server.modules = ("mod_accesslog", "mod_alias")
accesslog.filename = "{d}/access.log"
accesslog.format = "%r|%>s|%{{Range}}i|%{{If-Range}}i|%b|%{{ETag}}o|%{{Last-Modified}}o|%H"
$HTTP["url"] =~ "^/slow/" {{
    alias.url = ("/slow/" => "{self.docroot}/")
    connection.kbytes-per-second = {self.rate.rstrip("k")}
}}
"""


class Squid(Nginx):
    """A forward proxy at `port` that caches nothing and forwards ranges as asked."""

    program = "/usr/sbin/squid"
    USER = "proxy"
    # It removes its shared memory segments, named after the service, as it stops.
    stop_signal = signal.SIGTERM

    def start(self) -> None:
        # Squid drops root for its user, which must write its logs.
        user = pwd.getpwnam(self.USER)
        os.chown(self.dir, user.pw_uid, user.pw_gid)
        super().start()

    def command(self, conf: str) -> list[str]:
        return [self.program, "-N", "-n", f"quenbury{self.port}", "-f", conf]

    def config(self) -> str:
        d = self.dir
        return f"""http_port 127.0.0.1:{self.port}
cache_effective_user {self.USER}
pid_filename {d}/squid.pid
cache_log {d}/error.log
coredump_dir {d}
logformat ranges %rm %ru HTTP/%rv|%>Hs|%'{{Range}}>h|%'{{If-Range}}>h|%<st|%'{{ETag}}<h|%'{{Last-Modified}}<h|%rv
access_log stdio:{d}/access.log logformat=ranges
cache deny all
http_access allow localhost
http_access deny all
netdb_filename none
pinger_enable off
dns_nameservers 127.0.0.1
shutdown_lifetime 0 seconds
"""
