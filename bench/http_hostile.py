#!/usr/bin/env python3
"""Hostile HTTP clients against the discovery service's web API.

Run through bench/http_hostile.sh, which gives it a network namespace of its
own. Starts the service itself (by pid) once per phase, runs the attack
beside a well-behaved client, stops the service with SIGTERM while the attack
still runs and prints the figures:

  slowloris   150 connections trickling header bytes (one every 3 s) and 100
              POSTs trickling a 100000-byte body (one byte every 25 s), each
              reconnecting when closed; legit GET /api/discover answered
              within 2 s
  idle        1000 connections that never send; time to a new client's 200
  stalled     100 clients asking for a 107 MB /api/discover (4000 displays)
              that never read, 100 more every 12 s; legit GET /api/connections
              answered within 2 s, peak resident
  bodies      10 concurrent 16 MiB urlencoded POSTs under a 4 GiB address
              space limit (alive?), then 5 (peak resident), then 16 MiB of '['
  churn       display ids published and purged (plain, then control-character
              names); resident growth, /api/connections valid, and protocol-2
              publish->subscriber latency while 100 clients poll it
  trailing    clients that send bytes after their request (a second GET 50 ms
              later, 5 bytes past Content-Length, a chunked body) beside plain
              ones, 10 rounds each, for a 3.5 MB /api/discover (3000 displays):
              answers whole and ended by EOF (not a reset); legit GET
              /api/connections answered within 2 s throughout
  flood       300 connections a second asking for that document and never
              reading (each reset after HTTP_HOSTILE_FLOOD_HOLD s, default 1);
              legit GET /api/discover every 0.2 s: answered whole within 2 s,
              closed with nothing, cut short
  documents   /api/discover with 4000 displays of 984-byte "SD=a,a,..." data,
              19000 displays with control-character names, and the full size
              (HTTP_HOSTILE_FULL displays, default 19500) with a flapping
              display and 10 pollers: complete answers, peak resident
  multipart   rounds of 4 concurrent 13 MB multipart POSTs of 200000 one-byte
              file parts; legit GET /api/discover answered within 2 s, every
              answer whole; then SIGTERM while such bodies are parsed: status
              0 within 2 s

Every loop is bounded in count and time; traffic goes to 127.0.0.1 only.
Phases can be chosen: http_hostile.py BIN [phase ...].
"""
import errno
import json
import multiprocessing
import os
import resource
import select
import selectors
import socket
import struct
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import hostile_peers as hp  # noqa: E402

HTTP_PORT = 18080
# The service's descriptor limit (20000 here) bounds the protocol-2
# connections, one per display.
FULL = int(os.environ.get("HTTP_HOSTILE_FULL", "19500"))
SECONDS = float(os.environ.get("HTTP_HOSTILE_SECONDS", "30"))


def http_get(path, timeout=2.0, method="GET", body=b"", headers=""):
    """(status, body bytes, seconds); status None on a failure or time-out."""
    t0 = time.monotonic()
    try:
        s = socket.create_connection(("127.0.0.1", HTTP_PORT), timeout=timeout)
        s.settimeout(max(0.05, timeout - (time.monotonic() - t0)))
        head = "%s %s HTTP/1.1\r\nHost: x\r\n%s" % (method, path, headers)
        if body:
            head += "Content-Length: %d\r\n" % len(body)
        s.sendall(head.encode() + b"\r\n" + body)
        chunks = []
        while True:
            left = timeout - (time.monotonic() - t0)
            if left <= 0:
                raise socket.timeout()
            s.settimeout(left)
            data = s.recv(1 << 20)
            if not data:
                break
            chunks.append(data)
        s.close()
    except OSError:
        return None, b"", time.monotonic() - t0
    raw = b"".join(chunks)
    at = raw.find(b"\r\n\r\n")
    if at < 0 or not raw.startswith(b"HTTP/1.1 "):
        return None, b"", time.monotonic() - t0
    status = int(raw[9:12])
    length = None
    for line in raw[:at].split(b"\r\n"):
        if line.lower().startswith(b"content-length:"):
            length = int(line.split(b":", 1)[1])
    payload = raw[at + 4:]
    if length is not None and len(payload) != length:
        return None, payload, time.monotonic() - t0
    return status, payload, time.monotonic() - t0


def big_get(path, timeout=60.0):
    """For large documents: (status, body length, ends with ']}', seconds)
    without keeping the body."""
    t0 = time.monotonic()
    try:
        s = socket.create_connection(("127.0.0.1", HTTP_PORT), timeout=timeout)
        s.sendall(("GET %s HTTP/1.1\r\n\r\n" % path).encode())
        head = b""
        while b"\r\n\r\n" not in head:
            data = s.recv(65536)
            if not data:
                break
            head += data
        at = head.find(b"\r\n\r\n")
        total = len(head) - at - 4 if at >= 0 else 0
        tail = head[-2:]
        buf = bytearray(1 << 22)
        view = memoryview(buf)
        while True:
            n = s.recv_into(view)
            if n == 0:
                break
            total += n
            tail = (tail + bytes(view[max(0, n - 2):n]))[-2:]
            if time.monotonic() - t0 > timeout:
                raise socket.timeout()
        s.close()
    except OSError:
        return None, 0, False, time.monotonic() - t0
    at = head.find(b"\r\n\r\n")
    if at < 0:
        return None, 0, False, time.monotonic() - t0
    length = None
    for line in head[:at].split(b"\r\n"):
        if line.lower().startswith(b"content-length:"):
            length = int(line.split(b":", 1)[1])
    status = int(head[9:12])
    complete = length is not None and total == length
    return (status if complete else None), total, tail == b"]}", time.monotonic() - t0


class Service(hp.Service):
    def __init__(self, binary, root, limit_as=None):
        super().__init__(binary, root)
        self.limit_as = limit_as

    def start(self):
        os.environ["HOSTILE_EXTRA_CONFIG"] = "httpPort=%d\n" % HTTP_PORT
        if self.limit_as:
            lim = self.limit_as
            orig = hp.subprocess.Popen

            def popen(*a, **k):
                k["preexec_fn"] = lambda: resource.setrlimit(resource.RLIMIT_AS, (lim, lim))
                return orig(*a, **k)
            hp.subprocess.Popen = popen
            try:
                super().start()
            finally:
                hp.subprocess.Popen = orig
        else:
            super().start()
        deadline = time.monotonic() + 20
        while time.monotonic() < deadline:
            if http_get("/api/connections", 1.0)[0] == 200:
                return
            time.sleep(0.05)
        raise RuntimeError("web API did not answer")

    def alive(self):
        return self.proc.poll() is None


def report_stop(name, service):
    status, seconds = service.stop()
    print("  %s: SIGTERM during the attack -> status %s in %.2f s" % (name, status, seconds))


class Publishers:
    """Holds one protocol-2 connection per display."""

    def __init__(self):
        self.socks = []

    def publish(self, records):
        for ident, name, flags, app in records:
            s = hp.connect()
            s.sendall(hp.publish(ident, name, flags, app))
            self.socks.append(s)

    def close(self):
        for s in self.socks:
            try:
                s.close()
            except OSError:
                pass
        self.socks = []


def wait_displays(count, timeout=120):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        status, body, _ = http_get("/api/connections", 5.0)
        if status == 200 and json.loads(body)["connections"]["publisher_count"] >= count:
            return True
        time.sleep(0.2)
    return False


class Prober(threading.Thread):
    """A well-behaved client: GET path (/api/discover) every interval, timed."""

    def __init__(self, interval=0.5, limit=2.0, path="/api/discover"):
        super().__init__(daemon=True)
        self.interval, self.limit, self.path = interval, limit, path
        self.times, self.failed = [], 0
        self.stopping = threading.Event()

    def run(self):
        while not self.stopping.wait(self.interval):
            status, _, seconds = http_get(self.path, self.limit)
            if status == 200:
                self.times.append(seconds)
            else:
                self.failed += 1

    def finish(self):
        self.stopping.set()
        self.join(10)
        total = len(self.times) + self.failed
        within = sum(1 for t in self.times if t <= self.limit)
        return within, total, hp.percentile(self.times, 50), hp.percentile(self.times, 99)


class Trickler(threading.Thread):
    """count connections sending `head` then one byte of filler every period
    seconds; a closed one is replaced at once."""

    def __init__(self, count, head, period, stopping):
        super().__init__(daemon=True)
        self.count, self.head, self.period, self.stopping = count, head, period, stopping
        self.closed = 0

    def open_one(self):
        try:
            s = socket.create_connection(("127.0.0.1", HTTP_PORT), timeout=2)
            s.setblocking(False)
            if self.head:
                s.send(self.head)
            return [s, time.monotonic() + self.period]
        except OSError:
            return None

    def run(self):
        conns = [c for c in (self.open_one() for _ in range(self.count)) if c]
        while not self.stopping.wait(0.2):
            now = time.monotonic()
            for i, c in enumerate(conns):
                dead = False
                try:
                    if c[0].recv(4096) == b"":
                        dead = True
                except BlockingIOError:
                    pass
                except OSError:
                    dead = True
                if not dead and now >= c[1]:
                    try:
                        c[0].send(b"a")
                        c[1] = now + self.period
                    except BlockingIOError:
                        pass
                    except OSError:
                        dead = True
                if dead:
                    self.closed += 1
                    c[0].close()
                    fresh = self.open_one()
                    if fresh:
                        conns[i] = fresh
        for c in conns:
            c[0].close()


def phase_slowloris(binary, root):
    print("slowloris: 150 header tricklers (1 B / 3 s), 100 body tricklers (1 B / 25 s), 1000 displays")
    service = Service(binary, root)
    service.start()
    pubs = Publishers()
    pubs.publish([(hp.display_id(0x51, n), b"display %d" % n, 0, b"TG=Blue:1;") for n in range(1000)])
    wait_displays(1000)
    stopping = threading.Event()
    heads = Trickler(150, b"GET /api/discover HTTP/1.1\r\nX-Slow: ", 3.0, stopping)
    bodies = Trickler(100, b"POST /api/discover HTTP/1.1\r\nContent-Type: application/x-www-form-urlencoded\r\n"
                      b"Content-Length: 100000\r\n\r\n", 25.0, stopping)
    heads.start()
    bodies.start()
    time.sleep(3)
    prober = Prober()
    prober.start()
    time.sleep(SECONDS)
    within, total, p50, p99 = prober.finish()
    print("  legit GET /api/discover: %d of %d answered within 2 s (%.0f %%), p50 %.3f s, p99 %.3f s" %
          (within, total, 100.0 * within / max(1, total), p50, p99))
    print("  attackers closed by the server: %d header, %d body" % (heads.closed, bodies.closed))
    report_stop("slowloris", service)
    stopping.set()
    heads.join(10)
    bodies.join(10)
    pubs.close()


def phase_idle(binary, root):
    print("idle: 1000 connections that never send")
    service = Service(binary, root)
    service.start()
    print("  before the attack: GET -> %s in %.3f s" % http_get("/api/discover", 5.0)[::2])
    held = []
    try:
        for trial in range(3):
            for _ in range(1000 - len(held)):
                s = socket.socket()
                s.setblocking(False)
                s.connect_ex(("127.0.0.1", HTTP_PORT))
                held.append(s)
            time.sleep(1)
            status, _, seconds = http_get("/api/discover", 30.0)
            print("  trial %d: new client's GET -> %s in %.3f s" % (trial + 1, status, seconds))
            held = [s for s in held if not closed(s)]
        report_stop("idle", service)
    finally:
        for s in held:
            s.close()


def phase_stalled(binary, root):
    print("stalled: 100 clients that ask for a 107 MB /api/discover and never read, renewed every 12 s")
    service = Service(binary, root)
    service.start()
    pubs = HeldDisplays("sd", 0xD5, 4000)
    wait_displays(4000, 300)
    sampler = hp.RssSampler(service)
    sampler.start()
    stalled = []

    def stall(count):
        for _ in range(count):
            s = socket.socket()
            s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
            try:
                s.connect(("127.0.0.1", HTTP_PORT))
                s.sendall(b"GET /api/discover HTTP/1.1\r\n\r\n")
            except OSError:
                pass
            stalled.append(s)
    try:
        stall(100)
        time.sleep(1)
        prober = Prober(path="/api/connections")
        prober.start()
        t0 = time.monotonic()
        while time.monotonic() - t0 < SECONDS:
            time.sleep(min(12, SECONDS - (time.monotonic() - t0)))
            stall(100)
        within, total, p50, p99 = prober.finish()
        print("  legit GET /api/connections: %d of %d answered within 2 s (%.0f %%), p50 %.3f s, p99 %.3f s" %
              (within, total, 100.0 * within / max(1, total), p50, p99))
        print("  peak resident %.0f MiB" % sampler.finish())
        report_stop("stalled", service)
    finally:
        for s in stalled:
            s.close()
        pubs.close()


def closed(s):
    try:
        return s.recv(1) == b""
    except BlockingIOError:
        return False
    except OSError:
        return True


def post_urlencoded(size, results, index, content_type="application/x-www-form-urlencoded", filler=b"a=&"):
    body = (filler * (size // len(filler) + 1))[:size]
    status, _, seconds = http_get("/api/discover", 120.0, "POST", body, "Content-Type: %s\r\n" % content_type)
    results[index] = (status, seconds)


def concurrent_posts(count, **kw):
    results = [None] * count
    threads = [threading.Thread(target=post_urlencoded, args=(16 << 20, results, i), kwargs=kw) for i in range(count)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(180)
    return results


def phase_bodies(binary, root):
    print("bodies: 16 MiB POSTs of 'a=&...' (each pair a parameter)")
    service = Service(binary, root, limit_as=4 << 30)
    service.start()
    results = concurrent_posts(10)
    ok = sum(1 for r in results if r and r[0] == 200)
    print("  10 at once under a 4 GiB address-space limit: %d answered 200, service alive: %s" %
          (ok, service.alive()))
    print("  and answering: %s" % (http_get("/api/connections", 5.0)[0] == 200))
    stopping = threading.Event()

    def storm():
        while not stopping.is_set():
            concurrent_posts(4)
    t = threading.Thread(target=storm, daemon=True)
    t.start()
    time.sleep(2)
    report_stop("bodies", service)
    stopping.set()
    t.join(60)

    service = Service(binary, root)
    service.start()
    sampler = hp.RssSampler(service)
    sampler.start()
    base = service.rss_mib()
    results = concurrent_posts(5)
    ok = sum(1 for r in results if r and r[0] == 200)
    results = concurrent_posts(5, content_type="application/json", filler=b"[")
    ok_json = sum(1 for r in results if r and r[0] == 200)
    peak = sampler.finish()
    print("  5 at once: %d answered 200; 5 of 16 MiB '[': %d answered 200; resident %.0f MiB at start, "
          "peak %.0f MiB" % (ok, ok_json, base, peak))
    sampler = hp.RssSampler(service)
    sampler.start()
    part = b'{"a":[' + b"0," * ((16 << 20) // 2 - 8) + b'0]}'
    body = b"".join(b'--XY\r\nContent-Disposition: form-data; name="p%d"\r\nContent-Type: application/json\r\n\r\n'
                    % i + part + b"\r\n" for i in range(8)) + b"--XY--\r\n"
    results = [None] * 5

    def post(i):
        status, _, seconds = http_get("/api/discover", 300.0, "POST", body,
                                      "Content-Type: multipart/form-data; boundary=XY\r\n")
        results[i] = status
    ts = [threading.Thread(target=post, args=(i,)) for i in range(5)]
    for t in ts:
        t.start()
    for t in ts:
        t.join(600)
    print("  5 multipart POSTs of 8 JSON parts of 16 MiB: %s; peak resident %.0f MiB" %
          (results, sampler.finish()))
    service.stop()


def churn(count, name_of, threads=8):
    """Publishes and closes count fresh display ids."""
    done = [0]
    lock = threading.Lock()

    def worker(k):
        for n in range(k, count, threads):
            try:
                s = hp.connect()
                s.sendall(hp.publish(hp.display_id(0xC0 + k, n), name_of(n)))
                s.sendall(hp.PING)
                s.close()
            except OSError:
                continue
            with lock:
                done[0] += 1
    ts = [threading.Thread(target=worker, args=(k,)) for k in range(threads)]
    for t in ts:
        t.start()
    for t in ts:
        t.join()
    return done[0]


def wait_purged(timeout=300):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        status, body, _ = http_get("/api/connections", 10.0)
        if status == 200 and json.loads(body)["connections"]["publisher_count"] == 0:
            return True
        time.sleep(0.5)
    return False


def phase_churn(binary, root):
    count = int(os.environ.get("HTTP_HOSTILE_CHURN", "200000"))
    print("churn: %d display ids published and purged" % count)
    service = Service(binary, root)
    service.start()
    base = service.rss_mib()
    t0 = time.monotonic()
    done = churn(count, lambda n: b"churned %d" % n)
    wait_purged()
    time.sleep(2)
    print("  %d churned in %.0f s; resident %.0f MiB at start, %.0f MiB once all purged (growth %.0f MiB)" %
          (done, time.monotonic() - t0, base, service.rss_mib(), service.rss_mib() - base))
    status, body, seconds = http_get("/api/connections", 30.0)
    rows = len(json.loads(body)["disconnected_displays"]) if status == 200 else -1
    print("  /api/connections: %s, %d rows, %.3f s" % (status, rows, seconds))

    done = churn(19000, lambda n: bytes([1 + n % 30]) * 950)
    wait_purged()
    status, body, seconds = http_get("/api/connections", 60.0)
    valid = False
    try:
        doc = json.loads(body)
        valid = isinstance(doc["disconnected_displays"], list)
    except (ValueError, KeyError):
        pass
    print("  after 19000 control-character names: %s, valid JSON %s, %d bytes, %.3f s" %
          (status, valid, len(body), seconds))

    # 100 pollers of /api/connections beside a protocol-2 probe.
    churn(int(os.environ.get("HTTP_HOSTILE_CHURN_LATENCY", "100000")), lambda n: b"again %d" % n)
    # The pollers run in child processes of their own, so that they do not
    # hold the probe's thread back in this one.
    seconds = min(SECONDS, 20)
    counts = multiprocessing.Queue()
    pollers = [multiprocessing.Process(target=poll_connections, args=(25, seconds, counts)) for _ in range(4)]
    for p in pollers:
        p.start()
    probe = hp.Probe(0x77)
    probe.start()
    time.sleep(seconds)
    probe.stopping.set()
    probe.join(5)
    lat = probe.latencies
    end = service.rss_mib()
    report_stop("churn", service)
    answered = sum(counts.get(timeout=30) for _ in pollers)
    for p in pollers:
        p.join(30)
    print("  100 pollers: %d answers; publish->subscriber p50 %.1f ms, p99 %.1f ms (%d samples); "
          "resident at the end %.0f MiB (growth %.0f MiB)" %
          (answered, hp.percentile(lat, 50), hp.percentile(lat, 99), len(lat), end, end - base))


def poll_connections(threads, seconds, counts):
    """A child process: threads polling /api/connections for seconds."""
    answered = [0]
    end = time.monotonic() + seconds

    def poller():
        while time.monotonic() < end:
            if http_get("/api/connections", 10.0)[0] == 200:
                answered[0] += 1
    ts = [threading.Thread(target=poller) for _ in range(threads)]
    for t in ts:
        t.start()
    for t in ts:
        t.join()
    counts.put(answered[0])


def sd_app(size=984):
    """984 bytes: "SD=a,a,...;" (each item becomes a display_id object)."""
    text = b"SD="
    while len(text) + 3 <= size:
        text += b"a,"
    return (text + b"a" * size)[:size - 1] + b";"


def record(kind, tag, n):
    if kind == "sd":
        return hp.display_id(tag, n), b"d", 0x1000000, sd_app()
    return hp.display_id(tag, n), bytes([1 + n % 30]) * 988, 0, b""


def hold_displays(kind, tag, start, end, ready, stop):
    """A child process: one protocol-2 connection per display until stop."""
    pubs = Publishers()
    pubs.publish([record(kind, tag, n) for n in range(start, end)])
    ready.put(end - start)
    stop.wait(3600)
    pubs.close()


class HeldDisplays:
    """count displays published from child processes (a process holds at
    most 9000 connections: the descriptor limit)."""

    def __init__(self, kind, tag, count):
        self.stop = multiprocessing.Event()
        ready = multiprocessing.Queue()
        step = 9000
        self.procs = [multiprocessing.Process(target=hold_displays,
                                              args=(kind, tag, a, min(count, a + step), ready, self.stop))
                      for a in range(0, count, step)]
        for p in self.procs:
            p.start()
        for _ in self.procs:
            ready.get(timeout=600)

    def close(self):
        self.stop.set()
        for p in self.procs:
            p.join(60)


def check_document(label, expected):
    status, body, seconds = http_get("/api/discover", 120.0)
    count = -1
    if status == 200:
        try:
            count = len(json.loads(body)["displays"])
        except ValueError:
            count = -2
    print("  %s: %s, %d displays of %d, %.1f MB, %.2f s" % (label, status, count, expected, len(body) / 1e6, seconds))


def phase_documents(binary, root):
    print("documents: /api/discover for large registries")
    in_session = 0x1000000
    service = Service(binary, root)
    service.start()
    pubs = HeldDisplays("sd", 0xD1, 4000)
    wait_displays(4000)
    check_document("4000 displays with 984-byte SD data", 4000)
    pubs.close()
    service.stop()

    service = Service(binary, root)
    service.start()
    pubs = HeldDisplays("ctl", 0xD2, 19000)
    wait_displays(19000)
    check_document("19000 displays with control-character names", 19000)
    pubs.close()
    service.stop()

    service = Service(binary, root)
    service.start()
    sampler = hp.RssSampler(service)
    sampler.start()
    pubs = HeldDisplays("sd", 0xD3, FULL - 1)
    wait_displays(FULL - 1, 300)
    stopping = threading.Event()
    flapper = hp.connect()

    def flap():
        flags = 0
        while not stopping.wait(0.1):
            flags ^= 1
            try:
                flapper.sendall(hp.publish(hp.display_id(0xD4, 1), b"flap", in_session | flags, sd_app()))
            except OSError:
                return  # the service stopped
    answers = []

    def poll():
        while not stopping.is_set():
            answers.append(big_get("/api/discover", 120.0))
    threads = [threading.Thread(target=flap, daemon=True)] + [threading.Thread(target=poll, daemon=True)
                                                               for _ in range(10)]
    for t in threads:
        t.start()
    time.sleep(SECONDS)
    done = list(answers)
    complete = sum(1 for a in done if a[0] == 200 and a[2])
    sizes = sorted(a[1] for a in done if a[0] == 200)
    times = [a[3] for a in done if a[0] == 200]
    print("  %d displays, 1 flapping, 10 pollers: %d of %d answers complete, %.0f MB each, p50 %.1f s; "
          "peak resident %.0f MiB" % (FULL, complete, len(done), (sizes[len(sizes) // 2] / 1e6) if sizes else 0,
                                      hp.percentile(times, 50), sampler.finish()))
    report_stop("documents", service)
    stopping.set()
    pubs.close()
    flapper.close()


MULTIPART_PARTS = 200000


def many_parts_body(parts=MULTIPART_PARTS):
    """One-byte file parts, each under a name of its own."""
    return b"".join(b'--MP\r\nContent-Disposition: form-data; name="f"; filename="p%d"\r\n\r\nx\r\n' % i
                    for i in range(parts)) + b"--MP--\r\n"


def post_many_parts(body, timeout, results, index, sent):
    """POST body to /api/discover; sent is set once the body is out.
    results[index] = (status or None when not whole, seconds)."""
    t0 = time.monotonic()
    status = None
    try:
        s = socket.create_connection(("127.0.0.1", HTTP_PORT), timeout=timeout)
        s.sendall(b"POST /api/discover HTTP/1.1\r\nContent-Type: multipart/form-data; boundary=MP\r\n"
                  b"Content-Length: %d\r\n\r\n" % len(body) + body)
        sent.set()
        raw = b""
        while time.monotonic() - t0 < timeout:
            s.settimeout(max(0.05, timeout - (time.monotonic() - t0)))
            data = s.recv(1 << 20)
            if not data:
                break
            raw += data
        s.close()
        at = raw.find(b"\r\n\r\n")
        if at >= 0 and raw.startswith(b"HTTP/1.1 "):
            length = None
            for line in raw[:at].split(b"\r\n"):
                if line.lower().startswith(b"content-length:"):
                    length = int(line.split(b":", 1)[1])
            if length is not None and len(raw) - at - 4 == length:
                status = int(raw[9:12])
    except OSError:
        pass
    sent.set()
    results[index] = (status, time.monotonic() - t0)


def many_parts_round(body, timeout, count=4):
    """count concurrent POSTs, started now: (threads, results, sent events)."""
    results = [None] * count
    sent = [threading.Event() for _ in range(count)]
    threads = [threading.Thread(target=post_many_parts, args=(body, timeout, results, i, sent[i]), daemon=True)
               for i in range(count)]
    for t in threads:
        t.start()
    return threads, results, sent


def phase_multipart(binary, root):
    print("multipart: rounds of 4 concurrent POSTs of %d one-byte file parts, legit GET beside them" %
          MULTIPART_PARTS)
    body = many_parts_body()
    service = Service(binary, root)
    service.start()
    prober = Prober()
    prober.start()
    answers = []
    rounds = 0
    t0 = time.monotonic()
    while time.monotonic() - t0 < SECONDS:
        threads, results, _ = many_parts_round(body, SECONDS + 10)
        for t in threads:
            t.join(SECONDS + 20)
        answers += results
        rounds += 1
    within, total, p50, p99 = prober.finish()
    whole = sum(1 for r in answers if r and r[0] == 200)
    times = [r[1] for r in answers if r and r[0] == 200]
    print("  %d rounds of %d MB bodies: %d of %d attack answers whole, p50 %.2f s" %
          (rounds, len(body) >> 20, whole, len(answers), hp.percentile(times, 50)))
    print("  legit GET /api/discover: %d of %d answered within 2 s (%.0f %%), p50 %.3f s, p99 %.3f s" %
          (within, total, 100.0 * within / max(1, total), p50, p99))
    # A fresh round: SIGTERM once its bodies are in, while they are parsed.
    threads, _, sent = many_parts_round(body, 30)
    for e in sent:
        e.wait(20)
    time.sleep(0.1)
    report_stop("multipart", service)
    for t in threads:
        t.join(35)


def publish_plain(count, tag):
    """count displays whose /api/discover is about 1.2 KB each."""
    pubs = Publishers()
    pubs.publish([(hp.display_id(tag, n), b"display %d " % n + b"n" * 900, 0, b"TG=Blue:1;") for n in range(count)])
    wait_displays(count)
    return pubs


def exchange(parts, timeout=10.0):
    """Sends parts [(delay s, bytes)], then reads until the server closes, as
    a simple client does.
    ('whole'|'reset'|'short'|'empty'|'timeout', bytes received, seconds)."""
    t0 = time.monotonic()
    got = bytearray()
    outcome = None
    try:
        s = socket.create_connection(("127.0.0.1", HTTP_PORT), timeout=timeout)
    except OSError:
        return "empty", 0, time.monotonic() - t0
    try:
        s.setblocking(False)
        readable = select.poll()
        readable.register(s, select.POLLIN)
        pending = list(parts)
        while outcome is None:
            now = time.monotonic() - t0
            if now > timeout:
                outcome = "timeout"
                break
            while pending and pending[0][0] <= now:
                try:
                    s.sendall(pending.pop(0)[1])
                except BlockingIOError:
                    pass
                except OSError:
                    pending = []
            wait = min(0.05, timeout - now)
            if pending:
                wait = max(0.0, min(wait, pending[0][0] - now))
            if pending:
                time.sleep(wait)
                continue
            readable.poll(wait * 1000)
            try:
                while True:
                    data = s.recv(1 << 20)
                    if not data:
                        outcome = "eof"
                        break
                    got += data
            except BlockingIOError:
                pass
            except OSError as e:
                outcome = "reset" if e.errno == errno.ECONNRESET else "short"
    finally:
        s.close()
    seconds = time.monotonic() - t0
    at = got.find(b"\r\n\r\n")
    if not got:
        return ("empty" if outcome == "eof" else outcome), 0, seconds
    length = None
    for line in bytes(got[:max(0, at)]).split(b"\r\n"):
        if line.lower().startswith(b"content-length:"):
            length = int(line.split(b":", 1)[1])
    if outcome == "eof":
        outcome = "whole" if at >= 0 and length is not None and len(got) - at - 4 == length else "short"
    return outcome, len(got), seconds


def phase_trailing(binary, root):
    print("trailing: bytes after the request, 3000 displays, 10 rounds per case")
    service = Service(binary, root)
    service.start()
    pubs = publish_plain(3000, 0x71)
    get = b"GET /api/discover HTTP/1.1\r\nHost: x\r\n\r\n"
    cases = [
        ("plain GET", [(0, get)]),
        ("second GET 50 ms later", [(0, get), (0.05, get)]),
        ("5 bytes past Content-Length", [(0, b"GET /api/discover HTTP/1.1\r\nContent-Length: 5\r\n\r\nabcde"),
                                         (0.05, b"12345")]),
        ("chunked body", [(0, b"POST /api/discover HTTP/1.1\r\nTransfer-Encoding: chunked\r\n"
                              b"Content-Type: application/x-www-form-urlencoded\r\n\r\n"),
                          (0.05, b"5\r\na=1&b\r\n0\r\n\r\n")]),
    ]
    prober = Prober(interval=0.05, path="/api/connections")
    prober.start()
    print("  document: %s, %d bytes" % big_get("/api/discover")[:2])
    for label, parts in cases:
        outcomes = {}
        sizes = []
        for _ in range(10):
            outcome, size, _ = exchange(parts)
            outcomes[outcome] = outcomes.get(outcome, 0) + 1
            sizes.append(size)
        print("  %-28s %s; received %d..%d bytes" % (label + ":", ", ".join(
            "%s %d" % kv for kv in sorted(outcomes.items())), min(sizes), max(sizes)))
    within, total, p50, p99 = prober.finish()
    print("  legit GET /api/connections: %d of %d answered within 2 s (%.0f %%), p50 %.3f s, p99 %.3f s" %
          (within, total, 100.0 * within / max(1, total), p50, p99))
    report_stop("trailing", service)
    pubs.close()


def flood_never_read(rate, hold, seconds, counts):
    """A child process: rate connections a second that ask for /api/discover
    and never read; each is reset after hold seconds."""
    sel = selectors.DefaultSelector()
    opened = sent = 0
    conns = []
    start = time.monotonic()
    while time.monotonic() - start < seconds:
        now = time.monotonic()
        while opened < (now - start) * rate:
            s = socket.socket()
            s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
            s.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            s.setblocking(False)
            s.connect_ex(("127.0.0.1", HTTP_PORT))
            sel.register(s, selectors.EVENT_WRITE)
            conns.append((now, s))
            opened += 1
        for key, _ in sel.select(0.005):
            sel.unregister(key.fileobj)
            try:
                key.fileobj.send(b"GET /api/discover HTTP/1.1\r\n\r\n")
                sent += 1
            except OSError:
                pass
        while conns and now - conns[0][0] > hold:
            s = conns.pop(0)[1]
            try:
                sel.unregister(s)
            except (KeyError, ValueError):
                pass
            s.close()
    for _, s in conns:
        s.close()
    counts.put((opened, sent))


def tcp_memory_mib():
    try:
        with open("/proc/net/sockstat") as f:
            for line in f:
                if line.startswith("TCP:"):
                    parts = line.split()
                    return int(parts[parts.index("mem") + 1]) * 4096 / 1048576.0
    except (OSError, ValueError):
        pass
    return 0.0


def phase_flood(binary, root):
    hold = float(os.environ.get("HTTP_HOSTILE_FLOOD_HOLD", "1"))
    seconds = min(SECONDS, 20)
    print("flood: 300 connections/s asking for /api/discover (3000 displays) and never reading, each held %.0f s" % hold)
    service = Service(binary, root)
    service.start()
    pubs = publish_plain(3000, 0x72)
    counts = multiprocessing.Queue()
    flood = multiprocessing.Process(target=flood_never_read, args=(300, hold, seconds + 2, counts))
    flood.start()
    time.sleep(2)
    outcomes = {}
    times = []
    peak_tcp = 0.0
    t0 = time.monotonic()
    while time.monotonic() - t0 < seconds:
        started = time.monotonic()
        outcome, _, took = exchange([(0, b"GET /api/discover HTTP/1.1\r\nHost: x\r\n\r\n")], 5.0)
        if outcome == "whole":
            times.append(took)
            if took > 2.0:
                outcome = "whole, late"
        outcomes[outcome] = outcomes.get(outcome, 0) + 1
        peak_tcp = max(peak_tcp, tcp_memory_mib())
        time.sleep(max(0.0, 0.2 - (time.monotonic() - started)))
    total = sum(outcomes.values())
    within = outcomes.get("whole", 0)
    print("  legit GET /api/discover: %d of %d answered whole within 2 s (%.0f %%), p50 %.3f s, p99 %.3f s; %s" %
          (within, total, 100.0 * within / max(1, total), hp.percentile(times, 50), hp.percentile(times, 99),
           ", ".join("%s %d" % kv for kv in sorted(outcomes.items()))))
    report_stop("flood", service)
    flood.join(30)
    opened, sent = counts.get(timeout=10)
    print("  flood: %d connections, %d requests sent; peak TCP memory %.0f MiB" % (opened, sent, peak_tcp))
    pubs.close()


def main():
    binary = sys.argv[1]
    phases = sys.argv[2:] or ["slowloris", "idle", "stalled", "trailing", "flood", "bodies", "multipart", "churn",
                              "documents"]
    for name in phases:
        with tempfile.TemporaryDirectory(prefix="http-hostile.") as root:
            t0 = time.monotonic()
            globals()["phase_" + name](binary, root)
            print("  (%s took %.0f s)" % (name, time.monotonic() - t0))
            sys.stdout.flush()


if __name__ == "__main__":
    main()
