"""The run from the command line to a verified file, against nginx and the fault server."""

from __future__ import annotations

import os
import re
import shutil
import socket
import stat
import tempfile
import unittest

from fault_server import FaultServer, Reply, unused_port
from sandbox import CANDIDATES, FALLBACK, sha256
from support import PERMITTED, NginxCase, SandboxCase, ServedCase, body_path, checksum_records, moved, naming, parameters

PACKAGE = bytes(range(256)) * 4096 + b"tail"  # 1 MiB and a little


class FreshDownloads(NginxCase):
    @classmethod
    def setUpClass(cls) -> None:
        super().setUpClass()
        cls.url = cls.nginx.publish("pkgs/Upgrade.14.pkg", PACKAGE)

    def test_fresh_download_verifies_and_leaves_nothing_behind(self) -> None:
        run = self.box.run(self.url, "Upgrade.14.pkg", sha256(PACKAGE))
        self.assertRecords(run, self.fresh_success(self.url, "Upgrade.14.pkg", PACKAGE))
        self.assertEqual(run.status, 0)
        self.assertEqual(run.stdout, "")
        self.assertEqual(self.box.read(self.box.destination("Upgrade.14.pkg")), PACKAGE)
        self.assertEqual(self.box.files_under("/var/tmp/quenbury-0"), [])
        self.assertEqual(self.box.files_under("/private/tmp"), [])

    def test_checksum_in_upper_case_and_extra_arguments(self) -> None:
        upper = sha256(PACKAGE).upper()
        run = self.box.run(self.url, "Upgrade.14.pkg", upper, "ignored", "too")
        self.assertRecords(run, self.fresh_success(self.url, "Upgrade.14.pkg", PACKAGE, checksum=upper))
        self.assertEqual(run.status, 0)

    def test_already_verified_file_is_kept(self) -> None:
        with FaultServer() as server:
            server.route("/pkg", Reply(b"other"))
            destination = self.box.destination("Upgrade.14.pkg")
            self.box.write(destination, PACKAGE)
            self.box.write(self.box.resume_state("Upgrade.14.pkg"), b"left alone")
            url = server.url("/pkg")
            run = self.box.run(url, "Upgrade.14.pkg", sha256(PACKAGE))
            self.assertRecords(run, [parameters(url, "Upgrade.14.pkg", sha256(PACKAGE)), f"download location {destination}",
                                     PERMITTED, "File already Exists"] + checksum_records(sha256(PACKAGE), sha256(PACKAGE))
                               + ["SHA256 checksum validation passed"])
            self.assertEqual(run.status, 0)
            self.assertEqual(server.requests, [])
            self.assertEqual(self.box.read(self.box.resume_state("Upgrade.14.pkg")), b"left alone")

    def test_old_file_is_replaced(self) -> None:
        """Whatever stands at the destination, a file or not, is replaced and never blocks the run."""
        destination = self.box.destination("Upgrade.14.pkg")
        def bind_socket(host: str) -> None:
            with socket.socket(socket.AF_UNIX) as listener:
                listener.bind(host)
        rows = (("older file", lambda host: self.box.write(destination, b"an older package"), None),
                ("fifo", os.mkfifo, 'Code=22 "Invalid argument"'),
                ("socket", bind_socket, 'Code=22 "Invalid argument"'),
                ("device", lambda host: os.mknod(host, 0o600 | stat.S_IFCHR, os.makedev(1, 3)), 'Code=22 "Invalid argument"'))
        for name, plant, unreadable in rows:
            with self.subTest(name=name):
                if name == "device" and os.geteuid() != 0:
                    self.skipTest("mknod needs root")
                plant(self.box.host(destination))
                run = self.box.run(self.url, "Upgrade.14.pkg", sha256(PACKAGE), timeout=60)
                expected = self.fresh_success(self.url, "Upgrade.14.pkg", PACKAGE, replaced=True)
                expected[3:3] = ["File already Exists"] + ([] if unreadable else checksum_records(sha256(b"an older package"), sha256(PACKAGE))) + [
                    "SHA256 checksum validation Failed, hence downloading new file and replacing"]
                self.assertRecords(run, expected)
                self.assertEqual(run.stdout, "" if not unreadable else f"Error reading the file or calculating SHA-256: Error Domain=NSPOSIXErrorDomain {unreadable} "
                                 f"UserInfo={{NSFilePath={destination}, NSLocalizedDescription=Invalid argument, NSLocalizedFailureReason=read}}\n")
                self.assertEqual(run.status, 0)
                self.assertEqual(self.box.read(destination), PACKAGE)
                os.remove(self.box.host(destination))

    def test_temporary_folder_on_another_volume(self) -> None:
        """The body is copied once across volumes, leaving no half file, and verified as on one volume."""
        destination = self.box.destination("Upgrade.14.pkg")
        memory = tempfile.mkdtemp(dir="/dev/shm")
        self.addCleanup(shutil.rmtree, memory, True)
        for volume in (self.box.host("/var/tmp"), memory):
            for checksum in (sha256(PACKAGE), "0" * 64):
                with self.subTest(volume=volume, checksum=checksum):
                    self.box.mounts = [(volume, "/var/tmp")]
                    run = self.box.run(self.url, "Upgrade.14.pkg", checksum)
                    self.assertRecords(run, [parameters(self.url, "Upgrade.14.pkg", checksum), f"download location {destination}", PERMITTED]
                                       + naming(destination) + moved(body_path(self.url), destination) + checksum_records(sha256(PACKAGE), checksum))
                    self.assertEqual(run.status, 0 if checksum == sha256(PACKAGE) else 1)
                    self.assertEqual(self.box.read(destination), PACKAGE if run.status == 0 else None)
                    self.assertEqual(self.box.files_under(os.path.dirname(destination)), ["Upgrade.14.pkg"] if run.status == 0 else [])
                    self.assertEqual(os.listdir(os.path.join(volume, "quenbury-0")), [])
                    if run.status == 0:
                        os.remove(self.box.host(destination))

    def test_mismatch_removes_the_file(self) -> None:
        wrong = "0" * 64
        run = self.box.run(self.url, "Upgrade.14.pkg", wrong)
        destination = self.box.destination("Upgrade.14.pkg")
        self.assertRecords(run, [parameters(self.url, "Upgrade.14.pkg", wrong), f"download location {destination}", PERMITTED]
                           + naming(destination) + moved(body_path(self.url), destination) + checksum_records(sha256(PACKAGE), wrong))
        self.assertEqual(run.status, 1)
        self.assertIsNone(self.box.read(destination))

    def test_missing_store_directory(self) -> None:
        os.rmdir(self.box.host(self.box.agent + "/store"))
        run = self.box.run(self.url, "Upgrade.14.pkg", sha256(PACKAGE))
        self.assertEqual(run.status, 1)
        self.assertEqual(run.records[-2], moved(body_path(self.url), self.box.destination("Upgrade.14.pkg"))[0])
        self.assertRegex(run.records[-1], r"^Error moving the file: Error Domain=NSPOSIXErrorDomain Code=2 ")
        self.assertEqual(self.box.files_under("/var/tmp/quenbury-0"), [])

    def test_location_in_a_sub_folder_with_dots(self) -> None:
        os.makedirs(self.box.host(self.box.destination("sub.dir")))
        run = self.box.run(self.url, "sub.dir/image.dmg", sha256(PACKAGE))
        self.assertEqual(run.status, 0)
        self.assertIn("Resume plist :Library/Brindlecote/Ostrel_Agent/store/sub.dir/resume_image_dmg.plist", run.records)


class ServerAnswers(ServedCase):
    def failure_records(self, url: str, location: str, checksum: str) -> list[str]:
        destination = self.box.destination(location)
        return [parameters(url, location, checksum), f"download location {destination}", PERMITTED] + naming(destination)

    def test_refused_connection(self) -> None:
        url = f"http://127.0.0.1:{unused_port()}/pkg"
        run = self.box.run(url, "a.pkg", sha256(b"x"))
        self.assertEqual(run.status, 1)
        self.assertEqual(run.records[:-2], self.failure_records(url, "a.pkg", sha256(b"x")))
        self.assertEqual(run.records[-2],
                         'Download failed with error: Error Domain=NSURLErrorDomain Code=-1004 "Could not connect to the server." '
                         f"UserInfo={{NSErrorFailingURLStringKey={url}, NSLocalizedDescription=Could not connect to the server., "
                         "NSUnderlyingError=CURLcode 7: Couldn't connect to server}")
        self.assertEqual(run.records[-1], "Not saving resume data")
        self.assertEqual(self.box.files_under("/private/tmp") + self.box.files_under("/var/tmp/quenbury-0"), [])

    def test_error_page_is_downloaded_and_rejected(self) -> None:
        page = b"<html>Not Found</html>"
        self.server.route("/pkg", Reply.error_page(404, page))
        url = self.server.url("/pkg")
        run = self.box.run(url, "a.pkg", sha256(PACKAGE))
        destination = self.box.destination("a.pkg")
        self.assertRecords(run, self.failure_records(url, "a.pkg", sha256(PACKAGE)) + moved(body_path(url), destination)
                           + checksum_records(sha256(page), sha256(PACKAGE)))
        self.assertEqual(run.status, 1)
        self.assertIsNone(self.box.read(destination))

    def test_unsupported_schemes_and_redirects(self) -> None:
        self.server.route("/to-file", Reply.redirect("file:///etc/passwd"))
        self.server.route("/to-ftp", Reply.redirect("ftp://127.0.0.1/x"))
        self.server.route("/loop", Reply.redirect("/loop"))
        for url, code in (("ftp://127.0.0.1/pkg", -1002), (self.server.url("/to-file"), -1002),
                          (self.server.url("/to-ftp"), -1002), (self.server.url("/loop"), -1007)):
            with self.subTest(url=url):
                run = self.box.run(url, "a.pkg", sha256(b"x"))
                self.assertEqual(run.status, 1)
                self.assertRegex(run.records[-2], rf"^Download failed with error: Error Domain=NSURLErrorDomain Code={code} ")
                self.assertEqual(run.records[-1], "Not saving resume data")
                self.assertIsNone(self.box.read(self.box.destination("a.pkg")))
        self.assertEqual(len(self.server.requests_for("/loop")), 21)

    def test_redirect_is_followed(self) -> None:
        self.server.route("/old", Reply.redirect("/new", status=301))
        self.server.route("/new", Reply(PACKAGE))
        url = self.server.url("/old")
        run = self.box.run(url, "a.pkg", sha256(PACKAGE))
        self.assertRecords(run, self.fresh_success(url, "a.pkg", PACKAGE))
        self.assertEqual(run.status, 0)

    def test_percent_in_every_argument_is_logged_verbatim(self) -> None:
        self.server.route("/a%2541%20b%25s", Reply(PACKAGE))
        url = self.server.url("/a%41 b%s")
        encoded = self.server.url("/a%2541%20b%25s")
        run = self.box.run(url, "100%d.pkg", "%s%n")
        destination = self.box.destination("100%d.pkg")
        self.assertRecords(run, [parameters(url, "100%d.pkg", "%s%n"), f"download location {destination}", PERMITTED]
                           + naming(destination) + moved(body_path(encoded), destination) + checksum_records(sha256(PACKAGE), "%s%n"))
        self.assertEqual(run.status, 1)
        self.assertEqual(self.server.requests[0].request_line, "GET /a%2541%20b%25s HTTP/1.1")

    def test_control_characters_in_every_argument_are_logged_verbatim(self) -> None:
        self.server.route("/a%09b%1B", Reply(PACKAGE))
        url = self.server.url("/a\tb\x1b")
        location = "x\x1b[2J\x7f.pkg"
        # A checksum that carries a line looking like a record of its own.
        checksum = "%n\n2026-01-01 00:00:00.000 quenbury[1:2] forged"
        run = self.box.run(url, location, checksum)
        self.assertIn(f"] {parameters(url, location, checksum)}\n", run.stderr)
        self.assertIn(f"] download location {self.box.destination(location)}\n", run.stderr)
        self.assertIn(f"{sha256(PACKAGE)}\nGiven checksum ->{checksum}\n", run.stderr)
        self.assertEqual(run.status, 1)
        self.assertEqual(self.server.requests[0].request_line, "GET /a%09b%1B HTTP/1.1")
        self.assertIsNone(self.box.read(self.box.destination(location)))

    def test_white_space_around_the_url_is_trimmed(self) -> None:
        self.server.route("/pkg", Reply(PACKAGE))
        url = " \n" + self.server.url("/pkg") + "\t \n"
        run = self.box.run(url, "a.pkg", sha256(PACKAGE))
        self.assertEqual(run.records[0], parameters(url, "a.pkg", sha256(PACKAGE)))
        # A tab is not white space here: it is sent encoded.
        self.assertEqual(self.server.requests[0].request_line, "GET /pkg%09 HTTP/1.1")


class Arguments(SandboxCase):
    def test_too_few_arguments(self) -> None:
        for args in ((), ("http://h/x",), ("http://h/x", "a.pkg")):
            with self.subTest(args=args):
                run = self.box.run(*args)
                self.assertEqual(run.status, 1)
                self.assertRegex(run.stderr, r"^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} quenbury\[\d+:\d+\] Arguments are low\n"
                                             r"usage: quenbury <url> <download-location> <sha256>\n$")
                self.assertEqual(run.stdout, "")

    def test_urls_that_do_not_form(self) -> None:
        for url, line in (("", "error in download url"), (" \n ", "error in download url"),
                          ("no scheme", "error in download url"), ("http://h/\xff", None)):
            with self.subTest(url=url):
                arg = url if line else os.fsdecode(b"http://h/\xff")
                run = self.box.run(arg, "a.pkg", "x")
                self.assertEqual(run.status, 1)
                self.assertEqual(len(run.records), 2, run.stderr)
                self.assertEqual(run.records[1], line or "Error in forming URL via addingPercentEncoding ")

    def test_refused_locations_touch_nothing(self) -> None:
        self.box.install_agent()
        self.box.allow()
        os.makedirs(self.box.host(self.box.destination("folder")))
        for location in ("", "pkgs/", "../escape.pkg", "a/../../b.pkg", "folder", "."):
            with self.subTest(location=location):
                run = self.box.run("http://127.0.0.1:1/x", location, "x")
                self.assertEqual(run.records[1:], [f"download location {self.box.destination(location)}",
                                                   "Refused download location: it must name a file inside the store directory"])
                self.assertEqual(run.status, 1)
        self.assertTrue(os.path.isdir(self.box.host(self.box.destination("folder"))))
        self.assertEqual(self.box.files_under("/private"), [])


class PolicyAndLayout(SandboxCase):
    def gate(self, url: str = "http://127.0.0.1:1/x") -> list[str]:
        run = self.box.run(url, "a.pkg", "x")
        return run.status, run.records[2:]

    def test_gate_refusals_end_with_zero(self) -> None:
        self.box.install_agent()
        cases = [
            (None, None, ["error in reading plist"]),
            ({"Quenbury": False}, None, ["DirectDownloadEnabled key not available in all cases -> false"]),
            ({"Quenbury": "true"}, {"DirectDownloadEnabled": "true"}, ["DirectDownloadEnabled key not available in all cases -> false"]),
            ([1, 2], None, ["error in reading plist"]),
        ]
        for patch, server_info, lines in cases:
            with self.subTest(patch=patch, server_info=server_info):
                for name, content in (("zkpatch_data.plist", patch), ("serverinfo.plist", server_info)):
                    path = self.box.host(self.box.agent + "/data/" + name)
                    if os.path.exists(path):
                        os.remove(path)
                    if content is not None:
                        self.box.write_config(name, content, binary=True)
                status, records = self.gate()
                self.assertEqual(records, lines + ["Quenbury -> set to false "])
                self.assertEqual(status, 0)
        os.remove(self.box.host(self.box.agent + "/data/zkpatch_data.plist"))
        os.mkfifo(self.box.host(self.box.agent + "/data/zkpatch_data.plist"))
        self.assertEqual(self.gate(), (0, ["error in reading plist", "Quenbury -> set to false "]))
        os.remove(self.box.host(self.box.agent + "/data/zkpatch_data.plist"))
        self.box.write_config("zkpatch_data.plist", b"")
        status, records = self.gate()
        self.assertRegex(records[0], r"^error in reading plist Error Domain=NSCocoaErrorDomain Code=3840 ")
        self.assertEqual(status, 0)
        self.assertEqual(self.box.files_under("/private") + self.box.files_under("/var/tmp"), [])

    def test_gate_yes_from_server_info(self) -> None:
        self.box.install_agent()
        self.box.write_config("zkpatch_data.plist", {})
        self.box.write_config("serverinfo.plist", {"DirectDownloadEnabled": "TRUE", "ENABLEDISTRIBUTIONSERVER": "No"})
        with FaultServer() as server:
            server.route("/p", Reply(b"abc"))
            run = self.box.run(server.url("/p"), "a.pkg", sha256(b"abc"))
        self.assertEqual(run.records[2], "DirectDownloadEnabled in Cloud and not under DS")
        self.assertEqual(run.status, 0)

    def test_agent_selection(self) -> None:
        # Candidate 1's folder without its service program is passed over.
        os.makedirs(self.box.host(CANDIDATES[0] + "/store"))
        self.box.install_agent(CANDIDATES[2])
        self.box.install_agent(CANDIDATES[1])
        run = self.box.run("http://127.0.0.1:1/x", "a.pkg", "x")
        self.assertEqual(run.records[1], f"download location {CANDIDATES[1]}/store/a.pkg")
        self.box.install_agent(CANDIDATES[0])
        run = self.box.run("http://127.0.0.1:1/x", "a.pkg", "x")
        self.assertEqual(run.records[1], f"download location {CANDIDATES[0]}/store/a.pkg")

    def test_fallback_without_any_agent(self) -> None:
        run = self.box.run("http://127.0.0.1:1/x", "a.pkg", "x")
        self.assertEqual(run.records[1:], [f"download location {FALLBACK}/store/a.pkg", "error in reading plist", "Quenbury -> set to false "])
        self.assertEqual(run.status, 0)


if __name__ == "__main__":
    unittest.main()
