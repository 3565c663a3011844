#!/usr/bin/env python3
"""Hostile peers against the discovery service's protocol-2 port (53202).

Run through bench/hostile_peers.sh, which gives it a network namespace of its
own. Starts the service itself (by pid), runs three phases and prints their
figures:

  subscribe   one connection floods subscribes with 1000 displays published;
              others' publish->subscriber latency, resident memory, time to a
              full answer after the attacker closes, SIGTERM during the attack
  publish     four connections flood identical publishes; memory, latency,
              how late a closed publisher's removal arrives
  mixed       50 random hostile peers beside 100 well-behaved ones; every
              publish and removal seen exactly once and in order, clean stop

Every loop is bounded in count and time. Only the standard library is used.
Attack roles run as child processes of this script (stopped by pid).
"""
import os
import random
import selectors
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time

PORT = 53202
PING = b"CRVPNG"
SUBSCRIBE = b"CRVTDS" + struct.pack("<I", 1) + b"\x02"
PURGE_SECONDS = 2


def display_id(tag, n):
    return struct.pack("<IHH", tag, 0, 0) + n.to_bytes(8, "big")


def publish(ident, name, flags=0, app=b""):
    body = (b"\x01" + ident + struct.pack("<I", len(name)) + name + struct.pack("<IHI", 0x7F000001, 1, flags) +
            struct.pack("<I", len(app)) + app)
    return b"CRVTDS" + struct.pack("<I", len(body)) + body


class Stream:
    """Splits a subscriber's byte stream into ('P', id, flags) and ('R', id)."""

    def __init__(self):
        self.buf = bytearray()

    def feed(self, data):
        self.buf += data
        out = []
        while True:
            if len(self.buf) >= 6 and self.buf[:6] == PING:
                del self.buf[:6]
                continue
            if len(self.buf) < 10:
                break
            if self.buf[:6] != b"CRVTDS":
                raise ValueError("bad start code from the service")
            size = struct.unpack_from("<I", self.buf, 6)[0]
            if len(self.buf) < 10 + size:
                break
            body = bytes(self.buf[10:10 + size])
            del self.buf[:10 + size]
            ident = body[1:17]
            if body[0] == 1:
                name_len = struct.unpack_from("<I", body, 17)[0]
                flags = struct.unpack_from("<I", body, 21 + name_len + 6)[0]
                out.append(("P", ident, flags))
            elif body[0] == 3:
                out.append(("R", ident, 0))
        return out


def connect(rcvbuf=0, timeout=5.0):
    s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    if rcvbuf:
        s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, rcvbuf)
    s.settimeout(timeout)
    s.connect(("127.0.0.1", PORT))
    s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    return s


def percentile(values, p):
    if not values:
        return float("nan")
    values = sorted(values)
    return values[min(len(values) - 1, int(len(values) * p / 100.0))]


class Service:
    def __init__(self, binary, root):
        self.binary = binary
        self.root = root
        self.proc = None

    def start(self):
        etc = os.path.join(self.root, "etc", "Corvane")
        os.makedirs(etc, exist_ok=True)
        with open(os.path.join(etc, "DirectoryService.conf"), "w") as f:
            f.write("PublisherPurgeTimeout=%d\n" % PURGE_SECONDS)
            f.write(os.environ.get("HOSTILE_EXTRA_CONFIG", ""))
        env = dict(os.environ, CORVANE_DATA_ROOT=os.path.join(self.root, "data"),
                   CORVANE_REGISTRY_ROOT=os.path.join(self.root, "etc"), CORVANE_NO_CRASH_HANDLER="1")
        env.pop("NOTIFY_SOCKET", None)
        self.stderr = open(os.path.join(self.root, "service.stderr"), "ab")
        self.proc = subprocess.Popen([self.binary, "-e"], env=env, stdout=subprocess.DEVNULL, stderr=self.stderr)
        deadline = time.monotonic() + 20
        while time.monotonic() < deadline:
            try:
                connect(timeout=1).close()
                return
            except OSError:
                if self.proc.poll() is not None:
                    raise RuntimeError("service ended at start")
                time.sleep(0.05)
        raise RuntimeError("service did not listen")

    def rss_mib(self):
        try:
            with open("/proc/%d/status" % self.proc.pid) as f:
                for line in f:
                    if line.startswith("VmRSS:"):
                        return int(line.split()[1]) / 1024.0
        except OSError:
            pass
        return 0.0

    def stop(self, timeout=10):
        """SIGTERM; (exit status, seconds). Killed by pid when it hangs."""
        if self.proc is None or self.proc.poll() is not None:
            return (self.proc.returncode if self.proc else None, 0.0)
        t0 = time.monotonic()
        self.proc.send_signal(signal.SIGTERM)
        try:
            status = self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            status = "hung (killed) %r" % self.proc.wait(5)
        self.stderr.close()
        return status, time.monotonic() - t0


class RssSampler(threading.Thread):
    def __init__(self, service):
        super().__init__(daemon=True)
        self.service, self.peak, self.stopping = service, 0.0, threading.Event()

    def run(self):
        while not self.stopping.wait(0.1):
            self.peak = max(self.peak, self.service.rss_mib())

    def finish(self):
        self.stopping.set()
        self.join(5)
        return self.peak


class Probe(threading.Thread):
    """A publisher changing one display every 20 ms and a subscriber timing
    each change's arrival; also records removals of watched ids."""

    def __init__(self, tag, initial=0):
        super().__init__(daemon=True)
        self.display = display_id(tag, 1)
        self.latencies, self.sent, self.removals = [], {}, {}
        self.stopping = threading.Event()
        self.sub = connect()
        self.sub.sendall(SUBSCRIBE)
        self.pub = connect()
        self.initial_expected = initial

    def run(self):
        stream = Stream()
        self.sub.settimeout(0.02)
        flags, last_send, last_ping = 0, 0.0, time.monotonic()
        while not self.stopping.is_set():
            now = time.monotonic()
            if now - last_send >= 0.02:
                flags += 1
                self.sent[flags] = time.monotonic()
                self.pub.sendall(publish(self.display, b"probe", flags))
                last_send = now
            if now - last_ping > 5:
                self.sub.sendall(PING)
                last_ping = now
            try:
                data = self.sub.recv(1 << 16)
                if not data:
                    break
            except socket.timeout:
                continue
            t = time.monotonic()
            for kind, ident, f in stream.feed(data):
                if kind == "P" and ident == self.display and f in self.sent:
                    self.latencies.append((t - self.sent.pop(f)) * 1000)
                elif kind == "R":
                    self.removals.setdefault(ident, t)

    def finish(self):
        self.stopping.set()
        self.join(5)
        self.sub.close()
        self.pub.close()
        return self.latencies


def spawn_role(role, seconds, *args):
    return subprocess.Popen([sys.executable, os.path.abspath(__file__), role, str(seconds)] + [str(a) for a in args])


def stop_role(proc):
    if proc.poll() is None:
        proc.send_signal(signal.SIGTERM)
        try:
            proc.wait(5)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait(5)


# ---- attack roles (child processes) ----

def flood(seconds, chunk, rcvbuf=0):
    """Sends chunk over and over, never reading; reconnects when dropped."""
    end = time.monotonic() + seconds
    signal.signal(signal.SIGTERM, lambda *a: sys.exit(0))
    while time.monotonic() < end:
        try:
            s = connect(rcvbuf=rcvbuf)
            s.setblocking(False)
            while time.monotonic() < end:
                try:
                    s.send(chunk)
                except BlockingIOError:
                    select_wait(s, min(0.05, max(0.0, end - time.monotonic())))
            s.close()
        except OSError:
            time.sleep(0.01)


def role_subscribe_flood(seconds):
    flood(seconds, SUBSCRIBE * 6000, rcvbuf=4096)


def role_publish_flood(seconds, n):
    flood(seconds, publish(display_id(0xF1000D, int(n)), b"flood", 7) * 2000)


def select_wait(s, timeout):
    sel = selectors.DefaultSelector()
    sel.register(s, selectors.EVENT_WRITE)
    sel.select(timeout)
    sel.close()


def role_hostile(seconds, seed):
    """One random hostile peer: random bytes, floods, half-open, slow reader,
    reconnect storms; its publishes use ids of its own."""
    rng = random.Random(int(seed))
    end = time.monotonic() + seconds
    signal.signal(signal.SIGTERM, lambda *a: sys.exit(0))
    cycles = 0
    while time.monotonic() < end and cycles < 100000:
        cycles += 1
        kind = rng.choice(["random", "subflood", "pubflood", "halfopen", "slow", "storm"])
        budget = min(rng.uniform(0.2, 3.0), max(0.0, end - time.monotonic()))
        until = time.monotonic() + budget
        try:
            if kind == "storm":
                for _ in range(200):
                    if time.monotonic() >= until:
                        break
                    connect(timeout=1).close()
                continue
            s = connect(rcvbuf=4096 if kind in ("subflood", "slow") else 0, timeout=1)
            if kind == "random":
                s.sendall(bytes(rng.getrandbits(8) for _ in range(rng.randint(1, 4000))))
            elif kind in ("subflood", "pubflood"):
                data = SUBSCRIBE * 2000 if kind == "subflood" else \
                    publish(display_id(0xBAD0000 + int(seed), rng.randint(1, 3)), b"hostile", rng.getrandbits(32)) * 500
                s.setblocking(False)
                while time.monotonic() < until:
                    try:
                        s.send(data)
                    except BlockingIOError:
                        select_wait(s, 0.05)
            elif kind == "halfopen":
                s.sendall(b"CRVTDS" + struct.pack("<I", 100) + b"\x01")
                time.sleep(budget)
            elif kind == "slow":
                s.sendall(SUBSCRIBE)
                s.settimeout(0.1)
                while time.monotonic() < until:
                    try:
                        s.recv(1)
                    except socket.timeout:
                        pass
            if rng.random() < 0.5:
                s.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            s.close()
        except OSError:
            time.sleep(0.01)


# ---- phases ----

def phase_subscribe(binary, root, seconds):
    print("== subscribe flood: 1 attacker, 1000 displays, %d s" % seconds, flush=True)
    service = Service(binary, os.path.join(root, "subscribe"))
    service.start()
    publishers = []
    for i in range(1000):
        s = connect()
        s.sendall(publish(display_id(0xD15, i), b"display-%04d" % i, 0, b"x" * 40))
        publishers.append(s)
    probe = Probe(0x9B0BE)
    probe.start()
    sampler = RssSampler(service)
    sampler.start()
    time.sleep(1)  # the probe's steady state before the attack
    probe.latencies.clear()
    attacker = spawn_role("subscribe-flood", seconds)
    attacker.wait(seconds + 10)
    stop_role(attacker)
    during = list(probe.latencies)
    t0 = time.monotonic()
    # Fully responsive: a new subscriber gets all 1001 displays.
    s = connect(timeout=10)
    s.sendall(SUBSCRIBE)
    stream, seen = Stream(), set()
    while len(seen) < 1001 and time.monotonic() - t0 < 10:
        data = s.recv(1 << 16)
        if not data:
            break
        for kind, ident, _ in stream.feed(data):
            if kind == "P":
                seen.add(ident)
    responsive = time.monotonic() - t0
    s.close()
    probe.finish()
    peak = sampler.finish()
    print("  publish->subscriber during attack: p50 %.1f ms, p99 %.1f ms, max %.1f ms (%d samples)" %
          (percentile(during, 50), percentile(during, 99), max(during or [0]), len(during)))
    print("  peak resident memory: %.1f MiB" % peak)
    print("  full list (%d displays) %.3f s after the attacker closed" % (len(seen), responsive))
    # SIGTERM during an attack.
    attacker = spawn_role("subscribe-flood", 10)
    time.sleep(2)
    status, took = service.stop()
    stop_role(attacker)
    for p in publishers:
        p.close()
    print("  SIGTERM during the attack: exit status %s after %.3f s" % (status, took), flush=True)


def phase_publish(binary, root, seconds):
    print("== publish flood: 4 connections, %d s" % seconds, flush=True)
    service = Service(binary, os.path.join(root, "publish"))
    service.start()
    probe = Probe(0x9B0BF)
    probe.start()
    sampler = RssSampler(service)
    sampler.start()
    floods = [spawn_role("publish-flood", seconds, 1) for _ in range(4)]
    t_end = time.monotonic() + seconds
    lateness, victims = [], 0
    pending = []
    while time.monotonic() < t_end and victims < 1000:
        victims += 1
        ident = display_id(0x71C7, victims)
        v = connect()
        v.sendall(publish(ident, b"victim", 1))
        time.sleep(0.5)
        v.close()
        pending.append((ident, time.monotonic()))
        time.sleep(min(4.5, max(0.0, t_end - time.monotonic())))
    time.sleep(PURGE_SECONDS + 2)
    for ident, closed in pending:
        arrived = probe.removals.get(ident)
        if arrived is not None:
            lateness.append(arrived - (closed + PURGE_SECONDS))
    for f in floods:
        stop_role(f)
    latencies = probe.finish()
    peak = sampler.finish()
    status, took = service.stop()
    print("  publish->subscriber: p50 %.1f ms, p99 %.1f ms, max %.1f ms (%d samples)" %
          (percentile(latencies, 50), percentile(latencies, 99), max(latencies or [0]), len(latencies)))
    print("  peak resident memory: %.1f MiB" % peak)
    print("  closed publishers' removals: %d of %d arrived; late by at most %.3f s after the %d s time-out" %
          (len(lateness), len(pending), max(lateness or [float("nan")]), PURGE_SECONDS))
    print("  SIGTERM: exit status %s after %.3f s" % (status, took), flush=True)


def phase_mixed(binary, root, seconds):
    print("== mixed: 50 hostile, 100 well-behaved (20 publishers, 80 subscribers), %d s" % seconds, flush=True)
    service = Service(binary, os.path.join(root, "mixed"))
    service.start()
    ids = [display_id(0x600D, i) for i in range(20)]
    subs = []
    for _ in range(80):
        s = connect()
        s.sendall(SUBSCRIBE)
        s.setblocking(False)
        subs.append(s)
    hostile = [spawn_role("hostile", seconds, seed) for seed in range(int(os.environ.get("HOSTILE_PEERS", "50")))]
    pubs = [connect() for _ in ids]
    flags = [0] * len(ids)
    sel = selectors.DefaultSelector()
    state = {}
    for s in subs:
        sel.register(s, selectors.EVENT_READ, (Stream(), {}, {}))
    errors = []

    def drain(timeout):
        got = False
        for key, _ in sel.select(timeout):
            got = True
            stream, last, removed = key.data
            try:
                data = key.fileobj.recv(1 << 16)
            except BlockingIOError:
                continue
            if not data:
                errors.append("a well-behaved subscriber was closed")
                sel.unregister(key.fileobj)
                continue
            for kind, ident, f in stream.feed(data):
                if ident not in state:
                    continue
                if kind == "P":
                    if ident in removed:
                        errors.append("publish after removal")
                    if ident in last and f != last[ident] + 1:
                        errors.append("flags %d after %d" % (f, last[ident]))
                    last[ident] = f
                else:
                    removed[ident] = removed.get(ident, 0) + 1
        return got

    for ident in ids:
        state[ident] = True
    t_end = time.monotonic() + seconds
    last_ping = time.monotonic()
    rounds = 0
    while time.monotonic() < t_end and rounds < 100000:
        rounds += 1
        i = rounds % len(ids)
        flags[i] += 1
        pubs[i].sendall(publish(ids[i], b"good-%02d" % i, flags[i]))
        if time.monotonic() - last_ping > 5:
            for s in subs:
                try:
                    s.send(PING)
                except OSError:
                    pass
            last_ping = time.monotonic()
        drain(0.01)
    for h in hostile:
        stop_role(h)
    # Half of the publishers leave: each must be removed exactly once. The
    # subscribers read until the service has been quiet for a second (the
    # hostile publishes fanned out to them may still be queued).
    for i in range(10):
        pubs[i].close()
    def caught_up(key):
        _, last, removed = key.data
        return all(last.get(ids[i]) == flags[i] for i in range(20)) and all(removed.get(ids[i]) for i in range(10))

    closed_at = time.monotonic()
    t_max = closed_at + 120
    while time.monotonic() < t_max and not all(caught_up(k) for k in sel.get_map().values()):
        drain(0.2)
    # Anything sent twice would arrive right behind.
    t_extra = time.monotonic() + 1
    while time.monotonic() < t_extra:
        drain(0.1)
    print("  all well-behaved subscribers caught up %.1f s after the last publish and the closes" %
          (time.monotonic() - closed_at - 1))
    if os.environ.get("HOSTILE_DEBUG"):
        for _ in range(3):
            cpu = {}
            for tid in os.listdir("/proc/%d/task" % service.proc.pid):
                with open("/proc/%d/task/%s/stat" % (service.proc.pid, tid)) as f:
                    fields = f.read().rsplit(")", 1)[1].split()
                cpu[tid] = int(fields[11]) + int(fields[12])
            print("  debug: rss %.1f MiB, thread ticks %s" % (service.rss_mib(), sorted(cpu.values())[-4:]))
            time.sleep(1)
        c = connect()
        c.sendall(SUBSCRIBE)
        c.settimeout(1)
        st, listed = Stream(), set()
        try:
            while True:
                d = c.recv(1 << 16)
                if not d:
                    break
                for kind, ident, f in st.feed(d):
                    if kind == "P" and ident in state:
                        listed.add(ids.index(ident))
        except socket.timeout:
            pass
        print("  debug: listed well-behaved displays", sorted(listed))
    complete, reported = 0, False
    for key in list(sel.get_map().values()):
        _, last, removed = key.data
        ok = all(last.get(ids[i]) == flags[i] for i in range(20)) and \
            all(removed.get(ids[i]) == 1 for i in range(10)) and all(ids[i] not in removed for i in range(10, 20))
        complete += ok
        if not ok and not reported:
            reported = True
            print("  first incomplete subscriber: last flags %s of %s; removals %s" %
                  ([last.get(ident) for ident in ids], flags, [removed.get(ident) for ident in ids]))
    status, took = service.stop(timeout=30)
    for p in pubs[10:]:
        p.close()
    for s in subs:
        s.close()
    print("  well-behaved subscribers with every publish and removal exactly once, in order: %d of 80" % complete)
    print("  order/duplicate errors: %d%s" % (len(errors), (" (first: %s)" % errors[0]) if errors else ""))
    print("  SIGTERM: exit status %s after %.3f s" % (status, took), flush=True)


def main():
    if len(sys.argv) > 1 and sys.argv[1] == "subscribe-flood":
        return role_subscribe_flood(float(sys.argv[2]))
    if len(sys.argv) > 1 and sys.argv[1] == "publish-flood":
        return role_publish_flood(float(sys.argv[2]), sys.argv[3])
    if len(sys.argv) > 1 and sys.argv[1] == "hostile":
        return role_hostile(float(sys.argv[2]), sys.argv[3])
    binary, asan_binary = sys.argv[1], sys.argv[2]
    sub_s = int(os.environ.get("SUBSCRIBE_SECONDS", "10"))
    pub_s = int(os.environ.get("PUBLISH_SECONDS", "60"))
    mix_s = int(os.environ.get("MIXED_SECONDS", "60"))
    with tempfile.TemporaryDirectory(prefix="tds-hostile-") as root:
        phase_subscribe(binary, root, sub_s)
        phase_publish(binary, root, pub_s)
        if os.path.exists(asan_binary):
            phase_mixed(asan_binary, root, mix_s)
            path = os.path.join(root, "mixed", "service.stderr")
            text = open(path, errors="replace").read() if os.path.exists(path) else ""
            print("  sanitizer reports: %d" % text.count("ERROR: "))
        else:
            print("== mixed: skipped (no ASan build at %s)" % asan_binary)


if __name__ == "__main__":
    main()
