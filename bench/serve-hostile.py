#!/usr/bin/env python3
"""Tries `refwarden serve` the way hostile clients do and prints what it measured.

Usage: bench/serve-hostile.py [--tool build/bin/refwarden] [--only NAME,...]

Each run starts `refwarden serve` on a free port with a temporary root (the
example site, a 42 KB file and a sparse 100 MiB file) and a temporary trace
store, and measures: request latency while slow clients drip header lines,
how long SIGINT takes with slow clients and stalled downloads connected,
resident memory (VmRSS) for 2,000,000 headers and for slow downloads of the
100 MiB file, the size of a 2,700-range answer, keep-alive and pipelining, 200 connections
from one address trickling their heads, and a file cut while it is sent.
Hostile clients connect from 127.0.0.2, the probes from 127.0.0.1.
"""
import argparse
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
EXAMPLES = os.path.join(HERE, "..", "examples", "site")
BIG = 100 * 1024 * 1024
HOSTILE = "127.0.0.2"


class Server:
    def __init__(self, tool, root, store):
        env = dict(os.environ, REFWARDEN_REGISTRY=store)
        self.root = root
        self.log = open(os.path.join(root, "..", "serve.log"), "w+")
        self.process = subprocess.Popen(
            [tool, "serve", "--root", root, "--listen", "127.0.0.1:0"],
            stdout=self.log, stderr=subprocess.STDOUT, env=env)
        for _ in range(100):
            self.log.seek(0)
            found = re.search(r"own site: +http://127\.0\.0\.1:(\d+)/", self.log.read())
            if found:
                self.port = int(found.group(1))
                return
            time.sleep(0.05)
        raise RuntimeError("the server printed no address")

    def cpu_seconds(self):
        with open("/proc/%d/stat" % self.process.pid) as stat:
            fields = stat.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")

    def rss_kib(self):
        with open("/proc/%d/status" % self.process.pid) as status:
            return int(re.search(r"VmRSS:\s+(\d+)", status.read()).group(1))

    def stop(self, sig=signal.SIGINT):
        start = time.monotonic()
        self.process.send_signal(sig)
        try:
            self.process.wait(timeout=60)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
        return time.monotonic() - start

    def lines(self):
        self.log.flush()
        self.log.seek(0)
        return self.log.read().splitlines()


def connect(port, source="127.0.0.1"):
    """A connection to the server from `source`, an address of the loopback
    range: hostile clients come from 127.0.0.2, the probes from 127.0.0.1."""
    s = socket.create_connection(("127.0.0.1", port), timeout=30, source_address=(source, 0))
    s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    return s


def read_response(s):
    """One response with a Content-Length body, read through the socket's
    buffered reader (pipelined answers stay in its buffer); returns (status
    line, body size)."""
    reader = READERS.setdefault(s, s.makefile("rb"))
    status = reader.readline().rstrip(b"\r\n").decode()
    length = 0
    for line in iter(reader.readline, b"\r\n"):
        if not line:
            return status, 0
        name, _, value = line.partition(b":")
        if name.strip().lower() == b"content-length":
            length = int(value)
    return status, len(reader.read(length))


READERS = {}


def timed_get(port, path="/"):
    start = time.monotonic()
    try:
        s = connect(port)
        s.sendall(b"GET %s HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n" % path.encode())
        status, _ = read_response(s)
        s.close()
    except OSError as error:
        status = "no answer: %s" % error
    return time.monotonic() - start, status


class Drip:
    """n connections that each send one header line every `every` seconds."""

    def __init__(self, port, n, every=3.0):
        self.sockets = []
        for _ in range(n):
            try:
                self.sockets.append(connect(port, HOSTILE))
            except OSError:
                pass
        for s in self.sockets:
            s.sendall(b"GET / HTTP/1.1\r\nHost: x\r\n")
        self.stopped = threading.Event()
        self.thread = threading.Thread(target=self.run, args=(every,), daemon=True)
        self.thread.start()

    def run(self, every):
        while not self.stopped.wait(every):
            for s in self.sockets:
                try:
                    s.sendall(b"X-Slow: 1\r\n")
                except OSError:
                    pass

    def close(self):
        self.stopped.set()
        for s in self.sockets:
            s.close()


def stalled_downloads(port, n):
    """n downloads of the big file that never read."""
    sockets = []
    for _ in range(n):
        s = connect(port)
        s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
        s.sendall(b"GET /big.bin HTTP/1.1\r\nHost: x\r\n\r\n")
        sockets.append(s)
    return sockets


def slow_clients(server, counts):
    for n in counts:
        drip = Drip(server.port, n)
        time.sleep(4)  # past the first drip
        times = []
        while len(times) < 5 and (not times or times[-1][1].startswith("HTTP/")):
            times.append(timed_get(server.port))
        print("slow clients %3d: normal request %.1f ms at most (%s)"
              % (n, 1000 * max(t for t, _ in times), times[-1][1]))
        drip.close()


def trickle(server, n=200, every=9.0, seconds=30):
    """n connections from one address, each a partial head and one byte every
    `every` seconds; for `seconds`, one probe a second from another address."""
    sockets = []
    for _ in range(n):
        try:
            s = connect(server.port, HOSTILE)
            s.sendall(b"GET / HTTP/1.1\r\nHost: x\r\nX-Slow: ")
            sockets.append(s)
        except OSError:
            pass
    start = time.monotonic()
    served = probes = 0
    next_drip = start + every
    while time.monotonic() - start < seconds:
        probes += 1
        took, status = timed_get(server.port)
        served += status.startswith("HTTP/1.1 200")
        if time.monotonic() >= next_drip:
            for s in sockets:
                try:
                    s.send(b"x")
                except OSError:
                    pass
            next_drip += every
        time.sleep(max(0.0, 1.0 - took))
    alive = 0
    for s in sockets:
        s.setblocking(False)
        try:
            s.recv(1)  # the 408 or the end: cut off
        except BlockingIOError:
            alive += 1
        except OSError:
            pass
        s.close()
    print("%d trickling connections from one address: %d of %d probes from another served "
          "in %d s; %d still open at the end" % (n, served, probes, seconds, alive))


def shrink(server):
    """A download read at 64 KiB/s whose file is cut to 1,000 bytes midway:
    how long until the connection ends, and the server's CPU time meanwhile."""
    path = os.path.join(server.root, "shrinking.bin")
    with open(path, "wb") as f:
        f.write(b"s" * (16 * 1024 * 1024))
    s = connect(server.port)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 65536)
    s.sendall(b"GET /shrinking.bin HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n")
    got = len(s.recv(65536))
    time.sleep(1)
    got += len(s.recv(65536))
    cpu_before = server.cpu_seconds()
    os.truncate(path, 1000)
    start = time.monotonic()
    s.settimeout(20)
    try:
        while True:
            chunk = s.recv(65536)
            if not chunk:
                break
            got += len(chunk)
            time.sleep(1.0 / 16)  # 64 KiB/s
    except OSError as error:
        print("shrink: %s" % error)
    took = time.monotonic() - start
    time.sleep(2)
    print("file cut during a download: connection ended %.2f s after the cut, %d bytes of "
          "16 MiB sent; server CPU %.2f s over the %.1f s after the cut"
          % (took, got, server.cpu_seconds() - cpu_before, time.monotonic() - start))
    s.close()


def sigint(tool, root, store):
    server = Server(tool, root, store)
    try:
        drip = Drip(server.port, 32)
        stalled = stalled_downloads(server.port, 8)
        time.sleep(1)
    finally:
        took = server.stop()
    print("SIGINT with 32 slow clients and 8 stalled downloads: exited after %.2f s, code %d"
          % (took, server.process.returncode))
    drip.close()
    for s in stalled:
        s.close()


def many_headers(server):
    before = server.rss_kib()
    s = connect(server.port)
    answer = []

    def receive():
        try:
            answer.append(s.recv(200))
        except OSError as error:
            answer.append(str(error).encode())

    receiver = threading.Thread(target=receive)
    receiver.start()
    sent = 0
    try:
        s.sendall(b"GET / HTTP/1.1\r\nHost: x\r\n")
        block = b"X-Header: y\r\n" * 10000
        while sent < 2000000:
            s.sendall(block)
            sent += 10000
    except OSError:
        pass
    receiver.join()
    s.close()
    time.sleep(0.5)
    print("2,000,000 headers: %d sent before the server closed, answer %r, RSS %d -> %d KiB"
          % (sent, answer[0].split(b"\r\n")[0], before, server.rss_kib()))


def slow_downloads(server):
    before = server.rss_kib()
    sockets = []
    for _ in range(8):
        s = connect(server.port)
        s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 65536)
        s.sendall(b"GET /big.bin HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n")
        sockets.append(s)
    peak = before
    received = 0
    end = time.monotonic() + 8
    while time.monotonic() < end:
        for s in sockets:  # about 640 KiB/s each
            received += len(s.recv(65536))
        peak = max(peak, server.rss_kib())
        time.sleep(0.1)
    for s in sockets:
        s.close()
    s = connect(server.port)
    s.sendall(b"HEAD /big.bin HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n")
    head = s.recv(1000).split(b"\r\n")[0]
    s.close()
    print("8 slow downloads of 100 MiB (%d MiB read in 8 s): RSS %d KiB before, %d KiB at most; "
          "HEAD %r, RSS %d KiB" % (received >> 20, before, peak, head, server.rss_kib()))


def ranges(server):
    s = connect(server.port)
    overlapping = b",".join([b"0-"] * 2700)
    s.sendall(b"GET /42k.bin HTTP/1.1\r\nHost: x\r\nRange: bytes=" + overlapping +
              b"\r\nConnection: close\r\n\r\n")
    status, size = read_response(s)
    s.close()
    print("2,700 overlapping ranges on a 42 KB file: %s, %d body bytes" % (status, size))
    s = connect(server.port)
    s.sendall(b"GET /42k.bin HTTP/1.1\r\nHost: x\r\nRange: bytes=0-9\r\nConnection: close\r\n\r\n")
    status, size = read_response(s)
    s.close()
    print("Range: bytes=0-9: %s, %d body bytes" % (status, size))


def keep_alive(server):
    # Requests 2 to 5 on each of 40 connections (some servers close after 5).
    took = 0.0
    for _ in range(40):
        s = connect(server.port)
        s.sendall(b"GET /style.css HTTP/1.1\r\nHost: x\r\n\r\n")
        read_response(s)
        start = time.monotonic()
        for _ in range(4):
            s.sendall(b"GET /style.css HTTP/1.1\r\nHost: x\r\n\r\n")
            read_response(s)
        took += time.monotonic() - start
        s.close()
    count = 160
    s = connect(server.port)
    s.sendall(b"GET /style.css HTTP/1.1\r\nHost: x\r\n\r\n" * 2 +
              b"GET /style.css HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n")
    answers = [read_response(s)[0] for _ in range(3)]
    s.close()
    print("keep-alive: requests 2 to 5 on 40 connections, %.2f ms each; 3 pipelined: %s"
          % (1000 * took / count, answers))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--tool", default=os.path.join(HERE, "..", "build", "bin", "refwarden"))
    parser.add_argument("--slow", default="8,20,32,100",
                        help="numbers of slow clients to try, comma-separated")
    parser.add_argument("--only", default="",
                        help="comma-separated: slow,headers,downloads,ranges,keepalive,trickle,"
                        "shrink,sigint")
    arguments = parser.parse_args()
    only = set(filter(None, arguments.only.split(",")))
    work = tempfile.mkdtemp(prefix="refwarden-hostile-")
    try:
        root = os.path.join(work, "root")
        shutil.copytree(EXAMPLES, root)
        with open(os.path.join(root, "big.bin"), "wb") as big:
            big.truncate(BIG)
        with open(os.path.join(root, "42k.bin"), "wb") as small:
            small.write(os.urandom(42 * 1024))
        store = os.path.join(work, "registry.sqlite")
        counts = [int(n) for n in arguments.slow.split(",")]
        server = Server(arguments.tool, root, store)
        try:
            print("idle server: RSS %d KiB" % server.rss_kib())
            for name, run in (("slow", lambda s: slow_clients(s, counts)),
                              ("headers", many_headers), ("downloads", slow_downloads),
                              ("ranges", ranges), ("keepalive", keep_alive),
                              ("trickle", trickle), ("shrink", shrink)):
                if not only or name in only:
                    run(server)
        finally:
            server.stop()
        if not only or "sigint" in only:
            sigint(arguments.tool, root, store)
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
