#!/usr/bin/env python3
"""zav-service beyond one machine, in one run on loopback: the account query (requests/s, wrk)
and uploads and downloads (MB/s, curl) with one instance on SQLite and files, one instance on
PostgreSQL and the tests' S3 server, and two instances over one database and bucket behind
nginx; the CPU time of every process in each phase (service, database, store, proxy, client),
which shows where the time goes; and the time `migrate` takes for a data folder of 1,000
members, and for a second run over it.

    bench/service/scale.py SERVICE WORK_DIR [SECONDS]

Prints a Markdown report on standard output. PostgreSQL runs from Debian's packages (as
nobody when this runs as root) with its default durability; the S3 server is s3rver from
tests/support/s3 behind its signature check.
"""
import glob
import hashlib
import json
import os
import shutil
import socket
import sqlite3
import subprocess
import sys
import threading
import time

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
CODE = "3c9a1f07d2b84e65a0c7f19e2d3b5a8c4e6f0a1b2c3d4e5f"
TICKS = os.sysconf("SC_CLK_TCK")
CATEGORIES = [("UserFile002", "__WTF.zip", "WTF"), ("UserFile004", "__Fonts.zip", "Fonts")]


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def cpu_seconds(pids):
    """User and system time of the processes and of their children that have ended."""
    total = 0
    for pid in pids:
        try:
            fields = open(f"/proc/{pid}/stat").read().rsplit(")", 1)[1].split()
        except OSError:
            continue
        total += sum(int(f) for f in fields[11:15])
    return total / TICKS


def tree(pid):
    """The process and its descendants."""
    out, todo = [], [pid]
    while todo:
        p = todo.pop()
        out.append(p)
        for child in glob.glob(f"/proc/{p}/task/*/children"):
            try:
                todo += [int(c) for c in open(child).read().split()]
            except OSError:
                pass
    return out


class Servers:
    def __init__(self, service, work):
        self.service, self.work = service, work
        self.procs = []
        self.env = dict(os.environ, ZAV_SERVICE_HASH_ITERATIONS="1000",
                        AWS_ACCESS_KEY_ID="zavbench", AWS_SECRET_ACCESS_KEY="zav-bench-secret",
                        AWS_REGION="eu-west-1")

    def spawn(self, args, log, **kwargs):
        p = subprocess.Popen(args, stdout=kwargs.pop("stdout", open(log, "w")),
                             stderr=open(log + ".err", "w"), env=self.env, **kwargs)
        self.procs.append(p)
        return p

    def postgres(self):
        binary = sorted(glob.glob("/usr/lib/postgresql/*/bin"))[-1]
        folder = os.path.join(self.work, "pg")
        os.makedirs(folder)
        prefix = []
        if os.geteuid() == 0:
            os.chmod(self.work, 0o711)
            shutil.chown(folder, "nobody", "nogroup")
            prefix = ["setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups", "--"]
        subprocess.run(prefix + [f"{binary}/initdb", "-D", f"{folder}/data", "-U", "zav",
                                 "--auth=trust", "-E", "UTF8", "--locale=C"],
                       check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.pg_port = free_port()
        self.pg = self.spawn(prefix + [f"{binary}/postgres", "-D", f"{folder}/data", "-k", folder,
                                       "-c", "listen_addresses=127.0.0.1", "-p", str(self.pg_port),
                                       "-c", "max_connections=100"],
                             os.path.join(self.work, "pg.log"))
        for _ in range(300):
            if subprocess.run(["pg_isready", "-q", "-h", "127.0.0.1", "-p",
                               str(self.pg_port)]).returncode == 0:
                break
            time.sleep(0.1)
        return f"postgresql://zav@127.0.0.1:{self.pg_port}/postgres"

    def s3(self):
        p = self.spawn(["node", os.path.join(ROOT, "tests/support/s3/serve.js"),
                        os.path.join(self.work, "s3"), "zavbench", "0"],
                       os.path.join(self.work, "s3.log"), stdout=subprocess.PIPE)
        line = p.stdout.readline().decode()
        self.s3_proc = p
        return "http://127.0.0.1:" + line.strip().rsplit(":", 1)[1]

    def instance(self, name, backend, proxied=False):
        data = os.path.join(self.work, name)
        proxy = ["--trusted-proxy", "127.0.0.1"] if proxied else []
        p = self.spawn([self.service, "serve", "--data", data, "--http", "127.0.0.1:0",
                        "--https", "127.0.0.1:0", "--max-upload-mb", "100", "--workers", "64"]
                       + proxy + backend,
                       os.path.join(self.work, name + ".log"), stdout=subprocess.PIPE)
        http = int(p.stdout.readline().decode().rsplit(":", 1)[1])
        https = int(p.stdout.readline().decode().rsplit(":", 1)[1])
        return p, http, https, data

    def nginx(self, https_cert, key, http_ports, https_ports):
        folder = os.path.join(self.work, "lb")
        os.makedirs(folder, exist_ok=True)
        port, tls = free_port(), free_port()
        ups = lambda ports: "".join(f"server 127.0.0.1:{p};" for p in ports)
        conf = f"""daemon off; master_process off; pid {folder}/pid; error_log {folder}/error.log;
events {{ worker_connections 1024; }}
http {{
  access_log off; client_body_temp_path {folder}/body; proxy_temp_path {folder}/proxy;
  fastcgi_temp_path {folder}/f; uwsgi_temp_path {folder}/u; scgi_temp_path {folder}/s;
  client_max_body_size 200m; proxy_set_header X-Forwarded-For $proxy_add_x_forwarded_for;
  upstream h {{ {ups(http_ports)} }}
  upstream s {{ {ups(https_ports)} }}
  server {{ listen 127.0.0.1:{port}; location / {{ proxy_pass http://h; }} }}
  server {{ listen 127.0.0.1:{tls} ssl; ssl_certificate {https_cert}; ssl_certificate_key {key};
           location / {{ proxy_pass https://s; }} }}
}}
"""
        open(os.path.join(folder, "nginx.conf"), "w").write(conf)
        p = self.spawn(["nginx", "-p", folder, "-c", os.path.join(folder, "nginx.conf"), "-e",
                        os.path.join(folder, "error.log")], os.path.join(self.work, "nginx.log"))
        for _ in range(100):
            try:
                socket.create_connection(("127.0.0.1", port), 0.2).close()
                break
            except OSError:
                time.sleep(0.1)
        return p, port, tls

    def stop(self):
        for p in reversed(self.procs):
            if p.poll() is None:
                p.send_signal(2 if p is getattr(self, "pg", None) else 15)
        for p in self.procs:
            try:
                p.wait(15)
            except subprocess.TimeoutExpired:
                p.kill()


def curl(args):
    out = subprocess.run(["curl", "-sS", "-o", "/dev/null", "-w", "%{http_code} %{time_total}"]
                         + args, capture_output=True, text=True).stdout.split()
    return int(out[0]), float(out[1])


def login(https_port, member, cafile):
    out = subprocess.run(["curl", "-sS", "--cacert", cafile, f"https://127.0.0.1:{https_port}/app/login",
                          "-d", f"code={CODE}&id={member}&pw=benchpw"], capture_output=True, text=True)
    assert 'result="OK"' in out.stdout, out.stdout


def upload_body(path, size, seed):
    with open(path, "wb") as f:
        for field, name, _ in CATEGORIES:
            f.write(f'--AaB03x\r\ncontent-disposition: form-data; name="{field}"; '
                    f'filename="{name}"\r\nContent-Type: multipart/mixed\r\n'
                    "Content-Transfer-Encoding: binary\r\n\r\n".encode())
            f.write(os.urandom(size // 2))
            f.write(b"\r\n")
        f.write(b"--AaB03x\r\n\r\n")


class Phase:
    """CPU seconds of each group of processes over a phase, beside its wall time."""

    def __init__(self, groups):
        self.groups = groups

    def __enter__(self):
        self.start = time.monotonic()
        self.before = {k: cpu_seconds([p for pid in v for p in tree(pid)]) for k, v in self.groups.items()}
        self.client = os.times()
        return self

    def __exit__(self, *exc):
        self.wall = time.monotonic() - self.start
        after = {k: cpu_seconds([p for pid in v for p in tree(pid)]) for k, v in self.groups.items()}
        self.cpu = {k: after[k] - self.before[k] for k in self.groups}
        t = os.times()
        self.cpu["client"] = (t.children_user + t.children_system) - (
            self.client.children_user + self.client.children_system)


def run_config(name, servers, http, groups, members, https_ports, cafile, seconds, mb):
    """The three phases against one HTTP port (an instance or nginx)."""
    rows = []
    for i, member in enumerate(members):
        login(https_ports[i % len(https_ports)], member, cafile)
    lua = os.path.join(servers.work, "du.lua")
    open(lua, "w").write('wrk.method = "POST"\nwrk.body = "mode=du&id=bench0"\n'
                         'wrk.headers["Content-Type"] = "application/x-www-form-urlencoded"\n')
    with Phase(groups) as du:
        out = subprocess.run(["wrk", "-t2", "-c8", f"-d{seconds}s", "-s", lua,
                              f"http://127.0.0.1:{http}/Kelpo/html/auth.php"],
                             capture_output=True, text=True).stdout
    # Only answers that carry the member's usage count.
    total = int([l for l in out.splitlines() if "requests in" in l][0].split()[0])
    refused = sum(int(l.split(":")[1]) for l in out.splitlines() if "Non-2xx" in l)
    errors = [l.strip() for l in out.splitlines() if "Socket errors" in l]
    rows.append(("account query (du), 8 connections",
                 f"{(total - refused) / du.wall:.0f} requests/s"
                 + (f" ({refused} refused)" if refused else "")
                 + (f" ({'; '.join(errors)})" if errors else ""), du))

    body = os.path.join(servers.work, "body.bin")
    upload_body(body, mb * 1000000, 1)
    size = os.path.getsize(body)
    # Four members upload at once, each its own body, several times over.
    def uploads(n):
        codes = []
        def one(member):
            for _ in range(n):
                codes.append(curl(["-X", "POST", "-T", body, "-H",
                                   "Content-Type: multipart/form-data, boundary=AaB03x",
                                   f"http://127.0.0.1:{http}/Kelpo/html/post.php?userid={member}"])[0])
        threads = [threading.Thread(target=one, args=(m,)) for m in members]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        return codes
    uploads(1)  # warm up
    rounds = 3
    with Phase(groups) as up:
        codes = uploads(rounds)
    assert all(c == 200 for c in codes), codes
    rows.append((f"upload, {len(members)} members at once, {mb} MB each (2 archives)",
                 f"{len(members) * rounds * size / up.wall / 1e6:.0f} MB/s", up))

    def downloads(n):
        def one(member):
            for _ in range(n):
                for _, archive, _ in CATEGORIES:
                    code, _ = curl([f"http://127.0.0.1:{http}/Kelpo/UserData/{member}/{archive}"])
                    assert code == 200, code
        threads = [threading.Thread(target=one, args=(m,)) for m in members]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
    with Phase(groups) as down:
        downloads(rounds)
    rows.append((f"download, {len(members)} members at once", 
                 f"{len(members) * rounds * (size - 400) / down.wall / 1e6:.0f} MB/s", down))
    return rows


def cpu_share(phase, order):
    total = sum(phase.cpu.values()) or 1
    return " / ".join(f"{phase.cpu.get(k, 0) / total * 100:.0f}%" if k in phase.cpu else "-"
                      for k in order)


def migrate_bench(service, servers, db, endpoint, count):
    """A data folder of `count` members with two archives each, into PostgreSQL and S3."""
    data = os.path.join(servers.work, "migrate-data")
    subprocess.run([service, "member", "add", "--data", data, "template", "benchpw", "n"],
                   env=servers.env, check=True)
    db_file = os.path.join(data, "zav.db")
    con = sqlite3.connect(db_file)
    hashed = con.execute("SELECT password FROM members").fetchone()[0]
    con.execute("DELETE FROM members")
    total = 0
    for i in range(count):
        member = f"member{i:04d}"
        con.execute("INSERT INTO members (id, password, nickname, last_upload) VALUES (?, ?, ?, ?)",
                    (member, hashed, "닉", "2026-12-01 10:00:00"))
        folder = os.path.join(data, "UserData", member)
        os.makedirs(folder)
        for archive, size in (("__WTF.zip", 60000), ("__Fonts.zip", 20000)):
            open(os.path.join(folder, archive), "wb").write(os.urandom(size))
            total += size
    con.commit()
    con.close()
    args = [service, "migrate", "--from-data", data, "--db", db, "--store", "s3://zavbench/migrated",
            "--s3-endpoint", endpoint]
    times = []
    for _ in range(2):
        start = time.monotonic()
        out = subprocess.run(args, env=servers.env, capture_output=True, text=True, check=True)
        times.append((time.monotonic() - start, out.stdout.strip()))
    return count, total, times


def main():
    service, work = sys.argv[1], sys.argv[2]
    seconds = int(sys.argv[3]) if len(sys.argv) > 3 else 5
    mb = 20
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    servers = Servers(service, work)
    members = [f"bench{i}" for i in range(4)]
    order = ["service", "database", "store", "proxy", "client"]
    report = []
    try:
        db = servers.postgres()
        endpoint = servers.s3()
        shared = ["--db", db, "--store", "s3://zavbench/zav", "--s3-endpoint", endpoint]

        # One instance on SQLite and files.
        p, http, https, data = servers.instance("embedded", [])
        for m in members:
            subprocess.run([service, "member", "add", "--data", data, m, "benchpw", "n"],
                           env=servers.env, check=True)
        rows = run_config("embedded", servers, http, {"service": [p.pid]}, members, [https],
                          f"{data}/tls/cert.pem", seconds, mb)
        report.append(("one instance, SQLite + files", rows))
        p.terminate(); p.wait()

        for m in members:
            subprocess.run([service, "member", "add", "--db", db, m, "benchpw", "n"],
                           env=servers.env, check=True)
        store_groups = {"database": [servers.pg.pid], "store": [servers.s3_proc.pid]}
        p, http, https, data = servers.instance("shared1", shared)
        rows = run_config("shared", servers, http, dict(store_groups, service=[p.pid]), members,
                          [https], f"{data}/tls/cert.pem", seconds, mb)
        report.append(("one instance, PostgreSQL + S3", rows))

        p.terminate(); p.wait()

        # The same two behind nginx, which they trust for the client's address.
        p, http, https, data = servers.instance("shared1", shared, proxied=True)
        os.makedirs(os.path.join(work, "shared2"), mode=0o700)
        shutil.copytree(os.path.join(data, "tls"), os.path.join(work, "shared2", "tls"))
        q, http2, https2, _ = servers.instance("shared2", shared, proxied=True)
        lb, lb_http, lb_https = servers.nginx(f"{data}/tls/cert.pem", f"{data}/tls/key.pem",
                                              [http, http2], [https, https2])
        rows = run_config("two", servers, lb_http,
                          dict(store_groups, service=[p.pid, q.pid], proxy=[lb.pid]), members,
                          [lb_https], f"{data}/tls/cert.pem", seconds, mb)
        report.append(("two instances behind nginx, PostgreSQL + S3", rows))

        migration = migrate_bench(service, servers, db, endpoint, 1000)
    finally:
        servers.stop()

    print("| configuration | phase | result | CPU s: " + " / ".join(order) +
          " | CPU share: " + " / ".join(order) + " | wall s |")
    print("|---|---|---:|---|---|---:|")
    for config, rows in report:
        for phase, result, measured in rows:
            cpu = " / ".join(f"{measured.cpu[k]:.1f}" if k in measured.cpu else "-" for k in order)
            print(f"| {config} | {phase} | {result} | {cpu} | {cpu_share(measured, order)} | "
                  f"{measured.wall:.1f} |")
    count, total, times = migration
    print()
    print(f"migrate --from-data, {count} members, {2 * count} archives, {total / 1e6:.0f} MB: "
          f"first run {times[0][0]:.1f} s ({times[0][1]}); second run {times[1][0]:.1f} s "
          f"({times[1][1]})")


if __name__ == "__main__":
    main()
