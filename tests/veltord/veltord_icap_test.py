#!/usr/bin/env python3
"""veltord's ICAP service driven by programs nobody here wrote: c-icap-client,
and Squid as a forward proxy in front of a local origin, each against a
veltord of its own on a loopback port the system chooses.

Run by ctest: veltord_icap_test.py VELTORD VELTOR DATABASE SAMPLES [unittest args]
"""
import gzip
import http.server
import os
import pwd
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from veltord_clients_test import Service, TEST_BYTES, TEST_RULE, read_all, zip_holding  # noqa: E402

BIG = 200 << 20
# Set by ctest for a sanitizer build, whose memory figures say nothing.
SANITIZED = os.environ.get("VELTOR_SANITIZED") == "1"


def icap_port(service):
    for line in service.text().splitlines():
        if " ready " in line:
            return int(line.split(" icap=")[1].split()[0].rsplit(":", 1)[1])
    raise AssertionError("no icap port in the log:\n" + service.text())


def rss_kib(pid):
    with open("/proc/%d/status" % pid) as f:
        return int(re.search(r"VmRSS:\s+(\d+)", f.read()).group(1))


class IcapTest(unittest.TestCase):
    options = ()

    def setUp(self):
        self.folder = tempfile.mkdtemp(prefix="veltord-icap-")
        self.service = Service(self.folder, "--icap", "127.0.0.1:0", *self.options)
        self.port = icap_port(self.service)

    def tearDown(self):
        status = self.service.stop()
        text = self.service.text()
        shutil.rmtree(self.folder, ignore_errors=True)
        self.assertEqual(status, 0, text)

    def write(self, name, data):
        path = os.path.join(self.folder, name)
        with open(path, "wb") as f:
            f.write(data)
        return path

    def ask(self, payload):
        with socket.create_connection(("127.0.0.1", self.port), timeout=10) as s:
            s.sendall(payload)
            return read_all(s)


class CIcapClient(IcapTest):
    def client(self, *arguments):
        result = subprocess.run(["c-icap-client", "-i", "127.0.0.1", "-p", str(self.port), "-s", "veltor", "-v",
                                 *arguments], capture_output=True, text=True, timeout=60)
        return result.stdout + result.stderr

    def test_options(self):
        out = self.client()
        for header in ("ICAP/1.0 200 OK", "Methods: RESPMOD, REQMOD", "Allow: 204", "Preview: 4096",
                       "Transfer-Preview: *", "Encapsulated: null-body=0", "Max-Connections: 256"):
            self.assertIn(header, out)
        self.assertRegex(out, r'ISTag: "[^"]+"')

    def test_respmod_with_and_without_preview(self):
        infected = self.write("test-file.com", TEST_BYTES)
        clean = self.write("clean.bin", os.urandom(300000))
        for preview in ([], ["-nopreview"], ["-w", "16"], ["-no204"]):
            with self.subTest(preview=preview):
                out = self.client("-f", infected, "-resp", "http://origin/test-file.com", *preview)
                self.assertIn("HTTP/1.1 403 Forbidden", out)
                self.assertIn("X-Infection-Found: Type=0; Resolution=2; Threat=%s;" % TEST_RULE, out)
                self.assertIn("X-Violations-Found: 1", out)
                self.assertIn(TEST_RULE, out.split("ICAP HEADERS")[0])  # in the page
                returned = os.path.join(self.folder, "returned")
                out = self.client("-f", clean, "-resp", "http://origin/clean.bin", "-o", returned, *preview)
                if preview == ["-no204"]:
                    # Not allowed 204: the message comes back unmodified.
                    self.assertIn("ICAP/1.0 200 OK", out)
                    with open(returned, "rb") as a, open(clean, "rb") as b:
                        self.assertEqual(a.read(), b.read())
                else:
                    self.assertIn("204", out)
        self.assertIn("found", self.service.text())

    def test_istag_changes_with_a_reload(self):
        before = re.search(r'ISTag: ("[^"]+")', self.client()).group(1)
        self.service.process.send_signal(1)  # SIGHUP
        deadline = time.monotonic() + 20
        while " reloaded " not in self.service.text():
            self.assertLess(time.monotonic(), deadline)
            time.sleep(0.05)
        after = re.search(r'ISTag: ("[^"]+")', self.client()).group(1)
        self.assertNotEqual(before, after)

    def test_malformed_requests_get_400_and_the_service_goes_on(self):
        head = b"RESPMOD icap://127.0.0.1/veltor ICAP/1.0\r\nHost: x\r\n"
        http = b"HTTP/1.1 200 OK\r\n\r\n"
        cases = {
            "an offset inside a header block": head + b"Encapsulated: res-hdr=0, res-body=10\r\n\r\n" + http,
            "offsets falling": head + b"Encapsulated: res-hdr=5, res-body=0\r\n\r\n" + http,
            "a chunk size that lies": head + b"Encapsulated: res-hdr=0, res-body=19\r\n\r\n" + http +
            b"3\r\nabcdef\r\n0\r\n\r\n",
            "a chunk size not hex": head + b"Encapsulated: res-hdr=0, res-body=19\r\n\r\n" + http + b"zz\r\n",
            "a head past the limit": head + b"X-Long: " + b"a" * 20000 + b"\r\n\r\n",
            "a missing CR": b"OPTIONS icap://127.0.0.1/veltor ICAP/1.0\nHost: x\n\n",
            "no Encapsulated": head + b"\r\n",
        }
        for name, payload in cases.items():
            with self.subTest(name):
                self.assertTrue(self.ask(payload).startswith(b"ICAP/1.0 400 "), name)
        # A gzip-encoded body that does not decode is not scanned whole: blocked.
        gzip_head = b"HTTP/1.1 200 OK\r\nContent-Encoding: gzip\r\n\r\n"
        reply = self.ask(head + b"Allow: 204\r\nConnection: close\r\nEncapsulated: res-hdr=0, res-body=%d\r\n\r\n"
                         % len(gzip_head) + gzip_head + b"8\r\nnot gzip\r\n0\r\n\r\n")
        self.assertIn(b"403 Forbidden", reply)
        self.assertIn(b"could not be scanned whole", reply)
        self.assertTrue(self.ask(b"OPTIONS icap://127.0.0.1/other ICAP/1.0\r\n\r\n").startswith(b"ICAP/1.0 404 "))
        self.assertTrue(self.ask(b"PUT icap://127.0.0.1/veltor ICAP/1.0\r\n\r\n").startswith(b"ICAP/1.0 405 "))
        # A request that stops: the read timeout answers it.
        with socket.create_connection(("127.0.0.1", self.port), timeout=10) as s:
            s.sendall(head + b"Encapsulated: res-hdr=0, res-body=19\r\n\r\n" + http + b"100\r\nabc")
            s.shutdown(socket.SHUT_WR)
            self.assertEqual(read_all(s), b"")
        self.assertIn("ICAP/1.0 200 OK", self.client())


class Limits(IcapTest):
    """A body past max-stream is blocked, or with limits-ok passed; the
    choice is logged."""
    options = ("--max-stream", "64K")

    def test_a_body_past_the_limit(self):
        body = self.write("big.bin", os.urandom(200000))
        for limits_ok, expected in ((False, "403 Forbidden"), (True, "204")):
            with self.subTest(limits_ok=limits_ok):
                if limits_ok:
                    self.service.stop()
                    self.service = Service(self.folder, "--icap", "127.0.0.1:0", *self.options, "--limits-ok")
                    self.port = icap_port(self.service)
                result = subprocess.run(["c-icap-client", "-i", "127.0.0.1", "-p", str(self.port), "-s", "veltor",
                                         "-v", "-f", body], capture_output=True, text=True, timeout=60)
                out = result.stdout + result.stderr
                self.assertIn(expected, out)
                self.assertIn("icap-unscanned", self.service.text())
                self.assertIn("passed (limits-ok)" if limits_ok else "action=blocked", self.service.text())

    def test_a_long_body_past_the_limit_comes_back_whole(self):
        # Past the limit, with limits-ok and no 204 allowed, the body kept in
        # the spool (written piece by piece while it is fed) is sent back.
        self.service.stop()
        self.service = Service(self.folder, "--icap", "127.0.0.1:0", "--max-stream", "2M", "--limits-ok")
        self.port = icap_port(self.service)
        body = self.write("long.bin", os.urandom(5 << 20))
        returned = os.path.join(self.folder, "returned")
        result = subprocess.run(["c-icap-client", "-i", "127.0.0.1", "-p", str(self.port), "-s", "veltor", "-v",
                                 "-f", body, "-resp", "http://origin/long.bin", "-no204", "-o", returned],
                                capture_output=True, text=True, timeout=60)
        self.assertIn("ICAP/1.0 200 OK", result.stdout + result.stderr)
        with open(returned, "rb") as a, open(body, "rb") as b:
            self.assertEqual(a.read(), b.read())

    def test_a_long_clean_body_comes_back_whole(self):
        # Sent back from its pieces in memory, or from the file once past
        # spool-memory (2M: one piece kept, the rest in the file).
        body = self.write("long.bin", os.urandom(5 << 20))
        for options in ((), ("--spool-memory", "2M")):
            with self.subTest(options=options):
                self.service.stop()
                self.service = Service(self.folder, "--icap", "127.0.0.1:0", *options)
                self.port = icap_port(self.service)
                returned = os.path.join(self.folder, "returned%d" % len(options))
                result = subprocess.run(["c-icap-client", "-i", "127.0.0.1", "-p", str(self.port), "-s", "veltor",
                                         "-v", "-f", body, "-resp", "http://origin/long.bin", "-no204", "-o",
                                         returned], capture_output=True, text=True, timeout=60)
                self.assertIn("ICAP/1.0 200 OK", result.stdout + result.stderr)
                with open(returned, "rb") as a, open(body, "rb") as b:
                    self.assertEqual(a.read(), b.read())


def respmod(stream, body):
    """One RESPMOD on a kept connection (a file from socket.makefile):
    the ICAP status, the ISTag and the encapsulated HTTP body, if any."""
    http = b"HTTP/1.1 200 OK\r\nContent-Length: %d\r\n\r\n" % len(body)
    stream.write(b"RESPMOD icap://127.0.0.1/veltor ICAP/1.0\r\nHost: x\r\nAllow: 204\r\n"
                 b"Encapsulated: res-hdr=0, res-body=%d\r\n\r\n" % len(http) + http +
                 b"%x\r\n" % len(body) + body + b"\r\n0\r\n\r\n")
    stream.flush()
    head = []
    while (line := stream.readline()) not in (b"\r\n", b""):
        head.append(line.decode())
    status = int(head[0].split()[1])
    fields = dict(line.rstrip().split(": ", 1) for line in head[1:] if ": " in line)
    content = b""
    if status == 200:
        stream.read(int(fields["Encapsulated"].split("res-body=")[1]))
        while (size := int(stream.readline(), 16)) > 0:
            content += stream.read(size)
            stream.readline()
        stream.readline()
    return status, fields["ISTag"], content


class ReloadUnderLoad(IcapTest):
    def test_reloads_change_the_istag_and_fail_no_request(self):
        bodies = [os.urandom(n) for n in (10, 5000, 300000)] + [b"x" * 1000 + TEST_BYTES]
        tags, failures = set(), []
        stop = threading.Event()

        def client(index):
            with socket.create_connection(("127.0.0.1", self.port), timeout=30) as s:
                stream = s.makefile("rwb")
                count = 0
                while not stop.is_set() or count < 20:
                    body = bodies[(index + count) % len(bodies)]
                    status, istag, content = respmod(stream, body)
                    tags.add(istag)
                    infected = TEST_BYTES in body
                    if (status, TEST_RULE.encode() in content) != ((200, True) if infected else (204, False)):
                        failures.append((index, count, status))
                    count += 1
        threads = [threading.Thread(target=client, args=(i,)) for i in range(8)]
        for thread in threads:
            thread.start()
        for reload in range(5):
            self.service.process.send_signal(1)  # SIGHUP
            deadline = time.monotonic() + 30
            while self.service.text().count(" reloaded ") <= reload and time.monotonic() < deadline:
                time.sleep(0.05)
        stop.set()
        for thread in threads:
            thread.join()
        self.assertEqual(failures, [])
        self.assertEqual(self.service.text().count(" reloaded "), 5)
        self.assertGreaterEqual(len(tags), 3, tags)


class StalledClient(IcapTest):
    options = ("--read-timeout", "1")

    def test_a_stalled_request_times_out_with_400(self):
        with socket.create_connection(("127.0.0.1", self.port), timeout=10) as s:
            s.sendall(b"RESPMOD icap://127.0.0.1/veltor ICAP/1.0\r\nEncapsulated: res-hdr=0, res-body=19\r\n\r\n"
                      b"HTTP/1.1 200 OK\r\n\r\n10\r\nabc")
            self.assertTrue(read_all(s).startswith(b"ICAP/1.0 400 "))


class Origin(http.server.ThreadingHTTPServer):
    """The origin Squid fetches from: files from a folder; /gzip/NAME the
    file gzip-encoded; /big/SIZE that many zero bytes; POST answered 200.
    Bodies go out at a web server's pace, 16 KiB a millisecond: Squid 5
    stops reading an origin that fills its 64 KiB RESPMOD buffer faster than
    the ICAP service drains it, and never resumes (Squid bug 5352, fixed in
    Squid 6); the small files stay under 64 KiB for the same reason."""
    daemon_threads = True


class OriginHandler(http.server.SimpleHTTPRequestHandler):
    def log_message(self, *arguments):
        pass

    def do_GET(self):
        if self.path.startswith("/gzip/"):
            with open(os.path.join(self.directory, self.path[6:]), "rb") as f:
                body = gzip.compress(f.read())
            self.send_response(200)
            self.send_header("Content-Encoding", "gzip")
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body)
            return
        if self.path.startswith("/big/"):
            left = int(self.path[5:])
            self.send_response(200)
            self.send_header("Content-Length", str(left))
            self.end_headers()
            block = b"\0" * 16384
            while left:
                n = min(left, len(block))
                self.wfile.write(block[:n])
                left -= n
                time.sleep(0.001)
            return
        super().do_GET()

    def copyfile(self, source, outputfile):
        while block := source.read(16384):
            outputfile.write(block)
            time.sleep(0.001)

    def do_POST(self):
        self.rfile.read(int(self.headers.get("Content-Length", "0")))
        self.send_response(200)
        self.send_header("Content-Length", "3")
        self.end_headers()
        self.wfile.write(b"ok\n")


SQUID_CONF = """\
http_port 127.0.0.1:{http_port}
http_access allow localhost
http_access deny all
cache deny all
cache_mem 8 MB
cache_effective_user {user}
pid_filename {folder}/squid.pid
access_log stdio:{folder}/access.log
cache_log {folder}/cache.log
cache_store_log none
coredump_dir {folder}
shutdown_lifetime 1 seconds
icap_enable on
icap_service veltor_resp respmod_precache bypass=off icap://127.0.0.1:{icap_port}/veltor
icap_service veltor_req reqmod_precache bypass=off icap://127.0.0.1:{icap_port}/veltor
adaptation_access veltor_resp allow all
adaptation_access veltor_req allow all
"""


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Squid(IcapTest):
    # A body is held in memory only within spool-memory; past it, in a file.
    options = ("--max-stream", "256M", "--spool-memory", "16M")

    def setUp(self):
        super().setUp()
        www = os.path.join(self.folder, "www")
        os.mkdir(www)
        for name, data in (("test-file.com", TEST_BYTES), ("clean.bin", os.urandom(48 << 10)),
                           ("inside.zip", zip_holding("inner/test-file.com", TEST_BYTES))):
            with open(os.path.join(www, name), "wb") as f:
                f.write(data)
        handler = lambda *a, **k: OriginHandler(*a, directory=www, **k)  # noqa: E731
        self.origin = Origin(("127.0.0.1", 0), handler)
        threading.Thread(target=self.origin.serve_forever, daemon=True).start()
        self.origin_url = "http://127.0.0.1:%d" % self.origin.server_address[1]
        # Squid drops root for cache_effective_user: its folder must be
        # theirs to write; as anyone else it runs as who started it.
        squid_folder = os.path.join(self.folder, "squid")
        os.mkdir(squid_folder)
        user = pwd.getpwuid(os.getuid()).pw_name
        if os.getuid() == 0:
            user = "proxy"
            os.chmod(self.folder, 0o755)
            os.chmod(squid_folder, 0o777)
        self.proxy_port = free_port()
        conf = os.path.join(squid_folder, "squid.conf")
        with open(conf, "w") as f:
            f.write(SQUID_CONF.format(http_port=self.proxy_port, user=user, folder=squid_folder,
                                      icap_port=self.port))
        self.squid_log = os.path.join(squid_folder, "cache.log")
        self.squid = subprocess.Popen(["squid", "-N", "-f", conf], stdout=subprocess.DEVNULL,
                                      stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + 30
        while True:
            try:
                socket.create_connection(("127.0.0.1", self.proxy_port), timeout=1).close()
                break
            except OSError:
                if self.squid.poll() is not None or time.monotonic() > deadline:
                    raise AssertionError("squid did not start:\n" + self.read_squid_log())
                time.sleep(0.1)

    def read_squid_log(self):
        try:
            with open(self.squid_log) as f:
                return f.read()
        except OSError:
            return ""

    def tearDown(self):
        self.squid.terminate()
        try:
            self.squid.wait(timeout=30)
        except subprocess.TimeoutExpired:
            self.squid.kill()
        self.origin.shutdown()
        self.origin.server_close()
        super().tearDown()

    def curl(self, path, *arguments):
        result = subprocess.run(["curl", "-s", "-x", "127.0.0.1:%d" % self.proxy_port, "-o", "-",
                                 "-w", "\n%{http_code}", *arguments, self.origin_url + path],
                                capture_output=True, timeout=300)
        body, _, status = result.stdout.rpartition(b"\n")
        return int(status or 0), body

    def test_downloads_and_uploads_through_squid(self):
        status, body = self.curl("/test-file.com")
        self.assertEqual(status, 403)
        self.assertIn(TEST_RULE.encode(), body)
        status, body = self.curl("/clean.bin")
        self.assertEqual(status, 200, self.read_squid_log()[-2000:])
        with open(os.path.join(self.folder, "www", "clean.bin"), "rb") as f:
            self.assertEqual(body, f.read())
        for path in ("/inside.zip", "/gzip/test-file.com", "/gzip/inside.zip"):
            with self.subTest(path):
                status, body = self.curl(path)
                self.assertEqual(status, 403, self.read_squid_log()[-2000:])
                self.assertIn(TEST_RULE.encode(), body)
        status, body = self.curl("/upload", "--data-binary", b"form=" + TEST_BYTES)
        self.assertEqual(status, 403)
        self.assertIn(TEST_RULE.encode(), body)
        status, body = self.curl("/upload", "--data-binary", b"form=harmless")
        self.assertEqual((status, body), (200, b"ok\n"))

    def test_a_large_download_passes_without_being_held_in_memory(self):
        before = rss_kib(self.service.process.pid)
        peak = [before]
        done = threading.Event()

        def watch():
            while not done.wait(0.2):
                peak[0] = max(peak[0], rss_kib(self.service.process.pid))
        watcher = threading.Thread(target=watch)
        watcher.start()
        try:
            result = subprocess.run("curl -s -x 127.0.0.1:%d %s/big/%d | wc -c" % (self.proxy_port, self.origin_url, BIG),
                                    shell=True, capture_output=True, text=True, timeout=300)
        finally:
            done.set()
            watcher.join()
        self.assertEqual(int(result.stdout), BIG, self.read_squid_log()[-2000:])
        if not SANITIZED:  # a sanitizer's allocator keeps freed memory in quarantine
            self.assertLess(peak[0] - before, 32 << 10, "veltord grew from %d to %d KiB" % (before, peak[0]))


if __name__ == "__main__":
    unittest.main(argv=[sys.argv[0]] + sys.argv[5:])
