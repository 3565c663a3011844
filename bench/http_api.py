#!/usr/bin/env python3
"""The web API next to nginx serving the same "/api/discover" bytes.

Run through bench/http_api.sh, which gives it a network namespace of its own.
Starts the real service (`-e`, by pid), publishes its displays over protocol
2 from one connection each, writes the service's "/api/discover" body where
nginx (worker_processes auto, keepalive_timeout 0) serves it as a static
file, and runs wrk (4 threads, "Connection: close") against both, service
and nginx rounds interleaved. Prints one row per case with the ratios of the
same run, then the service's threads, descriptors and resident memory.

  http_api.py <service binary>
  HTTP_API_BENCH_SECONDS  length of one wrk round (5)
  HTTP_API_BENCH_ROUNDS   rounds per case and server (3)
  HTTP_API_BENCH_CASES    "displays:concurrency ..." (10:16 1000:16 1000:64)
"""
import json
import os
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import hostile_peers as hp  # noqa: E402

API_PORT = 18080
NGINX_PORT = 18081
SECONDS = int(os.environ.get("HTTP_API_BENCH_SECONDS", "5"))
ROUNDS = int(os.environ.get("HTTP_API_BENCH_ROUNDS", "3"))
CASES = [tuple(int(v) for v in c.split(":"))
         for c in os.environ.get("HTTP_API_BENCH_CASES", "10:16 1000:16 1000:64").split()]


def http_get(port, path):
    """(status, body); status None on a failure."""
    try:
        s = socket.create_connection(("127.0.0.1", port), timeout=10)
        s.sendall(b"GET %s HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n" % path.encode())
        data = bytearray()
        while True:
            chunk = s.recv(1 << 16)
            if not chunk:
                break
            data += chunk
        s.close()
    except OSError:
        return None, b""
    head, _, body = bytes(data).partition(b"\r\n\r\n")
    try:
        return int(head[9:12]), body
    except ValueError:
        return None, b""


def app_data(n):
    """Tags and a session, as a display with a room name would publish."""
    return b"TG=Lobby:0,Floor%%3A2:1,Demo:3;SN=Room %d;SD=2783ffd0-7ec7-11e2-9e96-%012x;" % (n, n)


class Publishers:
    """One protocol-2 connection per display, held for the whole run; each
    pings every 5 s, as the service drops connections silent for 30 s."""

    def __init__(self):
        self.socks = []
        self.lock = threading.Lock()
        self.stopping = threading.Event()
        self.pinger = threading.Thread(target=self.ping, daemon=True)
        self.pinger.start()

    def publish_up_to(self, count):
        for n in range(len(self.socks), count):
            s = hp.connect()
            s.sendall(hp.publish(hp.display_id(0xB0, n), b"Display %d" % n, 0x01020800, app_data(n)))
            with self.lock:
                self.socks.append(s)

    def ping(self):
        while not self.stopping.wait(5):
            with self.lock:
                for s in self.socks:
                    s.sendall(hp.PING)

    def close(self):
        self.stopping.set()
        self.pinger.join(10)
        with self.lock:
            for s in self.socks:
                s.close()
            self.socks = []


def wait_displays(count, timeout=60):
    """The publisher count once it reaches count, or the last one seen."""
    deadline = time.monotonic() + timeout
    seen = None
    while time.monotonic() < deadline:
        status, body = http_get(API_PORT, "/api/connections")
        if status == 200:
            seen = json.loads(body)["connections"]["publisher_count"]
            if seen >= count:
                break
        time.sleep(0.1)
    return seen


def proc_status(pid):
    """(threads, descriptors, resident MiB) of a process."""
    threads, rss = 0, 0.0
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("Threads:"):
                threads = int(line.split()[1])
            elif line.startswith("VmRSS:"):
                rss = int(line.split()[1]) / 1024.0
    return threads, len(os.listdir("/proc/%d/fd" % pid)), rss


def to_ms(text):
    for unit, scale in (("us", 0.001), ("ms", 1.0), ("s", 1000.0)):
        if text.endswith(unit):
            return float(text[:-len(unit)]) * scale
    return float(text)


def wrk(port, conns):
    """(requests/s, p99 ms, error text) of one round."""
    out = subprocess.run(["wrk", "-t%d" % min(4, conns), "-c%d" % conns, "-d%ds" % SECONDS, "--latency",
                          "-H", "Connection: close", "http://127.0.0.1:%d/api/discover" % port],
                         capture_output=True, text=True, timeout=SECONDS + 60).stdout
    rps, p99, errors = 0.0, float("nan"), []
    for line in out.splitlines():
        words = line.split()
        if line.startswith("Requests/sec:"):
            rps = float(words[1])
        elif words[:1] == ["99%"]:
            p99 = to_ms(words[1])
        elif "Socket errors" in line or "Non-2xx" in line:
            errors.append(line.strip())
    return rps, p99, "; ".join(errors)


def start_nginx(work):
    conf = os.path.join(work, "nginx.conf")
    with open(conf, "w") as f:
        f.write("""worker_processes auto;
daemon off;
pid %(w)s/nginx.pid;
error_log %(w)s/nginx-error.log;
events { worker_connections 1024; }
http {
  access_log off;
  keepalive_timeout 0;
  server {
    listen 127.0.0.1:%(p)d;
    root %(w)s/www;
    location / { default_type application/json; add_header Access-Control-Allow-Origin *; }
  }
}
""" % {"w": work, "p": NGINX_PORT})
    proc = subprocess.Popen(["nginx", "-c", conf, "-p", work])
    deadline = time.monotonic() + 10
    while http_get(NGINX_PORT, "/api/discover")[0] != 200:
        if time.monotonic() > deadline or proc.poll() is not None:
            raise RuntimeError("nginx did not answer")
        time.sleep(0.05)
    return proc


def main():
    binary = sys.argv[1]
    work = tempfile.mkdtemp(prefix="http-api-bench.")
    os.makedirs(os.path.join(work, "www", "api"))
    # nginx's workers run as an unprivileged user: they must reach the body.
    for d in (work, os.path.join(work, "www"), os.path.join(work, "www", "api")):
        os.chmod(d, 0o755)
    body_path = os.path.join(work, "www", "api", "discover")
    with open(body_path, "wb") as f:
        f.write(b"[]")
    os.chmod(body_path, 0o644)
    os.environ["HOSTILE_EXTRA_CONFIG"] = "httpPort=%d\n" % API_PORT
    service = hp.Service(binary, work)
    service.start()
    nginx = start_nginx(work)
    pubs = Publishers()
    # Resident memory (MiB) of the service after each of its rounds.
    rows = []
    try:
        # Lazily made threads (the deletion thread, timers) exist after a
        # first request; pooled connection threads end 2 s after their last
        # use, so the starting counts are taken once those have gone.
        subprocess.run(["wrk", "-t2", "-c4", "-d1s", "-H", "Connection: close",
                        "http://127.0.0.1:%d/api/discover" % API_PORT], capture_output=True)
        time.sleep(3)
        start = proc_status(service.proc.pid)
        for displays, conns in CASES:
            pubs.publish_up_to(displays)
            seen = wait_displays(displays)
            if seen is None or seen < displays:
                raise RuntimeError("%d displays not published (%s seen)" % (displays, seen))
            status, body = http_get(API_PORT, "/api/discover")
            if status != 200:
                raise RuntimeError("/api/discover answered %s" % status)
            with open(body_path, "wb") as f:
                f.write(body)
            api, ngx, rss = [], [], []
            for _ in range(ROUNDS):
                api.append(wrk(API_PORT, conns))
                rss.append(proc_status(service.proc.pid)[2])
                ngx.append(wrk(NGINX_PORT, conns))
            rows.append((displays, len(body), conns, api, ngx, rss))
            if service.proc.poll() is not None:
                raise RuntimeError("service ended during the run")
        with open("/proc/loadavg") as f:
            load = " ".join(f.read().split()[:3])
    finally:
        pubs.close()
        nginx.send_signal(signal.SIGTERM)
        nginx.wait(10)

    print("%d rounds of %d s per server and case, interleaved; wrk -t4, Connection: close; load average %s" %
          (ROUNDS, SECONDS, load))
    print("%-9s %8s %5s %12s %12s %6s %11s %11s %6s" % ("displays", "body", "conc", "service r/s", "nginx r/s",
                                                       "ratio", "service p99", "nginx p99", "p99 x"))
    for displays, size, conns, api, ngx, rss in rows:
        a_rps = statistics.mean(r[0] for r in api)
        n_rps = statistics.mean(r[0] for r in ngx)
        a_p99 = statistics.median(r[1] for r in api)
        n_p99 = statistics.median(r[1] for r in ngx)
        print("%-9d %7.0fK %5d %12.0f %12.0f %6.2f %8.2f ms %8.2f ms %6.2f" %
              (displays, size / 1024.0, conns, a_rps, n_rps, a_rps / n_rps, a_p99, n_p99, a_p99 / n_p99))
        print("          rounds (r/s / p99 ms): service %s | nginx %s | service resident %s MiB" %
              (" ".join("%.0f/%.2f" % r[:2] for r in api), " ".join("%.0f/%.2f" % r[:2] for r in ngx),
               " ".join("%.1f" % m for m in rss)))
        for name, runs in (("service", api), ("nginx", ngx)):
            errors = [r[2] for r in runs if r[2]]
            if errors:
                print("          %s: %s" % (name, errors[0]))

    # Connection threads and sockets end once their peers have gone; the
    # publishers' connections were closed above, so the service is back to
    # what it held before the first display.
    pid = service.proc.pid
    deadline = time.monotonic() + 10
    now = proc_status(pid)
    while time.monotonic() < deadline and (now[0] > start[0] or now[1] > start[1]):
        time.sleep(0.1)
        now = proc_status(pid)
    print("service threads: %d at start, %d after; descriptors: %d at start, %d after" %
          (start[0], now[0], start[1], now[1]))
    # The document and registry grow with the displays and the threads'
    # memory with the concurrency, so the comparison is with the first round
    # of the last case.
    first = rows[-1][5][0]
    print("service resident: %.1f MiB after the first round of the last case, %.1f MiB after the runs (%+.1f %%)" %
          (first, now[2], (now[2] - first) * 100.0 / first))
    status, seconds = service.stop()
    print("service stop: status %s in %.2f s" % (status, seconds))
    shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
