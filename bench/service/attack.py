#!/usr/bin/env python3
"""Bounded attack run against zav-service on loopback, beside nginx under the same attacks where
they apply (nginx serving a static file is the reference for an event-driven server).

Measures: the answer time of normal requests while 40 idle connections and 16 one-byte-a-second
senders are open; a header flood (status, resident memory); 30 parallel wrong passwords for one
id; unknown against known ids; the data folder's modes; the listen backlog and a burst of 50
connections; the time to stop on SIGTERM with hostile clients connected. Prints a Markdown
report to standard output.

    bench/service/attack.py --service build/release/service/zav-service [--nginx /usr/sbin/nginx]
"""
import argparse
import os
import re
import shutil
import signal
import socket
import ssl
import statistics
import subprocess
import sys
import tempfile
import threading
import time

CODE = "3c9a1f07d2b84e65a0c7f19e2d3b5a8c4e6f0a1b2c3d4e5f"
WRONG = "아이디 또는 비밀번호가 올바르지 않습니다.".encode()
THROTTLED = "로그인 실패가 반복되었습니다.".encode()


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def rss_kb(pid, field="VmRSS"):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    return 0


def reset_peak(pid):
    with open(f"/proc/{pid}/clear_refs", "w") as f:
        f.write("5")


class Service:
    def __init__(self, binary, work):
        self.binary = binary
        self.data = os.path.join(work, "data")
        self.log = open(os.path.join(work, "service.log"), "wb")
        self.proc = None

    def member(self, *args):
        subprocess.run([self.binary, "member", "add", "--data", self.data, *args], check=True)

    def start(self):
        self.proc = subprocess.Popen(
            [self.binary, "serve", "--data", self.data, "--http", "127.0.0.1:0", "--https",
             "127.0.0.1:0"], stdout=subprocess.PIPE, stderr=self.log)
        ports = {}
        while len(ports) < 2:
            line = self.proc.stdout.readline().decode()
            if not line:
                raise RuntimeError("zav-service did not start")
            m = re.match(r"listening (https?) .*:(\d+)$", line.strip())
            if m:
                ports[m.group(1)] = int(m.group(2))
        self.http, self.https = ports["http"], ports["https"]
        self.ctx = ssl.create_default_context(cafile=os.path.join(self.data, "tls/cert.pem"))

    def stop(self):
        if self.proc and self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            self.proc.wait(30)


class Nginx:
    """nginx serving one small static file on loopback; `master_process off` keeps it one
    process, so its memory is one process's as well."""

    def __init__(self, binary, work):
        self.dir = os.path.join(work, "nginx")
        os.makedirs(os.path.join(self.dir, "html"))
        with open(os.path.join(self.dir, "html/config.txt"), "w") as f:
            f.write("x" * 300)
        self.http = free_port()
        conf = os.path.join(self.dir, "nginx.conf")
        with open(conf, "w") as f:
            f.write(f"""daemon off; master_process off; pid {self.dir}/nginx.pid;
error_log {self.dir}/error.log;
events {{ worker_connections 1024; }}
http {{ access_log off; client_body_temp_path {self.dir}/body;
  server {{ listen 127.0.0.1:{self.http}; root {self.dir}/html; }} }}
""")
        self.proc = subprocess.Popen([binary, "-p", self.dir, "-c", conf, "-e", f"{self.dir}/error.log"])
        for _ in range(100):
            try:
                socket.create_connection(("127.0.0.1", self.http), 1).close()
                return
            except OSError:
                time.sleep(0.05)
        raise RuntimeError("nginx did not start")

    def stop(self):
        self.proc.send_signal(signal.SIGQUIT)
        self.proc.wait(30)


def get(port, path, timeout=60, source="127.0.0.1"):
    """One GET on a fresh connection; (status, seconds)."""
    t = time.monotonic()
    with socket.create_connection(("127.0.0.1", port), timeout, source_address=(source, 0)) as s:
        s.sendall(f"GET {path} HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n".encode())
        data = b""
        while True:
            chunk = s.recv(65536)
            if not chunk:
                break
            data += chunk
    status = int(data.split(b" ", 2)[1]) if data.startswith(b"HTTP/") else 0
    return status, time.monotonic() - t


def login(svc, user, pw, source="127.0.0.1"):
    body = f"code={CODE}&id={user}&pw={pw}".encode()
    req = (f"POST /app/login HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n"
           f"Content-Type: application/x-www-form-urlencoded\r\nContent-Length: {len(body)}\r\n\r\n"
           ).encode() + body
    raw = socket.create_connection(("127.0.0.1", svc.https), 60, source_address=(source, 0))
    with svc.ctx.wrap_socket(raw, server_hostname="localhost") as s:
        s.sendall(req)
        data = b""
        while True:
            try:
                chunk = s.recv(65536)
            except ssl.SSLError:
                break
            if not chunk:
                break
            data += chunk
    return data


class Hostile:
    """40 idle connections, 8 senders of a head and 8 senders of a body at one byte a second."""

    def __init__(self, port, path):
        self.stop_event = threading.Event()
        self.socks = []
        self.threads = []
        for _ in range(40):
            self.socks.append(socket.create_connection(("127.0.0.1", port)))
        head = f"GET {path} HTTP/1.1\r\nHost: x\r\nX-Slow: " + "a" * 1000
        body = "POST /Kelpo/html/auth.php HTTP/1.1\r\nHost: x\r\nContent-Length: 1000\r\n\r\n"
        for prefix, trickle in [("", head)] * 8 + [(body, "m" * 1000)] * 8:
            s = socket.create_connection(("127.0.0.1", port))
            s.sendall(prefix.encode())
            self.socks.append(s)
            t = threading.Thread(target=self.trickle, args=(s, trickle), daemon=True)
            t.start()
            self.threads.append(t)

    def trickle(self, s, text):
        for c in text:
            if self.stop_event.wait(1.0):
                return
            try:
                s.send(c.encode())
            except OSError:
                return

    def close(self):
        self.stop_event.set()
        for t in self.threads:
            t.join()
        for s in self.socks:
            s.close()


def latencies_under_attack(port, path, seconds=12):
    """Answer times of normal requests, one every half second, while the hostile clients are
    open (their one-byte-a-second senders outlast a head deadline)."""
    hostile = Hostile(port, path)
    times = []
    try:
        time.sleep(1.0)
        end = time.monotonic() + seconds
        while time.monotonic() < end:
            status, t = get(port, path)
            times.append(t if status == 200 else float("inf"))
            time.sleep(0.5)
    finally:
        hostile.close()
    return times


def flood(port, pid, headers, connections=4):
    """Requests with `headers` header lines each, on parallel connections; statuses and the
    server's resident memory before, at its peak, and after."""
    before = rss_kb(pid)
    reset_peak(pid)
    statuses = []
    lock = threading.Lock()

    def one():
        with socket.create_connection(("127.0.0.1", port), 60) as s:
            try:
                s.sendall(b"GET / HTTP/1.1\r\nHost: x\r\n")
                block = b"".join(b"X-Flood-%d: value\r\n" % i for i in range(10000))
                for _ in range(headers // 10000):
                    s.sendall(block)
                s.sendall(b"\r\n")
            except OSError:
                pass  # the server answered early and closed; its answer may still be there
            try:
                reply = s.recv(4096)
            except OSError:
                reply = b""
        status = int(reply.split(b" ", 2)[1]) if reply.startswith(b"HTTP/") else -1
        with lock:
            statuses.append(status)

    threads = [threading.Thread(target=one) for _ in range(connections)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    return statuses, before, rss_kb(pid, "VmHWM"), rss_kb(pid)


def parallel_logins(svc, user, count):
    barrier = threading.Barrier(count)
    replies = []
    lock = threading.Lock()

    def one():
        barrier.wait()
        r = login(svc, user, "wrong-guess")
        with lock:
            replies.append(r)

    threads = [threading.Thread(target=one) for _ in range(count)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    return (sum(WRONG in r for r in replies), sum(THROTTLED in r for r in replies),
            sum(b" 503 " in r[:20] and WRONG not in r and THROTTLED not in r for r in replies))


def burst(port, path, count=50):
    """count connections at once, each from an address of its own (one address gets at most 8
    of the service's workers and waiting places)."""
    times = []
    lock = threading.Lock()
    barrier = threading.Barrier(count)

    def one(i):
        barrier.wait()
        status, t = get(port, path, source=f"127.0.6.{i + 1}")
        with lock:
            times.append(t if status == 200 else float("inf"))

    threads = [threading.Thread(target=one, args=(i,)) for i in range(count)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    times.sort()
    return times[-1], statistics.median(times)


def backlog(port):
    out = subprocess.run(["ss", "-ltnH", f"sport = :{port}"], capture_output=True, text=True).stdout
    fields = out.split()
    return int(fields[2]) if len(fields) > 2 else None


def modes(data):
    found = set()
    for root, dirs, files in os.walk(data):
        for name in dirs:
            found.add(("folder", oct(os.stat(os.path.join(root, name)).st_mode & 0o777)))
        for name in files:
            found.add(("file", oct(os.stat(os.path.join(root, name)).st_mode & 0o777)))
    found.add(("data folder", oct(os.stat(data).st_mode & 0o777)))
    return sorted(found)


def fmt(seconds):
    return "∞" if seconds == float("inf") else f"{seconds:.3f}"


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--service", required=True)
    ap.add_argument("--nginx", default=shutil.which("nginx") or "/usr/sbin/nginx")
    args = ap.parse_args()
    work = tempfile.mkdtemp(prefix="zav-attack-")
    svc = Service(args.service, work)
    nginx = None
    out = []
    try:
        svc.member("gamer01", "secret-pw", "gamer")
        svc.member("gamer02", "other-pw", "other")
        svc.start()
        if os.path.exists(args.nginx):
            nginx = Nginx(args.nginx, work)
        config = "/Kelpo/html/new_config.php"

        out.append("| Attack | zav-service | nginx (static file) |")
        out.append("|---|---|---|")
        quiet = [get(svc.http, config)[1] for _ in range(10)]
        quiet_ng = [get(nginx.http, "/config.txt")[1] for _ in range(10)] if nginx else []
        out.append(f"| normal request, quiet: median / max s | {fmt(statistics.median(quiet))} / "
                   f"{fmt(max(quiet))} | " + (f"{fmt(statistics.median(quiet_ng))} / "
                                              f"{fmt(max(quiet_ng))} |" if nginx else "- |"))
        t = latencies_under_attack(svc.http, config)
        tn = latencies_under_attack(nginx.http, "/config.txt") if nginx else []
        out.append(f"| normal request with 40 idle + 16 one-byte-a-second senders open: median / "
                   f"max s ({len(t)} requests) | {fmt(statistics.median(t))} / {fmt(max(t))} | " +
                   (f"{fmt(statistics.median(tn))} / {fmt(max(tn))} |" if nginx else "- |"))

        for headers, conns in [(200000, 4), (1000000, 1)]:
            st, before, peak, after = flood(svc.http, svc.proc.pid, headers, conns)
            row = (f"| {conns} x {headers:,} headers: statuses; RSS before / peak / after MB | "
                   f"{sorted(set(st))}; {before / 1024:.1f} / {peak / 1024:.1f} / {after / 1024:.1f} |")
            if nginx:
                st, before, peak, after = flood(nginx.http, nginx.proc.pid, headers, conns)
                row += (f" {sorted(set(st))}; {before / 1024:.1f} / {peak / 1024:.1f} / "
                        f"{after / 1024:.1f} |")
            else:
                row += " - |"
            out.append(row)

        checked, throttled, busy = parallel_logins(svc, "gamer01", 30)
        out.append(f"| 30 parallel wrong passwords for one id: checked / throttled / busy (503) | "
                   f"{checked} / {throttled} / {busy} | - |")
        for user, source in [("gamer02", "127.0.0.5"), ("nosuchid", "127.0.0.6")]:
            replies, times = [], []
            for _ in range(6):
                t0 = time.monotonic()
                replies.append(login(svc, user, "wrong-guess", source))
                times.append(time.monotonic() - t0)
            kinds = ["wrong" if WRONG in r else "slowed" if THROTTLED in r else "other"
                     for r in replies]
            out.append(f"| 6 wrong passwords, {'known' if user == 'gamer02' else 'unknown'} id: "
                       f"answers; median time of the checked ones s | {' '.join(kinds)}; "
                       f"{fmt(statistics.median(times[:5]))} | - |")
        ok = login(svc, "gamer01", "secret-pw", "127.0.0.7")
        out.append(f"| the member from another address meanwhile | "
                   f"{'OK' if b'result=' + chr(34).encode() + b'OK' in ok else 'refused'} | - |")

        worst, med = burst(svc.http, config)
        row = (f"| burst of 50 connections from 50 addresses: median / max s | {fmt(med)} / "
               f"{fmt(worst)} |")
        if nginx:
            worst, med = burst(nginx.http, "/config.txt")
            row += f" {fmt(med)} / {fmt(worst)} |"
        else:
            row += " - |"
        out.append(row)
        out.append(f"| listen backlog | {backlog(svc.http)} | "
                   f"{backlog(nginx.http) if nginx else '-'} |")
        out.append(f"| data folder modes | "
                   f"{', '.join(f'{k} {m}' for k, m in modes(svc.data))} | - |")

        hostile = Hostile(svc.http, config)
        time.sleep(1.5)
        t0 = time.monotonic()
        svc.proc.send_signal(signal.SIGTERM)
        svc.proc.wait(60)
        stop = time.monotonic() - t0
        hostile.close()
        out.append(f"| SIGTERM with 40 idle + 16 slow senders connected: seconds to exit | "
                   f"{fmt(stop)} | - |")
    finally:
        svc.stop()
        if nginx:
            nginx.stop()
        shutil.rmtree(work, ignore_errors=True)
    print("\n".join(out))


if __name__ == "__main__":
    sys.exit(main())
