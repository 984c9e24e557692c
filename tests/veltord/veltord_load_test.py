#!/usr/bin/env python3
"""veltord under load: many clients streaming bodies of every size while the
database is reloaded, and a flood of connections at once. Every answer must
be right, none lost, and the service's memory must not grow with the run.

Run by ctest: veltord_load_test.py VELTORD VELTOR DATABASE SAMPLES [unittest args]
VELTORD_LOAD_ROUNDS (default 2) sets how many bodies each client streams.
"""
import math
import os
import random
import selectors
import shutil
import signal
import socket
import struct
import sys
import tempfile
import threading
import time
import unittest

from veltord_clients_test import TEST_BYTES, TEST_RULE, Service, read_all

CLIENTS = 64
RELOADS = 20
SMALLEST, LARGEST = 4 << 10, 64 << 20
ROUNDS = int(os.environ.get("VELTORD_LOAD_ROUNDS", "2"))
# Set by ctest for a sanitizer build, whose memory figures say nothing.
SANITIZED = os.environ.get("VELTOR_SANITIZED") == "1"

# One block of random bytes every body is a slice of, so that 64 clients
# do not hold 64 bodies. It starts with text, so that no body is taken for
# an archive or a program.
RANDOM = b"random body " + random.Random(7).randbytes(LARGEST)


def resident_kib(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    raise AssertionError("no VmRSS")


def stream(service, size, needle_at, chunk=1 << 20):
    """INSTREAM of `size` random bytes, with the test file's bytes at
    `needle_at` when it is not None; the reply."""
    pieces = [memoryview(RANDOM)[:size]]
    if needle_at is not None:
        pieces = [pieces[0][:needle_at], TEST_BYTES, pieces[0][needle_at:size - len(TEST_BYTES)]]
    with service.connect() as s:
        s.settimeout(120)
        s.sendall(b"zINSTREAM\0")
        for piece in pieces:
            for i in range(0, len(piece), chunk):
                part = piece[i:i + chunk]
                s.sendall(struct.pack(">I", len(part)))
                s.sendall(part)
        s.sendall(struct.pack(">I", 0))
        return read_all(s)


class Load(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.mkdtemp(prefix="veltord-load-")
        self.service = Service(self.folder, "--max-connections", "128", "--max-stream", "100M")

    def tearDown(self):
        self.assertEqual(self.service.stop(), 0, self.service.text()[-4000:])
        shutil.rmtree(self.folder, ignore_errors=True)

    def run_clients(self, rounds, seed):
        """Every client streams `rounds` bodies, sizes spread evenly over
        the logarithm from 4 KiB to 64 MiB, about one in three with the test
        string at a random offset; the wrong answers."""
        wrong, lock = [], threading.Lock()

        def client(index):
            rng = random.Random(seed * 1000 + index)
            for _ in range(rounds):
                size = int(math.exp(rng.uniform(math.log(SMALLEST), math.log(LARGEST))))
                needle_at = rng.randrange(16, size - len(TEST_BYTES)) if rng.random() < 0.35 else None
                expected = b"stream: %s FOUND\0" % TEST_RULE.encode() if needle_at is not None else b"stream: OK\0"
                try:
                    reply = stream(self.service, size, needle_at)
                except OSError as error:
                    reply = repr(error).encode()
                if reply != expected:
                    with lock:
                        wrong.append((size, needle_at, reply))

        threads = [threading.Thread(target=client, args=(i,)) for i in range(CLIENTS)]
        for t in threads:
            t.start()
        return threads, wrong

    def test_every_answer_right_while_reloading_and_memory_flat(self):
        threads, wrong = self.run_clients(1, seed=1)  # a first round, for the memory to settle
        for t in threads:
            t.join()
        self.assertEqual(wrong, [])
        settled = resident_kib(self.service.process.pid)

        threads, wrong = self.run_clients(ROUNDS, seed=2)
        reloads = 0
        while any(t.is_alive() for t in threads) or reloads < RELOADS:
            if reloads < RELOADS:
                before = self.service.text().count(' veltord: reloaded ')
                self.service.process.send_signal(signal.SIGHUP)
                deadline = time.monotonic() + 60
                while self.service.text().count(' veltord: reloaded ') == before:
                    self.assertLess(time.monotonic(), deadline, "reload %d never finished" % reloads)
                    time.sleep(0.02)
                reloads += 1
            time.sleep(0.1)
        for t in threads:
            t.join()
        self.assertEqual(wrong, [], "%d wrong answers" % len(wrong))
        self.assertNotIn("reload-failed", self.service.text())
        # Two databases are held only while one replaces the other; long
        # bodies' pieces go back to the system once streams stop for a moment.
        deadline = time.monotonic() + 5
        while True:
            after = resident_kib(self.service.process.pid)
            if after < settled + 64 * 1024 or time.monotonic() > deadline:
                break
            time.sleep(0.2)
        if not SANITIZED:  # a sanitizer's allocator keeps freed memory in quarantine
            self.assertLess(after, settled + 64 * 1024, "resident %d KiB after the run, %d before" % (after, settled))


class Flood(unittest.TestCase):
    """10,000 connections opened at once: each is answered with a clear
    error (a refusal, or the read timeout for those given a slot), and the
    service answers others throughout and serves again afterwards."""

    def test_ten_thousand_connections_at_once(self):
        folder = tempfile.mkdtemp(prefix="veltord-flood-")
        service = Service(folder, "--max-connections", "64", "--read-timeout", "2")
        try:
            selector = selectors.DefaultSelector()
            sockets = []
            for _ in range(10000):
                s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
                s.setblocking(False)
                s.connect_ex(("127.0.0.1", service.port))
                selector.register(s, selectors.EVENT_READ, bytearray())
                sockets.append(s)
            # Another client, meanwhile, gets an answer: a refusal while the
            # slots are taken, never silence.
            other = service.ask(b"zPING\0")
            self.assertIn(other, (b"PONG\0", b"Too many connections. ERROR\n"))
            replies, open_count = {}, len(sockets)
            deadline = time.monotonic() + 90
            while open_count and time.monotonic() < deadline:
                for key, _ in selector.select(timeout=1):
                    try:
                        chunk = key.fileobj.recv(4096)
                    except BlockingIOError:
                        continue
                    except ConnectionResetError:
                        chunk = b""
                    if chunk:
                        key.data.extend(chunk)
                        continue
                    replies[bytes(key.data)] = replies.get(bytes(key.data), 0) + 1
                    selector.unregister(key.fileobj)
                    key.fileobj.close()
                    open_count -= 1
            self.assertEqual(open_count, 0, "connections never answered; replies so far: %r" % replies)
            self.assertEqual(set(replies) - {b"Too many connections. ERROR\n", b"no command came in time. ERROR\n"},
                             set(), replies)
            deadline = time.monotonic() + 10
            while service.ask(b"zPING\0") != b"PONG\0":
                self.assertLess(time.monotonic(), deadline)
                time.sleep(0.05)
        finally:
            self.assertEqual(service.stop(), 0, service.text()[-4000:])
            shutil.rmtree(folder, ignore_errors=True)


if __name__ == "__main__":
    unittest.main(argv=[sys.argv[0]] + sys.argv[5:])
