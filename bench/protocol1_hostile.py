#!/usr/bin/env python3
"""Hostile peers against the protocol-1 ports (53200/53201) and the bridge.

Run through bench/protocol1_hostile.sh, which gives it a network namespace of
its own. Each phase starts the service itself (by pid), runs one attack beside
a well-behaved protocol-1 client, prints its figures, then sends SIGTERM while
the attack still runs and times the exit:

  enum     2500 displays; one connection registers a callback id that is no
           connection and floods RequestDisplayEnumeration: peak resident,
           legit call p99, resident 10 s after the attacker leaves
  burst    the same with a callback connection that reads everything, and
           20000 requests in one send
  stall    a flow-controlled (mode 2) peer that never acknowledges, calling
           all the time: share of legit rounds that succeed
  reset    every 2 s a peer sends a connect record, 3 calls and a reset:
           share of legit rounds that succeed
  rename   3000 rename + AddNotify pairs: threads before, during, after
  bridge   one UpdateDisplay with 68 MB of application data, then 150000
           displays of 500 bytes, with a protocol-2 subscriber reading
           throughout: closed or not, largest size field it saw
  frames   10 peers stalled inside 100 MiB frames, 5 holding 96 MiB of
           fragments without the last: peak resident
  silent   100 and 200 peers per port that connect and send nothing (some
           never read the handshake, some read it): how long a legit client
           waits to be served, how many peers the service closed; then
           200 per port that come back as soon as they are closed (from
           127.0.0.2 like every attacker here, then from the legit client's
           own 127.0.0.1)
  window   a flow-controlled (mode 2) peer that reads everything but never
           acknowledges: 64 KiB of calls at once, then 20 calls/s; a legit
           caller on one connection measured throughout: share answered
           within 5 s, latencies, answers not whole, connections closed
  keepalive  100 peers per port that send keep-alive settings of
           {0xFFFFFFFF, 0xFFFFFFFF} and fall silent: when the last is closed
           (P1_KEEPALIVE_SECONDS bounds the wait, 400), legit rounds meanwhile
  kapartial  50 peers per port that send keep-alive settings of
           {0xFFFFFFFF, 300000}, then 10 bytes of a frame's body (half) or
           3 bytes of a start code (half), and stall: CPU and threads while
           they stall, threads 2 s and 10 s after they leave; then the same
           peers again, waited for until the service closes them (bounded
           by P1_KEEPALIVE_SECONDS), legit rounds throughout
  slotchurn  100 attacker addresses with one connection each per port,
           keep-alive frames every 100 ms, back at once when closed, beside
           a persistent legit client that enumerates every 0.5 s: its
           rounds, how often its connections were closed
  heldbudget  8 peers stalled inside frames of 28-31 MiB (239 MiB), back
           when closed, beside a mode-1 legit client that keeps its
           connections and every 0.5 s reads a 33 MB list, acknowledging it
           at its end: lists whole, legit connections closed, budget lines
  shared   registrations that never read their callbacks, each holding the
           list (a 32 MiB table and 8 of them; 20000 bridged 1 KB displays
           and 24 of them), beside a legit client reading whole lists:
           rounds answered within 5 s, whole, closed; peak resident
  rebuild  connections that change their display before every enumeration
           (2 of them over 20000 bridged 1 KB displays; 4 over 10000 small
           ones), beside a legit client reading whole lists and a
           protocol-2 probe: legit rounds, p50, protocol-2 p99, CPU
  share    from one address: 70 layered connections registering under 4
           names each (4 of them closing at once; below the listener's 100, so
           that no slot needs freeing), and one connection
           keeping 12000 displays fresh; a
           legit client from 127.0.0.1 adds a display, registers and
           enumerates: rounds served, refusals, and the same for 15 s after
           the attacker left

The peers write the transport's frames, layer records and RPC records by
hand. Every loop is bounded in count and time. Only the standard library.
"""
import os
import random
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time
import uuid

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import hostile_peers  # noqa: E402  (the service runner and samplers)

RPC_PORT, CALLBACK_PORT, P2_PORT = 53200, 53201, 53202
SECONDS = float(os.environ.get("P1_SECONDS", "20"))
# Layered connections of the share phase's registration flood (66: below
# the listener's 100; 96 and more make the listener free slots).
SHARE_CONNECTIONS = int(os.environ.get("P1_SHARE_CONNECTIONS", "66"))
START = b"CRVMSG\x00"
RPC_TYPE = uuid.UUID("7a49fb65-09ab-11de-8c30-0800200c9a66")
STUB = uuid.UUID("a0a14dd0-daad-11e3-9c1a-0800200c9a66")
LAYERED = uuid.UUID("585e9369-bd10-4a57-ac8d-ac3bc4f4b4a4")
FLOW = uuid.UUID("84dbd83a-ef14-4935-a5db-c825a938abce")
ADD_NOTIFY, REMOVE_NOTIFY, ENUMERATE, UPDATE = 0, 1, 2, 4


def frame(type_uuid, body):
    return START + struct.pack("<I", len(body)) + type_uuid.bytes_le + body


def rpc_body(kind, method, params, call=None):
    call = call or uuid.uuid4()
    return bytes([kind]) + STUB.bytes_le + struct.pack("<H", method) + call.bytes_le + params, call


def s32(b):
    return struct.pack("<I", len(b)) + b


def update_params(ident, name, app=b""):
    return ident.bytes_le + s32(name) + s32(b"") + struct.pack("<IHI", 0x0A000001, 53202, 0) + s32(app)


def connect_record(ident, instance, reconnect=False):
    return b"\x04" + ident.bytes_le + instance.bytes_le + (b"\x01" if reconnect else b"\x00")


def resend_data(seq, message):
    return b"\x05" + struct.pack("<Q", seq) + message


def adapter_message(type_uuid, body):
    return b"\x00" + type_uuid.bytes_le + body


def flow_framed(record, last=True):
    return b"\x02" + struct.pack("<q", int(time.time() * 1000)) + b"\x01" + (b"\x01" if last else b"\x00") + record


class Conn:
    """One transport connection: reads the server's handshake (its id)."""

    def __init__(self, port, timeout=5.0, source=None):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=timeout,
                                             source_address=(source, 0) if source else None)
        self.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        hs = self.recv_exact(49)
        if hs[:7] != b"CORTRPT":
            raise RuntimeError("no handshake")
        if hs[48] & 1:
            raise RuntimeError("the service offers TLS; this bench speaks plain frames")
        self.id = uuid.UUID(hs[11:47].decode())

    def recv_exact(self, n):
        out = b""
        while len(out) < n:
            chunk = self.sock.recv(n - len(out))
            if not chunk:
                raise ConnectionError("closed")
            out += chunk
        return out

    def send(self, type_uuid, body):
        self.sock.sendall(frame(type_uuid, body))

    def read_frame(self):
        head = self.recv_exact(27)
        if head[:7] != START:
            raise RuntimeError("bad frame")
        (length,) = struct.unpack("<I", head[7:11])
        return uuid.UUID(bytes_le=head[11:27]), self.recv_exact(length)

    def reset(self):
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        self.sock.close()

    def close(self):
        try:
            self.sock.close()
        except OSError:
            pass


class Caller:
    """A well-behaved protocol-1 client: two-way calls on 53200 (no layers),
    callbacks taken on its own 53201 connection."""

    def __init__(self, with_callbacks=False, timeout=5.0):
        self.conn = Conn(RPC_PORT, timeout)
        self.callbacks = Conn(CALLBACK_PORT, timeout) if with_callbacks else None

    def call(self, method, params=b"", timeout=5.0):
        body, call = rpc_body(0, method, params)
        self.conn.sock.settimeout(timeout)
        self.conn.send(RPC_TYPE, body)
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            t, b = self.conn.read_frame()
            if t == RPC_TYPE and b[:1] == b"\x02" and b[1:17] == call.bytes_le:
                return struct.unpack("<i", b[17:21])[0]
        raise TimeoutError()

    def callback(self, timeout=5.0):
        self.callbacks.sock.settimeout(timeout)
        while True:
            t, b = self.callbacks.read_frame()
            if t == RPC_TYPE and b[:1] == b"\x01":
                return b

    def close(self):
        self.conn.close()
        if self.callbacks:
            self.callbacks.close()


class Service(hostile_peers.Service):
    """The service as bench/hostile_peers.py runs it, ready once 53200 and
    53201 answer too."""

    def start(self):
        super().start()
        deadline = time.monotonic() + 20
        while time.monotonic() < deadline:
            try:
                Conn(RPC_PORT, 1).close()
                Conn(CALLBACK_PORT, 1).close()
                return
            except (OSError, RuntimeError, ConnectionError):
                if self.proc.poll() is not None:
                    raise RuntimeError("service ended at start")
                time.sleep(0.05)
        raise RuntimeError("protocol 1 did not listen")

    def threads(self):
        try:
            with open("/proc/%d/status" % self.proc.pid) as f:
                for line in f:
                    if line.startswith("Threads:"):
                        return int(line.split()[1])
        except OSError:
            pass
        return 0


Sampler = hostile_peers.RssSampler
percentile = hostile_peers.percentile


class Background(threading.Thread):
    """Runs fn(stop_event) until stopped; exceptions end it quietly."""

    def __init__(self, fn):
        super().__init__(daemon=True)
        self.fn, self.stopping = fn, threading.Event()
        self.start()

    def run(self):
        try:
            self.fn(self.stopping)
        except Exception:
            pass

    def finish(self, timeout=10):
        self.stopping.set()
        self.join(timeout)


def latency_probe(stop, out, period=0.05):
    """A legit caller timing RemoveNotify round trips (failures as inf)."""
    caller = None
    while not stop.is_set():
        try:
            if caller is None:
                caller = Caller()
            t0 = time.monotonic()
            caller.call(REMOVE_NOTIFY, timeout=5)
            out.append((time.monotonic() - t0) * 1000)
        except Exception:
            out.append(float("inf"))
            if caller:
                caller.close()
            caller = None
        stop.wait(period)
    if caller:
        caller.close()


def legit_rounds(stop, results, period=0.5):
    """A round: a fresh client registers, enumerates and receives its list
    (every step within 2 s)."""
    while not stop.is_set():
        ok = False
        c = None
        try:
            c = Caller(with_callbacks=True, timeout=2)
            if c.call(ADD_NOTIFY, c.callbacks.id.bytes_le, 2) == 0 and \
                    c.call(ENUMERATE, b"\x00" + struct.pack("<Q", 0), 2) == 0:
                c.callback(2)
                ok = True
        except Exception:
            pass
        finally:
            if c:
                c.close()
        results.append(ok)
        stop.wait(period)


def publish_displays(n, app=b"", name=b"display"):
    """n one-way UpdateDisplay calls, then a two-way one to be sure all ran."""
    c = Caller()
    batch = []
    for i in range(n):
        body, _ = rpc_body(1, UPDATE, update_params(uuid.UUID(int=(0x5D << 120) + i), name, app))
        batch.append(frame(RPC_TYPE, body))
        if len(batch) >= 500:
            c.conn.sock.sendall(b"".join(batch))
            batch = []
    if batch:
        c.conn.sock.sendall(b"".join(batch))
    result = c.call(REMOVE_NOTIFY, timeout=60)
    c.close()
    return result


def sigterm_during(service, attack):
    """Restarts the attack, lets it run 3 s, then SIGTERM."""
    bg = Background(attack)
    time.sleep(3)
    status, seconds = service.stop()
    bg.finish(5)
    return "SIGTERM during attack: status %s in %.2f s" % (status, seconds)


# ---- attacks ----

def enum_flood(callback_id=None, reader=None):
    def attack(stop):
        c = Caller()
        cb = callback_id if callback_id is not None else uuid.uuid4()
        c.call(ADD_NOTIFY, cb.bytes_le)
        req = frame(RPC_TYPE, rpc_body(1, ENUMERATE, b"\x00" + struct.pack("<Q", 0))[0])
        chunk = req * 200
        c.conn.sock.settimeout(1)
        while not stop.is_set():
            try:
                c.conn.sock.sendall(chunk)
            except socket.timeout:
                continue
            except OSError:
                break
        c.close()
    return attack


def drain(conn):
    def run(stop):
        conn.sock.settimeout(0.5)
        while not stop.is_set():
            try:
                if not conn.sock.recv(1 << 20):
                    break
            except socket.timeout:
                continue
    return run


def start_measured(binary, root, displays, probe_period):
    """The service with displays published, a resident sampler and a legit
    caller timing its calls."""
    svc = Service(binary, root)
    svc.start()
    publish_displays(displays)
    time.sleep(1)
    start_rss = svc.rss_mib()
    sampler = Sampler(svc)
    sampler.start()
    lat = []
    probe = Background(lambda s: latency_probe(s, lat, probe_period))
    return svc, start_rss, sampler, lat, probe


def phase_enum(binary, root):
    svc, start_rss, sampler, lat, probe = start_measured(binary, root, 2500, 0.05)
    attack = Background(enum_flood())
    time.sleep(SECONDS)
    attack.finish()
    during = list(lat)
    time.sleep(10)
    after = svc.rss_mib()
    probe.finish()
    peak = sampler.finish()
    print("enum: start %.1f MiB, peak %.1f MiB, 10 s after %.1f MiB; legit calls %d, p99 %.1f ms, failed %d"
          % (start_rss, peak, after, len(during), percentile(during, 99), sum(1 for x in during if x == float("inf"))))
    print("enum: " + sigterm_during(svc, enum_flood()))


def phase_burst(binary, root):
    svc, start_rss, sampler, lat, probe = start_measured(binary, root, 2500, 0.02)
    cb = Conn(CALLBACK_PORT)
    reader = Background(drain(cb))
    c = Caller()
    c.call(ADD_NOTIFY, cb.id.bytes_le)
    req = frame(RPC_TYPE, rpc_body(1, ENUMERATE, b"\x00" + struct.pack("<Q", 0))[0])
    time.sleep(0.5)
    t0 = time.monotonic()
    c.conn.sock.sendall(req * 20000)
    burst_bytes = len(req) * 20000
    # The burst is taken once a call behind it on the same connection answers.
    c.call(REMOVE_NOTIFY, timeout=120)
    taken = time.monotonic() - t0
    time.sleep(2)
    during = list(lat)
    c.close()
    reader.finish()
    cb.close()
    time.sleep(10)
    after = svc.rss_mib()
    probe.finish()
    peak = sampler.finish()
    print("burst: %d requests (%.2f MB) taken in %.2f s; start %.1f MiB, peak %.1f MiB, 10 s after %.1f MiB; "
          "legit calls %d, p99 %.1f ms, max %.1f ms"
          % (20000, burst_bytes / 1e6, taken, start_rss, peak, after, len(during), percentile(during, 99),
             max(during) if during else float("nan")))

    cb2 = Conn(CALLBACK_PORT)
    Background(drain(cb2))
    print("burst: " + sigterm_during(svc, enum_flood(cb2.id)))


def stall_attack(stop):
    """Mode 2, never acknowledging and never reading; calls all the time."""
    while not stop.is_set():
        try:
            c = Conn(RPC_PORT)
            c.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
            c.send(FLOW, connect_record(uuid.uuid4(), uuid.uuid4()))
            seq = 0
            c.sock.settimeout(1)
            while not stop.is_set():
                seq += 1
                body, _ = rpc_body(0, REMOVE_NOTIFY, b"")
                c.send(FLOW, flow_framed(resend_data(seq, adapter_message(RPC_TYPE, body))))
                stop.wait(0.02)
        except Exception:
            stop.wait(0.2)


def reset_attack(stop):
    """Every 2 s: connect record, 3 calls, reset."""
    while not stop.is_set():
        try:
            c = Conn(RPC_PORT)
            c.send(LAYERED, connect_record(uuid.uuid4(), uuid.uuid4()))
            for seq in range(1, 4):
                body, _ = rpc_body(0, REMOVE_NOTIFY, b"")
                c.send(LAYERED, resend_data(seq, adapter_message(RPC_TYPE, body)))
            time.sleep(0.05)
            c.reset()
        except Exception:
            pass
        stop.wait(2)


def phase_rounds(binary, root, name, attack_fn):
    svc = Service(binary, root)
    svc.start()
    publish_displays(3)
    base = []
    b = Background(lambda s: legit_rounds(s, base))
    time.sleep(3)
    b.finish()
    results = []
    attack = Background(attack_fn)
    time.sleep(1)
    rounds = Background(lambda s: legit_rounds(s, results))
    time.sleep(SECONDS)
    rounds.finish()
    attack.finish()
    ok = sum(results)
    print("%s: legit rounds before %d/%d; during the attack %d/%d succeeded (%.0f %%)"
          % (name, sum(base), len(base), ok, len(results), 100.0 * ok / max(1, len(results))))
    print("%s: %s" % (name, sigterm_during(svc, attack_fn)))


def window_attack(stop):
    """Mode 2: reads everything but never acknowledges, so its window stays
    shut. 64 KiB of two-way calls in one send, then 20 calls/s."""
    while not stop.is_set():
        try:
            c = Conn(RPC_PORT, source=ATTACKER)
            reader = Background(drain(c))
            try:
                c.send(FLOW, connect_record(uuid.uuid4(), uuid.uuid4()))
                seq = 0

                def calls(n):
                    nonlocal seq
                    out = []
                    for _ in range(n):
                        seq += 1
                        body, _ = rpc_body(0, REMOVE_NOTIFY, b"")
                        out.append(frame(FLOW, flow_framed(resend_data(seq, adapter_message(RPC_TYPE, body)))))
                    return b"".join(out)
                one = len(calls(1))
                c.sock.settimeout(5)
                c.sock.sendall(calls(65536 // one))
                while not stop.is_set():
                    c.sock.sendall(calls(1))
                    stop.wait(0.05)
            finally:
                reader.finish(2)
                c.close()
        except Exception:
            stop.wait(0.2)


def whole_call(conn, timeout):
    """One two-way RemoveNotify on conn: (ms, answer whole). Raises when no
    answer comes within timeout or the connection ends."""
    body, call = rpc_body(0, REMOVE_NOTIFY, b"")
    conn.sock.settimeout(timeout)
    t0 = time.monotonic()
    conn.send(RPC_TYPE, body)
    while True:
        if time.monotonic() - t0 > timeout:
            raise TimeoutError()
        t, b = conn.read_frame()
        if t == RPC_TYPE and b[:1] == b"\x02" and b[1:17] == call.bytes_le:
            whole = len(b) >= 25 and struct.unpack("<I", b[21:25])[0] == len(b) - 25
            return (time.monotonic() - t0) * 1000, whole


def phase_window(binary, root):
    svc = Service(binary, root)
    svc.start()
    publish_displays(3)
    conn = Conn(RPC_PORT)
    base = [whole_call(conn, 5)[0] for _ in range(20)]
    attack = Background(window_attack)
    times, broken, closed = [], 0, 0
    end = time.monotonic() + SECONDS
    while time.monotonic() < end:
        try:
            ms, whole = whole_call(conn, 5)
            times.append(ms)
            broken += 0 if whole else 1
        except (socket.timeout, TimeoutError, RuntimeError, ConnectionError, OSError) as e:
            # A read cut short leaves the stream out of step: a fresh
            # connection either way; only an end or reset counts as closed.
            times.append(float("inf"))
            if isinstance(e, RuntimeError):
                broken += 1
            elif not isinstance(e, (socket.timeout, TimeoutError)):
                closed += 1
            conn.close()
            conn = Conn(RPC_PORT)
        time.sleep(0.1)
    attack.finish()
    conn.close()
    served = [t for t in times if t <= 5000]
    print("window: legit median before %.1f ms; during the attack %d/%d rounds answered within 5 s (%.0f %%), "
          "median %.1f ms, p90 %.1f ms, slowest %.1f ms; answers not whole %d; legit connection lost %d"
          % (percentile(base, 50), len(served), len(times), 100.0 * len(served) / max(1, len(times)),
             percentile(served, 50), percentile(times, 90), max(served) if served else float("nan"), broken, closed))
    print("window: service log lines (the log limits repeats): %s" % ", ".join(
        "%d %r" % (log_count(root, text), text) for text in ("on timeout (", "write failed for connection")))
    print("window: " + sigterm_during(svc, window_attack))


def rename_attack(pairs):
    def attack(stop):
        done = 0
        deadline = time.monotonic() + 120
        while done < pairs and not stop.is_set() and time.monotonic() < deadline:
            try:
                c = Conn(RPC_PORT)
                seq = 0
                c.sock.settimeout(5)
                while done < pairs and not stop.is_set():
                    c.send(LAYERED, connect_record(uuid.uuid4(), uuid.uuid4()))
                    seq += 1
                    body, _ = rpc_body(1, ADD_NOTIFY, uuid.uuid4().bytes_le)
                    c.send(LAYERED, resend_data(seq, adapter_message(RPC_TYPE, body)))
                    done += 1
                    if done % 50 == 0:
                        time.sleep(0.01)
                c.close()
            except Exception:
                time.sleep(0.05)
        attack.done = done
    attack.done = 0
    return attack


def phase_rename(binary, root):
    svc = Service(binary, root)
    svc.start()
    time.sleep(1)
    before = svc.threads()
    peak = [before]
    a = rename_attack(3000)
    bg = Background(a)
    while bg.is_alive():
        peak[0] = max(peak[0], svc.threads())
        time.sleep(0.1)
    t0 = time.monotonic()
    after = svc.threads()
    while time.monotonic() - t0 < 20 and after > before + 5:
        time.sleep(0.5)
        after = svc.threads()
    print("rename: %d pairs; threads before %d, peak %d, after the peer left %d (%.1f s later)"
          % (a.done, before, peak[0], after, time.monotonic() - t0))
    print("rename: " + sigterm_during(svc, rename_attack(100000)))


class P2Subscriber(threading.Thread):
    """Subscribes on 53202 and reads every message, checking its size field."""

    def __init__(self):
        super().__init__(daemon=True)
        self.sock = socket.create_connection(("127.0.0.1", P2_PORT), timeout=5)
        self.sock.sendall(b"CRVTDS" + struct.pack("<I", 1) + b"\x02")
        self.largest, self.messages, self.closed, self.bad = 0, 0, False, 0
        self.stopping = threading.Event()
        self.start()

    def run(self):
        buf = b""
        self.sock.settimeout(0.5)
        while not self.stopping.is_set():
            try:
                data = self.sock.recv(1 << 20)
            except socket.timeout:
                continue
            except OSError:
                self.closed = True
                return
            if not data:
                self.closed = True
                return
            buf += data
            while len(buf) >= 6:
                if buf[:6] == b"CRVPNG":
                    buf = buf[6:]
                    continue
                if buf[:6] != b"CRVTDS":
                    self.bad += 1
                    buf = buf[1:]
                    continue
                if len(buf) < 10:
                    break
                (size,) = struct.unpack("<I", buf[6:10])
                self.largest = max(self.largest, size)
                if size >= 1024:
                    self.bad += 1
                    buf = buf[10:]
                    continue
                if len(buf) < 10 + size:
                    break
                buf = buf[10 + size:]
                self.messages += 1

    def finish(self):
        self.stopping.set()
        self.join(5)
        self.sock.close()


def phase_bridge(binary, root):
    svc = Service(binary, root)
    svc.start()
    sub = P2Subscriber()
    time.sleep(0.5)
    c = Caller()
    big = c.call(UPDATE, update_params(uuid.uuid4(), b"big", b"a" * (68 * 1000 * 1000)), timeout=60)
    c.close()
    t0 = time.monotonic()
    publish_displays(150000, app=b"b" * 500)
    took = time.monotonic() - t0
    time.sleep(3)
    late = P2Subscriber()
    time.sleep(3)
    print("bridge: 68 MB UpdateDisplay result %#x; 150000 displays sent in %.1f s; subscriber closed: %s, "
          "messages %d, largest size field %d, oversized or unreadable %d; a later subscriber closed: %s, "
          "its list %d messages; resident %.1f MiB"
          % (big & 0xFFFFFFFF, took, sub.closed, sub.messages, sub.largest, sub.bad, late.closed, late.messages,
             svc.rss_mib()))
    sub.finish()
    late.finish()

    def again(stop):
        publish_displays(20000, app=b"c" * 500)
    print("bridge: " + sigterm_during(svc, again))


def frames_attack(stop, peers=10, fragment_peers=5):
    """Each peer stops where the service closes it; the others go on."""
    conns = []

    def feed(make, chunks):
        try:
            c = make()
            conns.append(c)
            for chunk in chunks():
                if stop.is_set():
                    return
                c.sock.sendall(chunk)
        except OSError:
            pass

    zeros = b"\x00" * (1 << 20)

    def frame_chunks():
        yield START + struct.pack("<I", 100 * 1024 * 1024) + RPC_TYPE.bytes_le
        for _ in range(99):
            yield zeros
        yield zeros[:(1 << 20) - 1]

    run = frame(FLOW, flow_framed(b"\x00" * 4096, last=False)) * 256  # 1 MiB of pieces

    def fragment_chunks():
        yield frame(FLOW, connect_record(uuid.uuid4(), uuid.uuid4()))
        for _ in range(96):
            yield run

    try:
        for _ in range(peers):
            feed(lambda: Conn(RPC_PORT), frame_chunks)
        for _ in range(fragment_peers):
            feed(lambda: Conn(RPC_PORT), fragment_chunks)
        stop.wait(60)
    finally:
        for c in conns:
            c.close()


def phase_frames(binary, root):
    svc = Service(binary, root)
    svc.start()
    start = svc.rss_mib()
    sampler = Sampler(svc)
    sampler.start()
    lat = []
    probe = Background(lambda s: latency_probe(s, lat, 0.1))
    attack = Background(frames_attack)
    time.sleep(max(SECONDS, 25))
    peak = sampler.finish()
    during = list(lat)
    attack.finish()
    probe.finish()
    print("frames: start %.1f MiB, peak %.1f MiB; legit calls %d, p99 %.1f ms, failed %d"
          % (start, peak, len(during), percentile(during, 99), sum(1 for x in during if x == float("inf"))))
    print("frames: " + sigterm_during(svc, frames_attack))


KEEPALIVE_CONFIG = uuid.UUID("2783ffd0-7ec7-11e2-9e96-0800200c9a66")
# Attackers come from a loopback address of their own, as another host on
# the LAN would; the legit client uses 127.0.0.1.
ATTACKER = "127.0.0.2"


def served_round(timeout=5.0):
    """One legit round from its first connect: register, enumerate, receive
    the list. Seconds it took, or inf when any step failed or ran past
    timeout."""
    t0 = time.monotonic()
    c = None
    try:
        c = Caller(with_callbacks=True, timeout=timeout)
        left = lambda: max(0.1, timeout - (time.monotonic() - t0))
        if c.call(ADD_NOTIFY, c.callbacks.id.bytes_le, left()) != 0:
            return float("inf")
        if c.call(ENUMERATE, b"\x00" + struct.pack("<Q", 0), left()) != 0:
            return float("inf")
        c.callback(left())
        took = time.monotonic() - t0
        return took if took <= timeout else float("inf")
    except Exception:
        return float("inf")
    finally:
        if c:
            c.close()


class SilentPeers:
    """count connections to each protocol-1 port that never send a byte
    after their opening. kind: "bare" never reads either (the handshake
    stays unread), "handshake" reads the server's handshake, "keepalive"
    reads it and sends keep-alive settings of {0xFFFFFFFF, 0xFFFFFFFF}.
    Peers are opened once and not reopened when closed."""

    def __init__(self, count, kind, ports=(RPC_PORT, CALLBACK_PORT)):
        self.kind, self.socks, self.failed = kind, [], 0
        self.opened_at = time.monotonic()
        lock = threading.Lock()

        def open_one(port):
            try:
                if kind == "bare":
                    s = socket.create_connection(("127.0.0.1", port), timeout=5, source_address=(ATTACKER, 0))
                else:
                    c = Conn(port, timeout=10, source=ATTACKER)
                    if kind == "keepalive":
                        c.sock.sendall(frame(KEEPALIVE_CONFIG, struct.pack("<II", 0xFFFFFFFF, 0xFFFFFFFF)))
                    s = c.sock
                with lock:
                    self.socks.append(s)
            except (OSError, RuntimeError, ConnectionError):
                with lock:
                    self.failed += 1

        # The listener takes a waiting peer only after closing another, so
        # past 100 per port the openings run side by side.
        workers = [threading.Thread(target=open_one, args=(port,), daemon=True)
                   for port in ports for _ in range(count)]
        for w in workers:
            w.start()
        for w in workers:
            w.join(30)
        self.closed_at = {}

    def poll_closed(self):
        """Marks the peers the service has closed (end of stream or reset),
        reading whatever the service wrote. Returns how many are closed."""
        import select
        now = time.monotonic()
        open_socks = [s for s in self.socks if s not in self.closed_at]
        for i in range(0, len(open_socks), 500):
            ready, _, _ = select.select(open_socks[i:i + 500], [], [], 0)
            for s in ready:
                s.setblocking(False)
                try:
                    while s.recv(1 << 16):
                        pass
                    self.closed_at[s] = now - self.opened_at
                except BlockingIOError:
                    pass
                except OSError:
                    self.closed_at[s] = now - self.opened_at
        return len(self.closed_at)

    def close(self):
        for s in self.socks:
            try:
                s.close()
            except OSError:
                pass


def hold_until_closed(c, stop, period=1.0, every=None):
    """Reads (and drops) what the service sends until it closes c or stop
    is set; sends every (bytes) each period when given."""
    c.sock.settimeout(period)
    while not stop.is_set():
        if every:
            c.sock.sendall(every)
        try:
            if not c.sock.recv(1 << 16):
                break
        except socket.timeout:
            continue
    c.close()


def returning_peer(port, source, stop, opened, every=None, period=1.0):
    """A peer that comes back as soon as the service closes it; it sends
    every (bytes) each period, or nothing."""
    while not stop.is_set():
        try:
            c = Conn(port, timeout=10, source=source)
            opened.append(1)
            hold_until_closed(c, stop, period, every)
        except (OSError, RuntimeError, ConnectionError):
            stop.wait(0.05)
def run_threads(stop, threads, wait):
    """Starts the threads, waits for stop (wait s at most), joins them."""
    for t in threads:
        t.start()
    stop.wait(wait)
    for t in threads:
        t.join(5)


def churn_attack(count, opened, source=ATTACKER):
    """count silent peers per port that come back as soon as the service
    closes them, so that a peer always waits for a slot."""
    def attack(stop):
        run_threads(stop, [threading.Thread(target=returning_peer, args=(port, source, stop, opened), daemon=True)
                           for port in (RPC_PORT, CALLBACK_PORT) for _ in range(count)], 60)
    return attack


def silent_attack(count, kind):
    def attack(stop):
        peers = SilentPeers(count, kind)
        stop.wait(30)
        peers.close()
    return attack


def phase_silent(binary, root):
    for count in (100, 200):
        for kind in ("bare", "handshake"):
            svc = Service(binary, root)
            svc.start()
            publish_displays(3)
            t0 = time.monotonic()
            peers = SilentPeers(count, kind)
            opened = time.monotonic() - t0
            times = []
            end = time.monotonic() + SECONDS
            while time.monotonic() < end:
                times.append(served_round(5.0))
                time.sleep(1)
            peers.poll_closed()
            served = [t for t in times if t != float("inf")]
            print("silent %d/port %s: %d peers open in %.1f s (%d failed to open), %d closed by the service; "
                  "legit rounds %d/%d served within 5 s, slowest %.2f s, median %.2f s; threads %d"
                  % (count, kind, len(peers.socks), opened, peers.failed, len(peers.closed_at), len(served),
                     len(times), max(served) if served else float("nan"), percentile(served, 50),
                     svc.threads()))
            peers.close()
            print("silent %d/port %s: %s" % (count, kind, sigterm_during(svc, silent_attack(count, kind))))
            sys.stdout.flush()
    # Peers that come back at once: every legit connect meets a full
    # listener with attackers queued ahead of it. From an address of their
    # own, and from the legit client's address.
    for source in (ATTACKER, "127.0.0.1"):
        svc = Service(binary, root)
        svc.start()
        publish_displays(3)
        opened = []
        attack = Background(churn_attack(200, opened, source))
        time.sleep(3)
        times = []
        end = time.monotonic() + SECONDS
        while time.monotonic() < end:
            times.append(served_round(5.0))
            time.sleep(1)
        attack.finish(15)
        served = [t for t in times if t != float("inf")]
        print("silent 200/port returning from %s: %d attacker connections in %.0f s; legit rounds %d/%d served "
              "within 5 s, slowest %.2f s, median %.2f s"
              % (source, len(opened), SECONDS + 3, len(served), len(times), max(served) if served else float("nan"),
                 percentile(served, 50)))
        print("silent 200/port returning from %s: %s" % (source, sigterm_during(svc, churn_attack(200, [], source))))
        sys.stdout.flush()


def log_count(root, text):
    """How often text occurs in the files the service wrote under root."""
    n = 0
    for folder, _, files in os.walk(root):
        for name in files:
            try:
                with open(os.path.join(folder, name), errors="replace") as f:
                    n += f.read().count(text)
            except OSError:
                pass
    return n


def rounds_until_closed(peers, limit):
    """Legit rounds every 10 s until the service has closed every peer or
    limit seconds have passed since they opened: (round times, marks of
    (seconds, closed so far))."""
    times, marks = [], []
    next_round = time.monotonic()
    while time.monotonic() - peers.opened_at < limit:
        closed = peers.poll_closed()
        if not marks or closed != marks[-1][1]:
            marks.append((time.monotonic() - peers.opened_at, closed))
        if closed >= len(peers.socks):
            break
        if time.monotonic() >= next_round:
            times.append(served_round(5.0))
            next_round = time.monotonic() + 10
        time.sleep(0.2)
    return times, marks


def phase_keepalive(binary, root):
    limit = float(os.environ.get("P1_KEEPALIVE_SECONDS", "400"))
    svc = Service(binary, root)
    svc.start()
    publish_displays(3)
    peers = SilentPeers(100, "keepalive")
    times, marks = rounds_until_closed(peers, limit)
    served = [t for t in times if t != float("inf")]
    closes = sorted(peers.closed_at.values())
    print("keepalive: %d peers (%d failed to open); closed %d, first at %.1f s, last at %.1f s; "
          "legit rounds %d/%d served within 5 s, slowest %.2f s"
          % (len(peers.socks), peers.failed, len(closes), closes[0] if closes else float("nan"),
             closes[-1] if closes else float("nan"), len(served), len(times),
             max(served) if served else float("nan")))
    print("keepalive: closed over time (s, count): " +
          ", ".join("%.0f:%d" % m for m in marks[:: max(1, len(marks) // 12)] + marks[-1:]))
    peers.close()
    print("keepalive: service log lines (the log limits repeats): %s" % ", ".join(
        "%d %r" % (log_count(root, text), text) for text in (
            "Keep Alive on connection expired", "Safety timout reached", "All 100 connection slots are held")))
    print("keepalive: " + sigterm_during(svc, silent_attack(100, "keepalive")))


def cpu_seconds(pid):
    """User plus system CPU seconds of a process so far."""
    try:
        with open("/proc/%d/stat" % pid) as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / float(os.sysconf("SC_CLK_TCK"))
    except (OSError, IndexError, ValueError):
        return 0.0


KEEPALIVE_FRAME_TYPE = uuid.UUID("2783ffd1-7ec7-11e2-9e96-0800200c9a66")


class PartialPeers:
    """count peers per port that send keep-alive settings of
    {0xFFFFFFFF, 300000} and then the start of a frame they never finish:
    10 bytes of a body (even peers) or 3 bytes of a start code (odd)."""

    def __init__(self, count, ports=(RPC_PORT, CALLBACK_PORT)):
        self.socks, self.failed = [], 0
        self.opened_at = time.monotonic()
        self.closed_at = {}
        lock = threading.Lock()

        def open_one(port, i):
            try:
                c = Conn(port, timeout=10, source=ATTACKER)
                tail = (START + struct.pack("<I", 1000) + RPC_TYPE.bytes_le + b"\x01" * 10) if i % 2 == 0 \
                    else START[:3]
                c.sock.sendall(frame(KEEPALIVE_CONFIG, struct.pack("<II", 0xFFFFFFFF, 300000)) + tail)
                with lock:
                    self.socks.append(c.sock)
            except (OSError, RuntimeError, ConnectionError):
                with lock:
                    self.failed += 1

        workers = [threading.Thread(target=open_one, args=(port, i), daemon=True)
                   for port in ports for i in range(count)]
        for w in workers:
            w.start()
        for w in workers:
            w.join(30)

    poll_closed = SilentPeers.poll_closed
    close = SilentPeers.close


def phase_kapartial(binary, root):
    limit = float(os.environ.get("P1_KEEPALIVE_SECONDS", "400"))
    svc = Service(binary, root)
    svc.start()
    publish_displays(3)
    time.sleep(1)
    before = svc.threads()
    # They stall, then leave.
    peers = PartialPeers(50)
    time.sleep(1)
    t0, c0 = time.monotonic(), cpu_seconds(svc.proc.pid)
    times, peak = [], svc.threads()
    end = time.monotonic() + SECONDS
    while time.monotonic() < end:
        times.append(served_round(5.0))
        peak = max(peak, svc.threads())
        time.sleep(1)
    cpu = 100.0 * (cpu_seconds(svc.proc.pid) - c0) / (time.monotonic() - t0)
    during = svc.threads()
    peers.close()
    time.sleep(2)
    after2 = svc.threads()
    time.sleep(8)
    after10 = svc.threads()
    served = [t for t in times if t != float("inf")]
    print("kapartial: %d peers stalled (%d failed to open); CPU %.1f %% over %.0f s; threads before %d, during %d "
          "(peak %d), 2 s after they left %d, 10 s after %d; legit rounds %d/%d served within 5 s"
          % (len(peers.socks), peers.failed, cpu, SECONDS, before, during, peak, after2, after10, len(served),
             len(times)))
    sys.stdout.flush()
    # Again, until the service closes them.
    peers = PartialPeers(50)
    times, _ = rounds_until_closed(peers, limit)
    served = [t for t in times if t != float("inf")]
    closes = sorted(peers.closed_at.values())
    print("kapartial: %d peers; closed by the service %d, first at %.1f s, last at %.1f s (waited at most %.0f s); "
          "threads now %d; legit rounds %d/%d served within 5 s"
          % (len(peers.socks), len(closes), closes[0] if closes else float("nan"),
             closes[-1] if closes else float("nan"), limit, svc.threads(), len(served), len(times)))
    peers.close()
    print("kapartial: service log lines: %s" % ", ".join(
        "%d %r" % (log_count(root, text), text) for text in (
            "Keep Alive on connection expired", "Safety timout reached")))

    def again(stop):
        p = PartialPeers(50)
        stop.wait(30)
        p.close()
    print("kapartial: " + sigterm_during(svc, again))


def keepalive_churn(addresses, opened, period=0.1):
    """One connection per port from each of addresses: a keep-alive frame
    every period, back at once when the service closes it."""
    ka = frame(KEEPALIVE_FRAME_TYPE, b"")

    def attack(stop):
        threads = [threading.Thread(target=returning_peer, args=(port, a, stop, opened, ka, period), daemon=True)
                   for port in (RPC_PORT, CALLBACK_PORT) for a in addresses]
        for t in threads:
            t.start()
        stop.wait(120)
        for t in threads:
            t.join(5)
    return attack


def persistent_legit(stop, results, lost, period=0.5):
    """A client that keeps its two connections: registered once, it
    enumerates every period (a round: answer and list within 5 s). A
    connection found closed is counted in lost and opened again."""
    c = None
    while not stop.is_set():
        t0 = time.monotonic()
        try:
            if c is None:
                c = Caller(with_callbacks=True, timeout=5)
                if c.call(ADD_NOTIFY, c.callbacks.id.bytes_le, 5) != 0:
                    raise RuntimeError("AddNotify failed")
            if c.call(ENUMERATE, b"\x00" + struct.pack("<Q", 0), 5) != 0:
                raise RuntimeError("enumeration refused")
            c.callback(max(0.1, 5 - (time.monotonic() - t0)))
            took = time.monotonic() - t0
            results.append(took if took <= 5 else float("inf"))
        except Exception:
            results.append(float("inf"))
            if c is not None:
                lost.append(time.monotonic())
                c.close()
            c = None
        stop.wait(period)
    if c:
        c.close()


def phase_slotchurn(binary, root):
    svc = Service(binary, root)
    svc.start()
    publish_displays(3)
    results, lost, opened = [], [], []
    legit = Background(lambda s: persistent_legit(s, results, lost))
    time.sleep(1)
    addresses = ["127.0.0.%d" % (10 + i) for i in range(100)]
    attack = Background(keepalive_churn(addresses, opened))
    time.sleep(3)
    start = len(results)
    lost_start = len(lost)
    time.sleep(SECONDS)
    during = results[start:]
    lost_during = len(lost) - lost_start
    legit.finish()
    served = [t for t in during if t != float("inf")]
    print("slotchurn: %d attacker connections opened in %.0f s; legit rounds %d/%d served within 5 s (%.0f %%), "
          "slowest %.2f s; legit connections found closed %d"
          % (len(opened), SECONDS + 3, len(served), len(during), 100.0 * len(served) / max(1, len(during)),
             max(served) if served else float("nan"), lost_during))
    attack.finish(15)
    print("slotchurn: service log lines: %d %r" % (log_count(root, "All 100 connection slots are held"),
                                                 "All 100 connection slots are held"))
    print("slotchurn: " + sigterm_during(svc, keepalive_churn(addresses, [])))


HELD_FRAME_MIB = (31, 31, 31, 30, 30, 29, 29, 28)  # 239 MiB
LIST_DISPLAYS, LIST_APP_BYTES = 520, 64000        # 33 MB, in one callback


def stalled_frames_attack(stop, sent):
    """One peer per size: a frame of that many MiB, all but its last byte,
    then silence; back when the service closes it."""
    zeros = b"\x00" * (1 << 20)

    def peer(mib):
        while not stop.is_set():
            try:
                c = Conn(RPC_PORT, timeout=10, source=ATTACKER)
                length = mib << 20
                c.sock.sendall(START + struct.pack("<I", length) + RPC_TYPE.bytes_le)
                left = length - 1
                while left > 0 and not stop.is_set():
                    n = min(left, len(zeros))
                    c.sock.sendall(zeros[:n])
                    left -= n
                sent.append(mib)
                hold_until_closed(c, stop, 0.5)
            except (OSError, RuntimeError, ConnectionError):
                stop.wait(0.2)

    threads = [threading.Thread(target=peer, args=(m,), daemon=True) for m in HELD_FRAME_MIB]
    for t in threads:
        t.start()
    stop.wait(120)
    for t in threads:
        t.join(5)


class LayeredListClient:
    """A mode-1 client that keeps its connections: its callback connection
    opens the layers with a connect record; each round asks for the list,
    reads it (resend records) to the last batch and acknowledges it at its
    end. A connection found closed is counted and opened again."""

    def __init__(self):
        self.c, self.closed = None, 0

    def _open(self, timeout):
        self.c = Caller(with_callbacks=True, timeout=timeout)
        cb = self.c.callbacks
        cb.send(LAYERED, connect_record(cb.id, uuid.uuid4()))
        if self.c.call(ADD_NOTIFY, cb.id.bytes_le, timeout) != 0:
            raise RuntimeError("AddNotify failed")

    def _read_list(self, t0, timeout):
        """(displays, whole, last sequence number)."""
        cb = self.c.callbacks
        displays, last, whole, seq = 0, False, True, 0
        cb.sock.settimeout(timeout)
        while not last:
            if time.monotonic() - t0 > timeout:
                raise TimeoutError()
            t, b = cb.read_frame()
            if t != LAYERED or b[:1] != b"\x05":
                continue
            (seq,) = struct.unpack("<Q", b[1:9])
            inner = b[9:]
            if inner[:1] != b"\x00" or uuid.UUID(bytes_le=inner[1:17]) != RPC_TYPE or inner[17:18] != b"\x01":
                continue
            params = inner[17 + 1 + 16 + 2 + 16:]
            if params[:36] != b"70c61d80-58b3-4b56-822a-35ed79be5840":
                whole = False
                continue
            (count,) = struct.unpack("<I", params[38:42])
            pos = 42
            for _ in range(count):
                pos += 16
                for _ in range(2):
                    (n,) = struct.unpack("<I", params[pos:pos + 4])
                    pos += 4 + n
                pos += 10
                (n,) = struct.unpack("<I", params[pos:pos + 4])
                whole = whole and n == LIST_APP_BYTES
                pos += 4 + n
            displays += count
            last = params[pos:pos + 1] == b"\x01"
        return displays, whole, seq

    def round(self, timeout=5.0):
        """Seconds to a whole list, or inf."""
        t0 = time.monotonic()
        try:
            if self.c is None:
                self._open(timeout)
            if self.c.call(ENUMERATE, b"\x01" + struct.pack("<Q", 0), timeout) != 0:
                raise RuntimeError("enumeration refused")
            displays, whole, seq = self._read_list(t0, timeout)
            self.c.callbacks.send(LAYERED, b"\x06" + struct.pack("<Q", seq))
            took = time.monotonic() - t0
            return took if whole and displays == LIST_DISPLAYS and took <= timeout else float("inf")
        except Exception:
            if self.c is not None:
                self.closed += 1
                self.c.close()
            self.c = None
            return float("inf")

    def close(self):
        if self.c:
            self.c.close()


def phase_heldbudget(binary, root):
    svc = Service(binary, root)
    svc.start()
    publish_displays(LIST_DISPLAYS, app=b"L" * LIST_APP_BYTES)
    legit = LayeredListClient()
    base = legit.round(10.0)
    sent = []
    attack = Background(lambda s: stalled_frames_attack(s, sent))
    deadline = time.monotonic() + 30
    while len(sent) < len(HELD_FRAME_MIB) and time.monotonic() < deadline:
        time.sleep(0.2)
    sampler = Sampler(svc)
    sampler.start()
    rounds = []
    end = time.monotonic() + SECONDS
    while time.monotonic() < end:
        rounds.append(legit.round(5.0))
        time.sleep(0.5)
    peak = sampler.finish()
    legit.close()
    served = [r for r in rounds if r != float("inf")]
    print("heldbudget: list of %d displays alone %s in %.2f s; attacker frames sent %d (the first %d: %d MiB); "
          "legit lists %d/%d whole within 5 s, slowest %.2f s, legit connections found closed %d; peak %.1f MiB"
          % (LIST_DISPLAYS, "whole" if base != float("inf") else "NOT whole", base, len(sent), len(HELD_FRAME_MIB),
             sum(HELD_FRAME_MIB), len(served), len(rounds), max(served) if served else float("nan"), legit.closed,
             peak))
    print("heldbudget: service log lines: %d %r" % (
        log_count(root, "bytes of unfinished messages"), "bytes of unfinished messages"))
    print("heldbudget: " + sigterm_during(svc, lambda s: stalled_frames_attack(s, [])))
    attack.finish(15)
# ---- lists held and lists rebuilt ----

class AttackerCaller(Caller):
    """A Caller whose connections come from the attackers' address."""

    def __init__(self, with_callbacks=False, timeout=5.0):
        self.conn = Conn(RPC_PORT, timeout, source=ATTACKER)
        self.callbacks = Conn(CALLBACK_PORT, timeout, source=ATTACKER) if with_callbacks else None


def recv_into_exact(sock, n, deadline):
    buf = bytearray(n)
    view, got = memoryview(buf), 0
    while got < n:
        left = deadline - time.monotonic()
        if left <= 0:
            raise TimeoutError()
        sock.settimeout(left)
        k = sock.recv_into(view[got:], n - got)
        if not k:
            raise ConnectionError("closed")
        got += k
    return buf


def read_callback(sock, deadline):
    """The parameter bytes of the next one-way RPC record on a callback
    connection."""
    while True:
        head = recv_into_exact(sock, 27, deadline)
        if head[:7] != START:
            raise RuntimeError("bad frame")
        (length,) = struct.unpack_from("<I", head, 7)
        body = recv_into_exact(sock, length, deadline)
        if uuid.UUID(bytes_le=bytes(head[11:27])) == RPC_TYPE and body[:1] == b"\x01":
            return memoryview(body)[35:]


def parse_batch(params, extended):
    """(records, last, exact): exact when the batch ends right after its
    last flag."""
    off = 38 if extended and len(params) > 5 else 0
    (count,) = struct.unpack_from("<I", params, off)
    off += 4
    for _ in range(count):
        off += 16
        for _ in range(3 if extended else 2):
            (n,) = struct.unpack_from("<I", params, off)
            off += 4 + n
            if _ == 1:
                off += 10
    return count, params[off] == 1, off + 1 == len(params)


def whole_round(extended=False, timeout=5.0):
    """One legit round from its first connect: register, enumerate, read the
    list to its last batch. (seconds or inf, records or -1 when a batch did
    not parse, closed: the service closed a connection)."""
    t0 = time.monotonic()
    deadline = t0 + timeout
    c = None
    try:
        c = Caller(with_callbacks=True, timeout=timeout)
        left = lambda: max(0.1, deadline - time.monotonic())
        if c.call(ADD_NOTIFY, c.callbacks.id.bytes_le, left()) != 0:
            return float("inf"), 0, False
        if c.call(ENUMERATE, (b"\x01" if extended else b"\x00") + struct.pack("<Q", 0), left()) != 0:
            return float("inf"), 0, False
        records, exact = 0, True
        while True:
            count, last, whole = parse_batch(read_callback(c.callbacks.sock, deadline), extended)
            records += count
            exact = exact and whole
            if last:
                break
        return time.monotonic() - t0, records if exact else -1, False
    except ConnectionError:
        return float("inf"), 0, True
    except Exception:
        return float("inf"), 0, False
def share_registration_attack(connections=SHARE_CONNECTIONS, quick=4, names=4, hold=5.0):
    """From ATTACKER: layered connections that each register under `names`
    names (callback ids that are no connection), hold them for `hold` s,
    close and come back, so that every registration slot stays taken; and
    `quick` connections that close as soon as their registrations are sent
    (and come back 0.1 s later)."""
    def worker(stop, hold):
        while not stop.is_set():
            c = None
            try:
                c = Conn(RPC_PORT, timeout=5, source=ATTACKER)
                for seq in range(1, names + 1):
                    c.send(LAYERED, connect_record(uuid.uuid4(), uuid.uuid4()))
                    body, _ = rpc_body(1, ADD_NOTIFY, uuid.uuid4().bytes_le)
                    c.send(LAYERED, resend_data(seq, adapter_message(RPC_TYPE, body)))
                stop.wait(hold)
            except Exception:
                stop.wait(0.2)
            finally:
                if c:
                    c.close()
            if hold == 0:
                stop.wait(0.1)

    def attack(stop):
        run_threads(stop, [threading.Thread(target=worker, args=(stop, hold if i < connections else 0.0), daemon=True)
                           for i in range(connections + quick)], 120)
    return attack


def share_display_attack(count=12000, refresh_per_s=200):
    """From ATTACKER, one connection: count displays at once, then each
    refreshed in turn, well within the purge age."""
    def attack(stop):
        c = Conn(RPC_PORT, timeout=5, source=ATTACKER)
        c.sock.settimeout(2)
        frames = [frame(RPC_TYPE, rpc_body(1, UPDATE, update_params(uuid.UUID(int=(0xA7 << 120) + i), b"flood"))[0])
                  for i in range(count)]
        try:
            for i in range(0, count, 500):
                if stop.is_set():
                    return
                c.sock.sendall(b"".join(frames[i:i + 500]))
            i = 0
            while not stop.is_set():
                c.sock.sendall(b"".join(frames[i:i + refresh_per_s // 10]))
                i = (i + refresh_per_s // 10) % count
                stop.wait(0.1)
        except OSError:
            pass
        finally:
            c.close()
    return attack


def share_attack(stop):
    regs = Background(share_registration_attack())
    disp = Background(share_display_attack())
    stop.wait(120)
    regs.finish(10)
    disp.finish(10)


def share_round(n, timeout=5.0):
    """One legit round from 127.0.0.1: a new display, then register,
    enumerate and receive the list. (seconds or inf, AddNotify result,
    UpdateDisplay result); a result is None when the step was not answered."""
    t0 = time.monotonic()
    c = None
    add = upd = None
    try:
        c = Caller(with_callbacks=True, timeout=timeout)
        left = lambda: max(0.1, timeout - (time.monotonic() - t0))
        upd = c.call(UPDATE, update_params(uuid.UUID(int=(0x1E << 120) + n), b"legit"), left())
        add = c.call(ADD_NOTIFY, c.callbacks.id.bytes_le, left())
        if add != 0 or c.call(ENUMERATE, b"\x00" + struct.pack("<Q", 0), left()) != 0:
            return float("inf"), add, upd
        c.callback(left())
        took = time.monotonic() - t0
        return (took if took <= timeout else float("inf")), add, upd
    except Exception:
        return float("inf"), add, upd
    finally:
        if c:
            c.close()


def legit_whole(stop, out, extended, period=1.0):
    while not stop.is_set():
        out.append(whole_round(extended))
        stop.wait(period)


def summary(rounds, expected):
    served = [t for t, n, _ in rounds if t != float("inf")]
    whole = sum(1 for t, n, _ in rounds if t != float("inf") and n >= expected)
    closed = sum(1 for _, _, c in rounds if c)
    return ("legit rounds %d: answered within 5 s %d (%.0f %%), whole %d, closed %d; p50 %.2f s, slowest %.2f s"
            % (len(rounds), len(served), 100.0 * len(served) / max(1, len(rounds)), whole, closed,
               percentile(served, 50), max(served) if served else float("nan")))


def publish_bridged(n, size=480):
    """n protocol-2 displays of about 1 KB, from 20 publishers that stay
    connected (the protocol-1 service learns them over the bridge)."""
    pubs = []
    per = (n + 19) // 20
    for p in range(20):
        s = hostile_peers.connect()
        chunk = b"".join(hostile_peers.publish(hostile_peers.display_id(0xB1D0 + p, i), b"n" * size, 0, b"a" * size)
                         for i in range(min(per, n - p * per)))
        s.sendall(chunk)
        pubs.append(s)
    return pubs


def settled_records(extended, least, seconds=60):
    """Records in a legit list once it holds at least least and stops
    growing."""
    deadline, last = time.monotonic() + seconds, -1
    while time.monotonic() < deadline:
        t, n, _ = whole_round(extended, 30)
        if n >= least and n == last:
            return n
        last = n
        time.sleep(1)
    return last


def deaf_attack(count, extended):
    """count registrations whose callback connections never read, each
    asking for the list every 0.5 s; each comes back on fresh connections
    every 15 s."""
    def one(stop):
        while not stop.is_set():
            c = None
            try:
                c = AttackerCaller(with_callbacks=True)
                c.callbacks.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
                c.call(ADD_NOTIFY, c.callbacks.id.bytes_le)
                req = frame(RPC_TYPE, rpc_body(1, ENUMERATE, (b"\x01" if extended else b"\x00") +
                                               struct.pack("<Q", 0))[0])
                until = time.monotonic() + 15
                while not stop.is_set() and time.monotonic() < until:
                    c.conn.sock.sendall(req)
                    stop.wait(0.5)
            except Exception:
                stop.wait(0.5)
            finally:
                if c:
                    c.close()

    def attack(stop):
        threads = [Background(one) for _ in range(count)]
        stop.wait(120)
        for t in threads:
            t.finish(5)
    return attack


def rebuild_attack(count):
    """count connections flooding pairs of one-way calls: an UpdateDisplay
    that changes their display, then an enumeration; their callback
    connections read everything."""
    def one(stop, k):
        c = AttackerCaller(with_callbacks=True)
        reader = Background(drain(c.callbacks))
        c.call(ADD_NOTIFY, c.callbacks.id.bytes_le)
        ident, n = uuid.UUID(int=(0xC4 << 120) + k), 0
        enum = frame(RPC_TYPE, rpc_body(1, ENUMERATE, b"\x00" + struct.pack("<Q", 0))[0])
        c.conn.sock.settimeout(1)
        while not stop.is_set():
            chunk = []
            for _ in range(20):
                n += 1
                chunk.append(frame(RPC_TYPE, rpc_body(1, UPDATE, update_params(ident, b"churn-%d" % n))[0]))
                chunk.append(enum)
            try:
                c.conn.sock.sendall(b"".join(chunk))
            except socket.timeout:
                continue
            except OSError:
                break
        reader.finish(2)
        c.close()

    def attack(stop):
        threads = [Background(lambda s, k=k: one(s, k)) for k in range(count)]
        stop.wait(120)
        for t in threads:
            t.finish(5)
    return attack


def cpu_seconds(svc):
    try:
        with open("/proc/%d/stat" % svc.proc.pid) as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")
    except (OSError, IndexError, ValueError):
        return float("nan")


def measured_attack(svc, name, attack_fn, extended, expected, probe=False):
    """Legit rounds (and a protocol-2 probe) throughout an attack, then a
    SIGTERM while it runs."""
    sampler = Sampler(svc)
    sampler.start()
    p2 = hostile_peers.Probe(0xD2) if probe else None
    if p2:
        p2.start()
    attack = Background(attack_fn)
    time.sleep(1)
    cpu0, t0 = cpu_seconds(svc), time.monotonic()
    rounds = []
    legit = Background(lambda s: legit_whole(s, rounds, extended))
    time.sleep(SECONDS)
    legit.finish(10)
    cpu = 100.0 * (cpu_seconds(svc) - cpu0) / (time.monotonic() - t0)
    attack.finish(15)
    peak = sampler.finish()
    line = "%s: %s; CPU %.0f %%; peak %.1f MiB" % (name, summary(rounds, expected), cpu, peak)
    if p2:
        lat = p2.finish()
        line += "; protocol-2 changes %d, p99 %.1f ms" % (len(lat), percentile(lat, 99))
    print(line)
    print("%s: %s" % (name, sigterm_during(svc, attack_fn)))
    sys.stdout.flush()


def phase_shared(binary, root):
    svc = Service(binary, root)
    svc.start()
    publish_displays(540, name=b"n" * 62000)
    expected = settled_records(False, 540)
    measured_attack(svc, "shared 32 MiB table, 8 deaf", deaf_attack(8, False), False, expected)

    svc = Service(binary, root)
    svc.start()
    pubs = publish_bridged(20000)
    expected = settled_records(True, 20000)
    measured_attack(svc, "shared 20000 bridged, 24 deaf", deaf_attack(24, True), True, expected)
    for s in pubs:
        s.close()


def phase_rebuild(binary, root):
    svc = Service(binary, root)
    svc.start()
    pubs = publish_bridged(20000)
    # The churners' own displays join the list: a whole one holds at least
    # the bridged ones.
    expected = settled_records(False, 20000)
    measured_attack(svc, "rebuild 20000 bridged, 2 churners", rebuild_attack(2), False, expected, probe=True)
    for s in pubs:
        s.close()

    svc = Service(binary, root)
    svc.start()
    publish_displays(10000)
    measured_attack(svc, "rebuild 10000 small, 4 churners", rebuild_attack(4), False, 10000, probe=True)
def share_summary(rounds):
    served = [t for t, _, _ in rounds if t != float("inf")]
    add_refused = sum(1 for _, a, _ in rounds if a not in (None, 0))
    upd_refused = sum(1 for _, _, u in rounds if u not in (None, 0))
    return ("%d/%d served within 5 s (%.0f %%), AddNotify refused %d, UpdateDisplay refused %d, slowest %.2f s"
            % (len(served), len(rounds), 100.0 * len(served) / max(1, len(rounds)), add_refused, upd_refused,
               max(served) if served else float("nan")))


def phase_share(binary, root):
    svc = Service(binary, root)
    svc.start()
    publish_displays(3)
    attack = Background(share_attack)
    time.sleep(3)
    during, n = [], 0
    end = time.monotonic() + SECONDS
    while time.monotonic() < end:
        n += 1
        during.append(share_round(n))
        time.sleep(0.5)
    attack.finish(15)
    left_at = time.monotonic()
    after, last_refused = [], None
    while time.monotonic() - left_at < 15:
        n += 1
        r = share_round(n)
        after.append(r)
        if r[1] not in (None, 0) or r[0] == float("inf"):
            last_refused = time.monotonic() - left_at
        time.sleep(0.5)
    print("share: one address flooding registrations (%d layered connections) and displays; legit rounds "
          "during: %s" % (SHARE_CONNECTIONS + 4, share_summary(during)))
    print("share: 15 s after the attacker left (its displays live on until purged): %s; last round not "
          "registered %s"
          % (share_summary(after), "none" if last_refused is None else "at %.1f s" % last_refused))
    print("share: threads %d, resident %.1f MiB" % (svc.threads(), svc.rss_mib()))
    print("share: " + sigterm_during(svc, share_attack))


def main():
    binary = sys.argv[1]
    phases = os.environ.get("P1_PHASES", ",".join(
        ["enum", "burst", "stall", "reset", "rename", "bridge", "frames", "silent", "keepalive", "window",
         "kapartial", "slotchurn", "heldbudget", "shared", "rebuild", "share"])).split(",")
    table = {
        "enum": phase_enum,
        "burst": phase_burst,
        "stall": lambda b, r: phase_rounds(b, r, "stall", stall_attack),
        "reset": lambda b, r: phase_rounds(b, r, "reset", reset_attack),
        "rename": phase_rename,
        "bridge": phase_bridge,
        "frames": phase_frames,
        "silent": phase_silent,
        "keepalive": phase_keepalive,
        "window": phase_window,
        "kapartial": phase_kapartial,
        "slotchurn": phase_slotchurn,
        "heldbudget": phase_heldbudget,
        "shared": phase_shared,
        "rebuild": phase_rebuild,
        "share": phase_share,
    }
    for name in phases:
        with tempfile.TemporaryDirectory(prefix="p1-hostile-") as root:
            t0 = time.monotonic()
            try:
                table[name](binary, root)
            except Exception as e:
                print("%s: failed: %r" % (name, e))
            print("%s: phase took %.1f s" % (name, time.monotonic() - t0))
            sys.stdout.flush()


if __name__ == "__main__":
    main()
