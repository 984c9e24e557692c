#!/usr/bin/env python3
"""veltord served to clients nobody here wrote (clamdscan, pyclamd, curl) and to
clients that misbehave, each test against a veltord of its own on a
temporary Unix socket and loopback ports the system chooses.

Run by ctest: veltord_clients_test.py VELTORD VELTOR DATABASE SAMPLES [unittest args]
"""
import gzip
import io
import json
import os
import re
import random
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time
import unittest
import urllib.parse
import zipfile

import pyclamd

VELTORD, VELTOR, DATABASE, SAMPLES = sys.argv[1:5]
TEST_FILE = os.path.join(SAMPLES, "test-file.com")
TEST_RULE = "Test.File.AntivirusTestString"
with open(TEST_FILE, "rb") as f:
    TEST_BYTES = f.read()


class Service:
    """A veltord in the foreground; its log is kept for the test to read."""

    def __init__(self, folder, *options):
        self.socket = os.path.join(folder, "veltord.sock")
        self.log_path = os.path.join(folder, "veltord.log")
        self.log = open(self.log_path, "w+")
        self.process = subprocess.Popen(
            [VELTORD, "--foreground", "--db", DATABASE, "--unix-socket", self.socket, "--tcp", "127.0.0.1:0",
             "--http", "127.0.0.1:0", "--threads", "2", *options],
            stderr=self.log, stdin=subprocess.DEVNULL)
        self.port = self.http_port = None
        deadline = time.monotonic() + 20
        while self.port is None:
            if time.monotonic() > deadline or self.process.poll() is not None:
                raise AssertionError("veltord did not start:\n" + self.text())
            for line in self.text().splitlines():
                if " ready " in line:
                    self.port, self.http_port = (int(line.split(" %s=" % key)[1].split()[0].rsplit(":", 1)[1])
                                                 for key in ("tcp", "http"))
            time.sleep(0.02)

    def text(self):
        with open(self.log_path) as f:
            return f.read()

    def stop(self):
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
        status = self.process.wait(timeout=20)
        self.log.close()
        return status

    def connect(self, tcp=False):
        if tcp:
            s = socket.create_connection(("127.0.0.1", self.port), timeout=10)
        else:
            s = socket.socket(socket.AF_UNIX)
            s.settimeout(10)
            s.connect(self.socket)
        return s

    def curl(self, path, *arguments, data=None):
        """curl against the HTTP listener: (status, body bytes)."""
        result = subprocess.run(["curl", "-sS", "-w", "\n%{http_code}", *arguments,
                                 "http://127.0.0.1:%d%s" % (self.http_port, path)],
                                input=data, capture_output=True, timeout=60)
        body, _, status = result.stdout.rpartition(b"\n")
        return int(status), body

    def scan_json(self, data, *arguments):
        status, body = self.curl("/v1/scan", "--data-binary", "@-", *arguments, data=data)
        return status, json.loads(body)

    def metric(self, sample):
        """The value of one sample of GET /metrics ("name" or "name{labels}")."""
        text = self.curl("/metrics")[1].decode()
        return float(re.search(r"^%s (\S+)$" % re.escape(sample), text, re.M).group(1))

    def ask(self, payload, tcp=False):
        """Sends the bytes (as many as the service takes before it answers
        and closes) and reads the reply until the service closes."""
        with self.connect(tcp) as s:
            try:
                s.sendall(payload)
            except (BrokenPipeError, ConnectionResetError):
                pass
            return read_all(s)


def read_all(s):
    data = b""
    while True:
        chunk = s.recv(65536)
        if not chunk:
            return data
        data += chunk


def instream(data, chunk=65536, prefix=b"z"):
    out = [prefix + b"INSTREAM" + (b"\0" if prefix == b"z" else b"\n")]
    for i in range(0, len(data), chunk):
        piece = data[i:i + chunk]
        out.append(struct.pack(">I", len(piece)) + piece)
    out.append(struct.pack(">I", 0))
    return b"".join(out)


def zip_holding(name, data):
    buffer = io.BytesIO()
    with zipfile.ZipFile(buffer, "w", zipfile.ZIP_DEFLATED) as z:
        z.writestr(name, data)
    return buffer.getvalue()


class ServiceTest(unittest.TestCase):
    options = ()

    def setUp(self):
        self.folder = tempfile.mkdtemp(prefix="veltord-test-")
        self.service = Service(self.folder, *self.options)

    def tearDown(self):
        status = self.service.stop()
        text = self.service.text()
        shutil.rmtree(self.folder, ignore_errors=True)
        self.assertEqual(status, 0, text)
        self.assertFalse(os.path.exists(self.service.socket))

    def write(self, name, data):
        path = os.path.join(self.folder, name)
        with open(path, "wb") as f:
            f.write(data)
        return path

    def clamdscan(self, *arguments):
        config = self.write("clamd.conf", ("LocalSocket %s\n" % self.service.socket).encode())
        return subprocess.run(["clamdscan", "--config-file=" + config, "--no-summary", *arguments],
                              capture_output=True, text=True, timeout=60)


class Clamdscan(ServiceTest):
    def test_modes_and_exit_statuses(self):
        clean = self.write("clean.txt", b"nothing to see here\n")
        missing = os.path.join(self.folder, "missing.txt")
        for mode in ("--stream", "--fdpass", "--multiscan"):
            with self.subTest(mode=mode):
                found = self.clamdscan(mode, TEST_FILE)
                self.assertEqual(found.returncode, 1, found)
                self.assertIn("%s: %s FOUND" % (TEST_FILE, TEST_RULE), found.stdout)
                ok = self.clamdscan(mode, clean)
                self.assertEqual(ok.returncode, 0, ok)
                self.assertIn("%s: OK" % clean, ok.stdout)
                error = self.clamdscan(mode, missing)
                self.assertEqual(error.returncode, 2, error)

    def test_folder_by_path(self):
        result = self.clamdscan("--multiscan", os.path.abspath(SAMPLES))
        self.assertEqual(result.returncode, 1, result)
        self.assertIn("test-file.com: %s FOUND" % TEST_RULE, result.stdout)
        self.assertNotIn("notes.txt", result.stdout)

    def test_same_verdicts_as_veltor_scan(self):
        archive = self.write("inside.zip", zip_holding("docs/test.com", TEST_BYTES))
        # Scanned while the zip around it is still open: a handle of its own.
        nested = self.write("nested.zip", zip_holding("inner.zip", zip_holding("docs/test.com", TEST_BYTES)))
        files = sorted(os.path.join(SAMPLES, n) for n in os.listdir(SAMPLES)) + [archive, nested]
        scan = subprocess.run([VELTOR, "scan", "--json", "--db", DATABASE, *files],
                              capture_output=True, text=True, timeout=60)
        expected = {}
        for line in scan.stdout.splitlines():
            record = json.loads(line)
            if "path" not in record:
                continue
            best = expected.get(record["path"])
            if "rule" in record:
                if best is None or best == "OK" or record["level"] < best[1]:
                    expected[record["path"]] = (record["rule"], record["level"])
            elif "clean" in record:
                expected.setdefault(record["path"], "OK")
        self.assertEqual(len(expected), len(files))
        self.assertEqual(expected[archive][0], TEST_RULE)
        self.assertEqual(expected[nested][0], TEST_RULE)
        for path in files:
            with open(path, "rb") as f:
                reply = self.service.ask(instream(f.read(), chunk=7)).decode()
            want = "stream: OK\0" if expected[path] == "OK" else "stream: %s FOUND\0" % expected[path][0]
            self.assertEqual(reply, want, path)


# veltord keeps a stream of up to this many bytes in memory (MemoryStreamBytes)
# and spools a longer one to a file while it feeds it to a scan in pieces of
# about this size.
MEMORY_BOUND = 1 << 20


def zip_of_size(size, name, data):
    """A zip of exactly `size` bytes holding `data`, deflated, and stored padding."""
    def build(padding):
        buffer = io.BytesIO()
        with zipfile.ZipFile(buffer, "w", zipfile.ZIP_STORED) as z:
            z.writestr("pad.bin", b"p" * padding)
            z.writestr(name, data, zipfile.ZIP_DEFLATED)  # found only by the walk
        return buffer.getvalue()
    return build(size - len(build(0)))


class MemoryBound(ServiceTest):
    def test_both_sides_of_the_memory_bound(self):
        for size in (MEMORY_BOUND - 1, MEMORY_BOUND + 1, 3 * MEMORY_BOUND + 1):
            chunk = size // 3
            clean = b"c" * size
            # Across two chunks: just over the bound, what was kept and what
            # made it spill; further over, in a scan fed piece by piece.
            at = 2 * chunk - len(TEST_BYTES) // 2
            found = clean[:at] + TEST_BYTES + clean[at + len(TEST_BYTES):]
            archive = zip_of_size(size, "docs/test.com", TEST_BYTES)
            for name, body, rule in (("clean", clean, None), ("found", found, TEST_RULE),
                                     ("archive", archive, TEST_RULE)):
                with self.subTest(size=size, body=name):
                    self.assertEqual(len(body), size)
                    want = "stream: OK\0" if rule is None else "stream: %s FOUND\0" % rule
                    self.assertEqual(self.service.ask(instream(body, chunk=chunk)).decode(), want)
                    status, reply = self.service.scan_json(body)
                    self.assertEqual((status, reply.get("rule")), (200, rule), reply)

    def test_a_small_body_that_unpacks_to_much(self):
        # Small enough for the networking thread to scan itself, but its
        # member takes longer than that thread may give it: a worker scans it
        # again, whole.
        r = random.Random(1)
        member = b"".join(bytes(r.randrange(256) for _ in range(6)) + b"\0" * 1018 for _ in range(5 * 1024))
        archive = zip_holding("docs/big.bin", member + TEST_BYTES)
        self.assertLess(len(archive), 64 << 10)
        self.assertEqual(self.service.ask(instream(archive)).decode(), "stream: %s FOUND\0" % TEST_RULE)


class PyClamd(ServiceTest):
    def test_ping_version_stream_over_both_sockets(self):
        for client in (pyclamd.ClamdUnixSocket(self.service.socket, timeout=10),
                       pyclamd.ClamdNetworkSocket("127.0.0.1", self.service.port, timeout=10)):
            self.assertTrue(client.ping())
            self.assertTrue(client.version().startswith("Veltor "))
            self.assertEqual(client.scan_stream(TEST_BYTES), {"stream": ("FOUND", TEST_RULE)})
            self.assertIsNone(client.scan_stream(b"clean bytes " * 5000))
            self.assertEqual(client.scan_stream(zip_holding("a/b.com", TEST_BYTES)), {"stream": ("FOUND", TEST_RULE)})
            self.assertIn("END", client.stats())

    def test_session(self):
        with self.service.connect() as s:
            s.sendall(b"zIDSESSION\0zPING\0" + instream(TEST_BYTES) + b"zVERSION\0nPING\n" + instream(b"clean"))
            replies = b""
            while replies.count(b"\0") < 3 or replies.count(b"\n") < 1 or not replies.endswith(b"\0"):
                chunk = s.recv(4096)
                self.assertTrue(chunk, replies)
                replies += chunk
            s.sendall(b"zEND\0")
            self.assertEqual(read_all(s), b"")
        parts = replies.replace(b"\n", b"\0").split(b"\0")
        self.assertEqual(parts[0], b"1: PONG")
        self.assertEqual(parts[1], ("2: stream: %s FOUND" % TEST_RULE).encode())
        self.assertTrue(parts[2].startswith(b"3: Veltor "))
        self.assertEqual(parts[3], b"4: PONG")
        self.assertEqual(parts[4], b"5: stream: OK")


def without_path(records):
    return [{k: v for k, v in r.items() if k != "path"} for r in records]


class Http(ServiceTest):
    options = ("--max-stream", "1M")

    def test_scans_give_the_records_of_veltor_scan(self):
        archive = self.write("inside.zip", zip_holding("docs/test.com", TEST_BYTES))
        clean = self.write("clean.txt", b"nothing to see here\n")
        whole, chunked = ("--data-binary", "@-"), ("-H", "Transfer-Encoding: chunked", "-T", "-")
        for path, arguments, rule in [(TEST_FILE, whole, TEST_RULE), (clean, whole, None), (archive, whole, TEST_RULE),
                                      (TEST_FILE, chunked, TEST_RULE), (archive, chunked, TEST_RULE)]:
            with self.subTest(path=path, arguments=arguments):
                with open(path, "rb") as f:
                    status, body = self.service.curl("/v1/scan", *arguments, data=f.read())
                reply = json.loads(body)
                self.assertEqual(status, 200, reply)
                self.assertEqual(reply.get("rule"), rule)
                self.assertEqual(reply["verdict"], "found" if rule else "clean")
                scan = subprocess.run([VELTOR, "scan", "--json", "--db", DATABASE, path],
                                      capture_output=True, text=True, timeout=60)
                expected = [json.loads(line) for line in scan.stdout.splitlines()]
                self.assertEqual(without_path(reply["results"]), without_path(r for r in expected if "path" in r))
        # Named by the query, a body is reported as veltor scan reports a file of that name.
        with open(TEST_FILE, "rb") as f:
            named = self.write("a note+1.txt.gz", gzip.compress(f.read()))
        status, body = self.service.curl("/v1/scan?x=1&name=" + urllib.parse.quote_plus(named), "--data-binary", "@-",
                                         data=open(named, "rb").read())
        scan = subprocess.run([VELTOR, "scan", "--json", "--db", DATABASE, named], capture_output=True, text=True,
                              timeout=60)
        expected = [r for r in map(json.loads, scan.stdout.splitlines()) if "path" in r]
        self.assertEqual((status, json.loads(body)["results"]), (200, expected))
        self.assertEqual(self.service.curl("/v1/scan?name=%4", "--data-binary", "x")[0], 400)

    def test_routes_statuses_and_metrics(self):
        scans = self.service.metric("veltord_scans_total")
        reports = self.service.metric('veltord_reports_total{level="1"}')
        self.assertEqual(self.service.ask(instream(TEST_BYTES)), ("stream: %s FOUND\0" % TEST_RULE).encode())
        self.assertEqual(self.service.scan_json(TEST_BYTES)[0], 200)
        self.assertEqual(self.service.metric("veltord_scans_total"), scans + 2)  # both protocols counted
        self.assertEqual(self.service.metric('veltord_reports_total{level="1"}'), reports + 2)
        self.assertEqual(self.service.metric("veltord_scan_duration_seconds_count"), scans + 2)
        status, body = self.service.scan_json(b"a" * (2 << 20))
        self.assertEqual((status, "max-stream" in body["error"]), (413, True))
        self.assertEqual(self.service.metric('veltord_errors_total{kind="size_limit"}'), 1)
        status, health = self.service.curl("/v1/health")
        self.assertEqual((status, json.loads(health)["status"]), (200, "ok"))
        status, version = self.service.curl("/v1/version")
        version = json.loads(version)
        clamd = self.service.ask(b"zVERSION\0").decode()
        self.assertEqual(clamd, "Veltor %s/%d/%s\0" % (version["version"], version["database"]["rules"],
                                                         version["database"]["buildTime"]))
        self.assertEqual(self.service.curl("/nowhere")[0], 404)
        self.assertEqual(self.service.curl("/v1/scan")[0], 405)
        self.assertEqual(self.service.curl("/metrics", "-X", "POST")[0], 405)
        # Keep-alive: the second request rides on the first one's connection.
        result = subprocess.run(["curl", "-sS", "-o", "/dev/null", "-o", "/dev/null",
                                 "-w", "%{http_code} %{num_connects}\n"] +
                                ["http://127.0.0.1:%d/v1/health" % self.service.http_port] * 2,
                                capture_output=True, text=True, timeout=60)
        self.assertEqual(result.stdout, "200 1\n200 0\n")
        for request in (b"NOT HTTP AT ALL\r\n\r\n", b"POST /v1/scan HTTP/1.1\r\nContent-Length: x\r\n\r\n"):
            with socket.create_connection(("127.0.0.1", self.service.http_port), timeout=10) as s:
                s.sendall(request)
                self.assertTrue(read_all(s).startswith(b"HTTP/1.1 400 "), request)
        self.assertEqual(self.service.curl("/v1/health")[0], 200)


class Limits(ServiceTest):
    options = ("--max-members", "1")

    def test_an_archive_not_scanned_whole_is_never_ok(self):
        buffer = io.BytesIO()
        with zipfile.ZipFile(buffer, "w") as z:
            z.writestr("one.txt", b"clean")
            z.writestr("two.txt", b"clean too")
        reply = self.service.ask(instream(buffer.getvalue())).decode()
        self.assertTrue(reply.startswith("stream: ") and reply.endswith(" ERROR\0"), reply)
        self.assertIn("incomplete", reply)
        result = self.clamdscan("--stream", self.write("two.zip", buffer.getvalue()))
        self.assertEqual(result.returncode, 2, result)
        status, reply = self.service.scan_json(buffer.getvalue())
        self.assertEqual((status, reply["verdict"], reply["incomplete"]), (422, "incomplete", True), reply)


class LimitsAccepted(ServiceTest):
    options = ("--max-members", "1", "--limits-ok")

    def test_limits_ok(self):
        buffer = io.BytesIO()
        with zipfile.ZipFile(buffer, "w") as z:
            z.writestr("one.txt", b"clean")
            z.writestr("two.txt", b"clean too")
        self.assertEqual(self.service.ask(instream(buffer.getvalue())), b"stream: OK\0")
        status, reply = self.service.scan_json(buffer.getvalue())
        self.assertEqual((status, reply["verdict"]), (200, "clean"), reply)


class Faults(ServiceTest):
    options = ("--read-timeout", "1", "--max-stream", "1M", "--max-connections", "6")

    def assertServing(self):
        self.assertEqual(self.service.ask(b"zPING\0"), b"PONG\0")

    def test_bad_input_gets_an_error_and_others_are_served(self):
        cases = [
            (b"zFROBNICATE\0", b"UNKNOWN COMMAND\0"),
            (b"nPING" + b"x" * 10000, b"Command line too long. ERROR\n"),
            (b"zINSTREAM\0\xff\xff\xff\xff", b"INSTREAM size limit exceeded. ERROR\0"),
            (instream(b"a" * (2 << 20)), b"INSTREAM size limit exceeded. ERROR\0"),
            (b"zSHUTDOWN\0", b"SHUTDOWN: not allowed by the configuration. ERROR\0"),
        ]
        for payload, reply in cases:
            with self.subTest(payload=payload[:20]):
                self.assertEqual(self.service.ask(payload), reply)
        self.assertIn(b"Unix socket only", self.service.ask(b"zSCAN /etc/hostname\0", tcp=True))
        self.assertIn(b"ERROR", self.service.ask(b"zSCAN relative/path\0"))
        self.assertServing()

    def test_stalled_clients_time_out_while_others_are_served(self):
        silent = self.service.connect()
        stalled = self.service.connect()
        stalled.sendall(b"zINSTREAM\0" + struct.pack(">I", 1000) + b"0123456789")
        ended = self.service.connect()
        ended.sendall(b"zINSTREAM\0" + struct.pack(">I", 1000) + b"0123456789")
        ended.shutdown(socket.SHUT_WR)
        self.assertEqual(read_all(ended), b"stream: the stream ended before its zero-length chunk. ERROR\0")
        started = time.monotonic()
        self.assertServing()
        self.assertLess(time.monotonic() - started, 0.9)
        self.assertEqual(read_all(silent), b"no command came in time. ERROR\n")
        self.assertIn(b"timed out", read_all(stalled))
        for s in (silent, stalled, ended):
            s.close()
        self.assertServing()
        self.assertIn("client-error", self.service.text())

    def test_too_many_connections_are_refused_then_served_again(self):
        held = [self.service.connect() for _ in range(6)]
        self.service.ask(b"")  # the refusals are counted from here on
        for _ in range(3):
            self.assertEqual(self.service.ask(b"zPING\0"), b"Too many connections. ERROR\n")
        for s in held:
            s.close()
        deadline = time.monotonic() + 5
        while self.service.ask(b"zPING\0") != b"PONG\0":
            self.assertLess(time.monotonic(), deadline)
            time.sleep(0.05)
        self.assertIn("too many connections", self.service.text())


class CompiledDatabase:
    """A service on a database of its own, compiled by the test."""

    def setUp(self):
        self.folder_for_db = tempfile.mkdtemp(prefix="veltord-db-")
        self.database = os.path.join(self.folder_for_db, "db.vlb")
        self.compile("rule Old.Marker report = marker;\n")
        global DATABASE
        self.saved, DATABASE = DATABASE, self.database
        try:
            super().setUp()
        finally:
            DATABASE = self.saved

    def tearDown(self):
        super().tearDown()
        shutil.rmtree(self.folder_for_db, ignore_errors=True)

    def compile(self, rules):
        source = os.path.join(self.folder_for_db, "rules.vsr")
        with open(source, "w") as f:
            f.write('signature marker = "reload-marker-string";\n' + rules)
        result = subprocess.run([VELTOR, "compile", source, "-o", self.database + ".new"],
                                capture_output=True, text=True, timeout=60)
        self.assertEqual(result.returncode, 0, result)
        os.replace(self.database + ".new", self.database)

    def verdict(self):
        return self.service.ask(instream(b"xx reload-marker-string xx")).decode()

    def wait_for(self, condition):
        deadline = time.monotonic() + 15
        while not condition():
            self.assertLess(time.monotonic(), deadline)
            time.sleep(0.05)


class Reload(CompiledDatabase, ServiceTest):
    def test_reload_under_load_and_a_bad_database(self):
        self.assertEqual(self.verdict(), "stream: Old.Marker FOUND\0")
        answers, stop = [], threading.Event()

        def client():
            while not stop.is_set():
                answers.append(self.verdict())

        clients = [threading.Thread(target=client) for _ in range(4)]
        for t in clients:
            t.start()
        self.compile("rule New.Marker report = marker;\n")
        self.assertEqual(self.service.ask(b"zRELOAD\0"), b"RELOADING\0")
        deadline = time.monotonic() + 10
        while self.verdict() != "stream: New.Marker FOUND\0":
            self.assertLess(time.monotonic(), deadline)
        for _ in range(5):
            self.service.process.send_signal(signal.SIGHUP)
            time.sleep(0.05)
        stop.set()
        for t in clients:
            t.join()
        self.assertTrue(answers)
        self.assertEqual(set(answers) - {"stream: Old.Marker FOUND\0", "stream: New.Marker FOUND\0"}, set())
        with open(self.database, "wb") as f:
            f.write(b"not a database at all")
        self.service.process.send_signal(signal.SIGHUP)
        deadline = time.monotonic() + 10
        while "reload-failed" not in self.service.text():
            self.assertLess(time.monotonic(), deadline)
            time.sleep(0.05)
        self.assertEqual(self.verdict(), "stream: New.Marker FOUND\0")


class Watch(CompiledDatabase, ServiceTest):
    options = ("--watch-interval", "1")

    def test_a_changed_database_file_is_loaded_and_garbage_is_not(self):
        def rule():
            return self.service.scan_json(b"xx reload-marker-string xx")[1].get("rule")
        self.assertEqual(rule(), "Old.Marker")
        self.compile("rule New.Marker report = marker;\n")
        self.wait_for(lambda: rule() == "New.Marker")
        with open(self.database, "wb") as f:
            f.write(b"not a database at all")
        self.wait_for(lambda: "reload-failed" in self.service.text())
        self.assertEqual(rule(), "New.Marker")
        self.assertEqual(self.service.metric('veltord_reloads_total{result="ok"}'), 1)
        self.assertEqual(self.service.metric('veltord_reloads_total{result="failed"}'), 1)
        self.assertNotIn("SIGHUP", self.service.text())


class Systemd(unittest.TestCase):
    def test_readiness_reload_and_stop_are_notified(self):
        with tempfile.TemporaryDirectory() as folder:
            notify = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
            notify.bind(os.path.join(folder, "notify"))
            notify.settimeout(20)
            process = subprocess.Popen(
                [VELTORD, "--foreground", "--db", DATABASE, "--unix-socket", os.path.join(folder, "s.sock")],
                env=dict(os.environ, NOTIFY_SOCKET=os.path.join(folder, "notify")), stderr=subprocess.DEVNULL)
            try:
                self.assertIn(b"READY=1", notify.recv(4096))
                process.send_signal(signal.SIGHUP)
                self.assertIn(b"RELOADING=1", notify.recv(4096))
                self.assertIn(b"READY=1", notify.recv(4096))
                process.send_signal(signal.SIGTERM)
                self.assertIn(b"STOPPING=1", notify.recv(4096))
                self.assertEqual(process.wait(timeout=20), 0)
            finally:
                if process.poll() is None:
                    process.kill()
                notify.close()

    def test_socket_activation(self):
        with tempfile.TemporaryDirectory() as folder:
            path = os.path.join(folder, "activated.sock")
            process = subprocess.Popen(
                ["systemd-socket-activate", "--listen=" + path, VELTORD, "--foreground", "--db", DATABASE,
                 "--unix-socket", os.path.join(folder, "unused.sock")], stderr=subprocess.DEVNULL)
            try:
                deadline = time.monotonic() + 20
                while not os.path.exists(path):
                    self.assertLess(time.monotonic(), deadline)
                    time.sleep(0.02)
                with socket.socket(socket.AF_UNIX) as s:
                    s.settimeout(20)
                    s.connect(path)
                    s.sendall(instream(TEST_BYTES))
                    self.assertEqual(read_all(s), ("stream: %s FOUND\0" % TEST_RULE).encode())
                self.assertFalse(os.path.exists(os.path.join(folder, "unused.sock")))
            finally:
                process.send_signal(signal.SIGTERM)
                self.assertEqual(process.wait(timeout=20), 0)


class Configuration(unittest.TestCase):
    def test_file_and_flags(self):
        with tempfile.TemporaryDirectory() as folder:
            config = os.path.join(folder, "veltord.conf")
            with open(config, "w") as f:
                f.write("# a comment\nthreads = 3\nunix-socket = %s/a.sock\nlog-format = json\n" % folder)
            result = subprocess.run([VELTORD, "--config", config, "--db", DATABASE, "--threads", "1", "--check-config"],
                                    capture_output=True, text=True, timeout=60)
            self.assertEqual(result.returncode, 0, result)
            self.assertIn("threads: 1\n", result.stdout)
            self.assertIn("unix socket: %s/a.sock\n" % folder, result.stdout)
            with open(config, "a") as f:
                f.write("no-such-option = 1\n")
            result = subprocess.run([VELTORD, "--config", config, "--check-config"], capture_output=True, text=True,
                                    timeout=60)
            self.assertEqual(result.returncode, 2, result)
            self.assertIn("no-such-option", result.stderr)
            # The commented configuration that is installed, every setting
            # taken out of its comment, is read as it is.
            shipped = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "veltord", "veltord.conf")
            with open(shipped) as f:
                settings = [line[2:] for line in f if re.match(r"# [a-z-]+ =", line)]
            with open(config, "w") as f:
                f.writelines(settings)
            result = subprocess.run([VELTORD, "--config", config, "--db", DATABASE, "--check-config"],
                                    capture_output=True, text=True, timeout=60)
            self.assertEqual(result.returncode, 0, result)
            self.assertGreater(len(settings), 15)
            missing = subprocess.run([VELTORD, "--db", os.path.join(folder, "none.vlb"), "--check-config"],
                                     capture_output=True, text=True, timeout=60)
            self.assertEqual(missing.returncode, 1, missing)


if __name__ == "__main__":
    unittest.main(argv=[sys.argv[0]] + sys.argv[5:])
