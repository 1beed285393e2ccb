#!/usr/bin/env python3
"""What one hostile client does to one zav-service instance, attack by attack, on loopback:
stalled form bodies on both listeners, one address holding every connection, an endless chunk
size line, parallel wrong passwords, a slow but steady reader, uploads past the per-member
limit, concurrent uploads on a small disk; and the timing of unknown ids beside a costlier
stored hash, a binding after the clock stepped back, the anonymous freespace query with 20,000
members, and the log lines of a flood of refused requests. Run it on two builds (before and
after a change) and compare. Prints a Markdown table to standard output.

    bench/service/attack_items.py --service build/release/service/zav-service [--quick]
                                  [--baseline OTHER/zav-service]

With --baseline, every attack runs against that build first and the table has both columns.

--quick leaves out the slow reader (about a minute) and uses 2,000 instead of 20,000 members.
The small-disk attack mounts a 40 MB tmpfs and is left out when that is not allowed.
"""
import argparse
import os
import re
import resource
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

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from attack import CODE, WRONG, THROTTLED, rss_kb, reset_peak  # noqa: E402

CONFIG = "/Kelpo/html/new_config.php"


class Service:
    def __init__(self, binary, work, name, *args, env=None):
        self.binary = binary
        self.data = os.path.join(work, name)
        os.makedirs(self.data, exist_ok=True)
        self.log_path = os.path.join(work, name + ".log")
        self.args = list(args)
        self.env = dict(os.environ, **(env or {}))
        self.proc = None

    def member(self, user, pw, iterations=None):
        env = dict(self.env)
        if iterations:
            env["ZAV_SERVICE_HASH_ITERATIONS"] = str(iterations)
        subprocess.run([self.binary, "member", "add", "--data", self.data, user, pw, user],
                       check=True, env=env)

    def start(self):
        self.log = open(self.log_path, "wb")
        self.proc = subprocess.Popen(
            [self.binary, "serve", "--data", self.data, "--http", "127.0.0.1:0", "--https",
             "127.0.0.1:0", *self.args], stdout=subprocess.PIPE, stderr=self.log, env=self.env)
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
        return self

    def stop(self):
        if self.proc and self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            self.proc.wait(60)
        if self.proc:
            self.log.close()

    def log_lines(self):
        with open(self.log_path, "rb") as f:
            return f.read().decode(errors="replace").splitlines()


def exchange(port, data, source="127.0.0.1", timeout=60):
    """Sends a request and reads to the end; (status, body bytes, seconds)."""
    t = time.monotonic()
    with socket.create_connection(("127.0.0.1", port), timeout, source_address=(source, 0)) as s:
        s.sendall(data)
        reply = b""
        while True:
            try:
                chunk = s.recv(65536)
            except OSError:
                break
            if not chunk:
                break
            reply += chunk
    status = int(reply.split(b" ", 2)[1]) if reply.startswith(b"HTTP/") else 0
    return status, reply.partition(b"\r\n\r\n")[2], time.monotonic() - t


def get(port, path, source="127.0.0.1"):
    return exchange(port, f"GET {path} HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n".encode(),
                    source)


def post(port, path, body, source="127.0.0.1", headers=""):
    return exchange(port, (f"POST {path} HTTP/1.1\r\nHost: x\r\nConnection: close\r\n{headers}"
                           f"Content-Length: {len(body)}\r\n\r\n").encode() + body, source)


def login(svc, user, pw, source="127.0.0.1"):
    body = f"code={CODE}&id={user}&pw={pw}".encode()
    req = (f"POST /app/login HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n"
           f"Content-Length: {len(body)}\r\n\r\n").encode() + body
    raw = socket.create_connection(("127.0.0.1", svc.https), 60, source_address=(source, 0))
    data = b""
    try:
        with svc.ctx.wrap_socket(raw, server_hostname="localhost") as s:
            s.sendall(req)
            while True:
                chunk = s.recv(65536)
                if not chunk:
                    break
                data += chunk
    except (ssl.SSLError, OSError):
        pass
    return data


def upload_body(parts):
    body = b""
    for field, name, data in parts:
        body += (f'--AaB03x\r\ncontent-disposition: form-data; name="{field}"; filename="{name}"'
                 f'\r\nContent-Type: multipart/mixed\r\nContent-Transfer-Encoding: binary\r\n\r\n'
                 ).encode() + data + b"\r\n"
    return body + b"--AaB03x\r\n\r\n"


def upload_head(user, length):
    return (f"POST /Kelpo/html/post.php?userid={user} HTTP/1.1\r\nHost: x\r\nConnection: close\r\n"
            f"Content-Type: multipart/form-data, boundary=AaB03x\r\nContent-Length: {length}\r\n\r\n"
            ).encode()


def upload(svc, user, parts, source="127.0.0.1"):
    body = upload_body(parts)
    return exchange(svc.http, upload_head(user, len(body)) + body, source)[:2]


def parallel(fn, args_list):
    results = [None] * len(args_list)

    def run(i, args):
        results[i] = fn(*args)

    threads = [threading.Thread(target=run, args=(i, a)) for i, a in enumerate(args_list)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    return results


def normal_requests(svc, count, source="127.0.0.2", pause=0.1):
    """count normal requests one after another; (statuses, seconds)."""
    statuses, times = [], []
    for _ in range(count):
        status, _, t = get(svc.http, CONFIG, source)
        statuses.append(status)
        times.append(t)
        time.sleep(pause)
    return statuses, times


def refused(statuses):
    return sum(s != 200 for s in statuses)


def stalled_bodies(binary, work):
    """100 complete heads of a form POST (Content-Length 1000) and no body, on the HTTP side,
    then on the HTTPS side (the login); 19 normal requests each time."""
    svc = Service(binary, work, "stall").start()
    rows = []
    try:
        for label, port, tls in [("auth.php over HTTP", svc.http, False),
                                 ("the login over HTTPS", svc.https, True)]:
            socks = []
            path = "/app/login" if tls else "/Kelpo/html/auth.php"
            head = (f"POST {path} HTTP/1.1\r\nHost: x\r\nContent-Length: 1000\r\n\r\nmode=").encode()
            for i in range(100):
                raw = socket.create_connection(("127.0.0.1", port), 30,
                                               source_address=(f"127.0.1.{i + 1}", 0))
                s = svc.ctx.wrap_socket(raw, server_hostname="localhost") if tls else raw
                s.sendall(head)
                socks.append(s)
            time.sleep(0.5)
            statuses, times = normal_requests(svc, 19)
            rows.append(f"| 100 stalled form bodies ({label}): normal requests refused, of 19; "
                        f"max s | {refused(statuses)}; {max(times):.3f} |")
            for s in socks:
                s.close()
            time.sleep(0.5)
    finally:
        svc.stop()
    return rows


def one_address_connections(binary, work):
    svc = Service(binary, work, "conns").start()
    try:
        socks = []
        for _ in range(1000):
            try:
                socks.append(socket.create_connection(("127.0.0.1", svc.http), 5,
                                                      source_address=("127.0.0.3", 0)))
            except OSError:
                break
        time.sleep(0.5)
        statuses, _ = normal_requests(svc, 6)
        for s in socks:
            s.close()
    finally:
        svc.stop()
    return [f"| 1000 silent connections from one address: normal requests from another "
            f"refused, of 6 | {refused(statuses)} ({len(socks)} connected) |"]


def endless_chunk_line(binary, work):
    """A chunked body whose size line never ends: 200 MB of hex digits, to the account script
    and to the upload of a logged-in member."""
    svc = Service(binary, work, "chunk")
    svc.member("gamer01", "secret-pw", 1000)
    svc.start()
    rows = []
    try:
        assert b'result="OK"' in login(svc, "gamer01", "secret-pw")
        for label, path in [("auth.php", "/Kelpo/html/auth.php"),
                            ("post.php", "/Kelpo/html/post.php?userid=gamer01")]:
            before = rss_kb(svc.proc.pid)
            reset_peak(svc.proc.pid)
            sent = 0
            with socket.create_connection(("127.0.0.1", svc.http), 30) as s:
                s.sendall((f"POST {path} HTTP/1.1\r\nHost: x\r\nContent-Type: multipart/form-data, "
                           f"boundary=AaB03x\r\nTransfer-Encoding: chunked\r\n\r\n").encode())
                block = b"1" * (1 << 20)
                try:
                    while sent < 200 << 20:
                        s.sendall(block)
                        sent += len(block)
                except OSError:
                    pass
                s.settimeout(5)
                try:
                    reply = s.recv(4096)
                except OSError:
                    reply = b""
            status = int(reply.split(b" ", 2)[1]) if reply.startswith(b"HTTP/") else "closed"
            rows.append(f"| endless chunk-size line to {label}: MB sent; status; "
                        f"RSS before / peak MB | {sent >> 20}; {status}; {before / 1024:.1f} / "
                        f"{rss_kb(svc.proc.pid, 'VmHWM') / 1024:.1f} |")
    finally:
        svc.stop()
    return rows


def parallel_logins(binary, work):
    """64 parallel wrong passwords from 64 addresses, production hashing; normal requests
    meanwhile."""
    svc = Service(binary, work, "logins")
    svc.member("gamer01", "secret-pw")
    svc.start()
    try:
        results = {}

        def attack():
            results["logins"] = parallel(
                lambda i: login(svc, "gamer01", "wrong", f"127.0.2.{i + 1}"),
                [(i,) for i in range(64)])

        t = threading.Thread(target=attack)
        t.start()
        time.sleep(0.2)
        statuses, times = [], []
        while t.is_alive():
            status, _, dt = get(svc.http, CONFIG, "127.0.0.2")
            statuses.append(status)
            times.append(dt)
            time.sleep(0.1)
        t.join()
        replies = results["logins"]
        checked = sum(WRONG in r for r in replies)
        busy = sum(b" 503 " in r[:20] for r in replies)
    finally:
        svc.stop()
    return [f"| 64 parallel wrong passwords from 64 addresses: checked / answered 503; normal "
            f"requests meanwhile: median / max s | {checked} / {busy}; "
            f"{statistics.median(times):.3f} / {max(times):.3f} ({len(times)} requests) |"]


def slow_reader(binary, work, size_mb=5, rate=100_000):
    svc = Service(binary, work, "reader")
    svc.member("gamer01", "secret-pw", 1000)
    svc.start()
    try:
        assert b'result="OK"' in login(svc, "gamer01", "secret-pw")
        data = os.urandom(size_mb * 1_000_000)
        assert upload(svc, "gamer01", [("UserFile001", "__Interface.zip", data)])[0] == 200
        t0 = time.monotonic()
        got = 0
        with socket.create_connection(("127.0.0.1", svc.http), 60) as s:
            s.sendall(b"GET /Kelpo/UserData/gamer01/__Interface.zip HTTP/1.0\r\nHost: x\r\n\r\n")
            while True:
                chunk = s.recv(rate // 10)
                if not chunk:
                    break
                got += len(chunk)
                time.sleep(max(0.0, got / rate - (time.monotonic() - t0)))
        seconds = time.monotonic() - t0
    finally:
        svc.stop()
    return [f"| {size_mb} MB archive read at {rate // 1000} KB/s: MB received; s | "
            f"{got / 1e6:.2f} of {len(data) / 1e6 + 0.0:.2f}; {seconds:.1f} |"]


def per_member_limit(binary, work):
    svc = Service(binary, work, "limit", "--max-upload-mb", "1")
    svc.member("gamer01", "secret-pw", 1000)
    svc.start()
    try:
        assert b'result="OK"' in login(svc, "gamer01", "secret-pw")
        statuses = []
        for field, name in [("UserFile001", "__Interface.zip"), ("UserFile002", "__WTF.zip"),
                            ("UserFile003", "__WDB.zip"), ("UserFile004", "__Fonts.zip")]:
            statuses.append(upload(svc, "gamer01", [(field, name, os.urandom(900_000))])[0])
        du = post(svc.http, "/Kelpo/html/auth.php", b"mode=du&id=gamer01")[1].decode()
        stored = int(re.search(r"Data=(\d+)", du).group(1))
    finally:
        svc.stop()
    return [f"| --max-upload-mb 1, four single-category uploads of 0.9 MB: statuses; MB stored | "
            f"{' '.join(map(str, statuses))}; {stored / 1e6:.1f} |"]


def small_disk(binary, work):
    disk = os.path.join(work, "disk")
    os.makedirs(disk)
    if subprocess.run(["mount", "-t", "tmpfs", "-o", "size=40m", "tmpfs", disk],
                      capture_output=True).returncode != 0:
        return ["| four concurrent 14 MB uploads of one member on a 40 MB disk | not measured "
                "(no tmpfs mount) |"]
    try:
        svc = Service(binary, disk, "data")
        svc.member("gamer01", "secret-pw", 1000)
        svc.member("gamer02", "other-pw", 1000)
        svc.start()
        try:
            assert b'result="OK"' in login(svc, "gamer01", "secret-pw")
            assert b'result="OK"' in login(svc, "gamer02", "other-pw", "127.0.0.2")
            body = upload_body([("UserFile001", "__Interface.zip", os.urandom(14_000_000))])
            socks, answers = [], []
            for _ in range(4):
                s = socket.create_connection(("127.0.0.1", svc.http), 30)
                s.sendall(upload_head("gamer01", len(body)))
                try:
                    s.settimeout(0.5)
                    s.sendall(body[:-1_000_000])  # all but the last MB, then it waits
                except OSError:
                    pass
                socks.append(s)
            time.sleep(1.0)
            for s in socks:
                s.setblocking(False)
                try:
                    answers.append(int(s.recv(100).split(b" ", 2)[1]))
                except (OSError, IndexError, ValueError):
                    answers.append("open")
            other = upload(svc, "gamer02", [("UserFile002", "__WTF.zip", os.urandom(5_000_000))],
                           "127.0.0.2")[0]
            for s in socks:
                s.close()
        finally:
            svc.stop()
    finally:
        subprocess.run(["umount", disk])
    return [f"| four concurrent 14 MB uploads of one member on a 40 MB disk: their answers while "
            f"held; another member's 5 MB upload meanwhile | {' '.join(map(str, answers))}; "
            f"{other} |"]


def dummy_hash_cost(binary, work):
    """A member hashed at twice the service's current count: wrong passwords for it and for an
    unknown id, median time of five each."""
    svc = Service(binary, work, "dummy", env={"ZAV_SERVICE_HASH_ITERATIONS": "300000"})
    svc.member("gamer01", "secret-pw", 600000)
    svc.start()
    try:
        times = {}
        for user, source in [("gamer01", "127.0.3.1"), ("nosuchid", "127.0.3.2")]:
            ts = []
            for _ in range(4):
                t0 = time.monotonic()
                login(svc, user, "wrong", source)
                ts.append(time.monotonic() - t0)
            times[user] = statistics.median(ts)
    finally:
        svc.stop()
    return [f"| member hashed at 600,000 iterations, service at 300,000: wrong password, known / "
            f"unknown id, median s | {times['gamer01']:.3f} / {times['nosuchid']:.3f} |"]


def clock_back(binary, work):
    clock = os.path.join(work, "clock.txt")
    now = int(time.time() * 1000)
    with open(clock, "w") as f:
        f.write(f"{now}\n")
    svc = Service(binary, work, "clock", "--clock-file", clock)
    svc.member("gamer01", "secret-pw", 1000)
    svc.start()
    try:
        assert b'result="OK"' in login(svc, "gamer01", "secret-pw")
        with open(clock + ".new", "w") as f:
            f.write(f"{now - 30 * 24 * 3600 * 1000}\n")
        os.rename(clock + ".new", clock)
        status = post(svc.http, "/Kelpo/html/auth.php", b"mode=du&id=gamer01")[0]
    finally:
        svc.stop()
    return [f"| the clock steps back 30 days after a login: the member's account query | {status} |"]


def freespace(binary, work, members):
    svc = Service(binary, work, "space", "--capacity-mb", "100000")
    userdata = os.path.join(svc.data, "UserData")
    os.makedirs(userdata)
    for i in range(members):
        folder = os.path.join(userdata, f"m{i:05d}")
        os.mkdir(folder)
        for name in ("__WTF.zip", "__Interface.zip"):
            with open(os.path.join(folder, name), "wb") as f:
                f.write(b"z" * 100)
    svc.start()
    try:
        times = [post(svc.http, "/Kelpo/html/auth.php", b"mode=freespace")[2] for _ in range(5)]
    finally:
        svc.stop()
    return [f"| anonymous freespace with {members:,} member folders: median s | "
            f"{statistics.median(times):.3f} |"]


def refusal_flood(binary, work):
    svc = Service(binary, work, "flood").start()
    try:
        t0 = time.monotonic()
        for _ in range(2000):
            exchange(svc.http, b"GARBAGE\r\n\r\n")
        seconds = time.monotonic() - t0
    finally:
        svc.stop()
    lines = sum(" 400 0" in line for line in svc.log_lines())
    return [f"| 2,000 malformed requests: refusal lines logged | {lines} (in {seconds:.1f} s) |"]


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--service", required=True)
    ap.add_argument("--quick", action="store_true")
    ap.add_argument("--baseline")
    args = ap.parse_args()
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
    work = tempfile.mkdtemp(prefix="zav-attack-items-")
    steps = [stalled_bodies, one_address_connections, endless_chunk_line, parallel_logins,
             slow_reader, per_member_limit, small_disk, dummy_hash_cost, clock_back,
             lambda b, w: freespace(b, w, 2000 if args.quick else 20000), refusal_flood]
    if args.quick:
        steps.remove(slow_reader)
    if args.baseline:
        print("| Attack | baseline | zav-service |\n|---|---|---|", flush=True)
    else:
        print("| Attack | zav-service |\n|---|---|", flush=True)
    try:
        for step in steps:
            if args.baseline:
                os.makedirs(os.path.join(work, "baseline"), exist_ok=True)
                before = step(args.baseline, os.path.join(work, "baseline"))
            rows = step(args.service, work)
            if args.baseline:
                rows = [old.rsplit("|", 1)[0] + "|" + row.rsplit("|", 2)[1] + "|"
                        for row, old in zip(rows, before)]
            print("\n".join(rows), flush=True)
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
