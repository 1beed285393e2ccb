#!/usr/bin/env python3
"""Starts native zav-service instances for tests that run where the service cannot (Windows
programs under Wine). CTest starts the broker before those tests and stops it after them:

    service_broker.py start STATE_DIR ZAV_SERVICE_BINARY   # returns once the broker listens
    service_broker.py stop STATE_DIR

The broker listens on an ephemeral loopback port, written to STATE_DIR/port. Each connection is
one CLiveService of a test: the broker makes a fresh temporary folder for it and, on request,
starts the service there, stops it, runs service commands and hands back the service's log.
When the connection closes, its service is stopped and its folder removed (kept when
ZAV_KEEP_TEST_DATA is set), so a test that dies leaves nothing running.

Protocol: one request per line, its fields separated by spaces, each field the hex of its UTF-8
text; the first field is the command. Replies have the same form, "ok" or "err" first.
    hello                   -> ok DATA_DIR
    start ARGS...           -> ok PID HTTP_PORT HTTPS_PORT | err LOG
    stop                    -> ok EXIT_CODE (-1 when it was not running or was killed)
    run ARGS...             -> ok EXIT_CODE STDOUT
    log                     -> ok LINE...
    waitlog NEEDLE MS       -> ok 1|0
    tlsrecord               -> ok PORT: answers one HTTPS request with the service's certificate
    tlsrequest              -> ok REQUEST: that request as it came (head and body)
    quit                    -> ok, then the broker stops every service and ends
"""

import os
import re
import shutil
import signal
import socket
import ssl
import subprocess
import sys
import tempfile
import threading
import time
import traceback

START_SECONDS = 30
STOP_SECONDS = 15
COMMAND_SECONDS = 60
IDLE_SECONDS = 1800  # a broker left behind by an interrupted run ends by itself


def log(text):
    print("service_broker %s: %s" % (time.strftime("%H:%M:%S"), text), file=sys.stderr,
          flush=True)


def encode(fields):
    def raw(field):
        return field if isinstance(field, bytes) else str(field).encode("utf-8")
    return (" ".join(raw(f).hex() for f in fields) + "\n").encode("ascii")


def decode(line):
    return [bytes.fromhex(f).decode("utf-8") for f in line.split()]


class Instance:
    """One test's service: its folder, process and log."""

    def __init__(self, binary):
        self.binary = binary
        self.temp = tempfile.mkdtemp(prefix="zav-service-")
        self.data = os.path.join(self.temp, "data")
        self.process = None
        self.log = []
        self.cond = threading.Condition()
        self.env = dict(os.environ, ZAV_SERVICE_HASH_ITERATIONS="1000")

    def start(self, args):
        if self.process is not None:
            return ["err", "zav-service is already running"]
        with self.cond:
            self.log = []
        self.process = subprocess.Popen(
            [self.binary, "serve", "--data", self.data, "--http", "127.0.0.1:0", "--https",
             "127.0.0.1:0"] + args,
            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
            env=self.env)
        ports = {}
        ready = threading.Event()

        def read_stdout(stream):
            for raw in stream:
                parts = raw.decode("utf-8", "replace").split()
                if len(parts) == 3 and parts[0] == "listening":
                    ports[parts[1]] = int(parts[2].rsplit(":", 1)[1])
                    if "http" in ports and "https" in ports:
                        ready.set()
            ready.set()

        def read_stderr(stream):
            for raw in stream:
                with self.cond:
                    self.log.append(raw.decode("utf-8", "replace").rstrip("\n"))
                    self.cond.notify_all()

        threading.Thread(target=read_stdout, args=(self.process.stdout,), daemon=True).start()
        threading.Thread(target=read_stderr, args=(self.process.stderr,), daemon=True).start()
        ready.wait(START_SECONDS)
        if "http" in ports and "https" in ports:
            return ["ok", self.process.pid, ports["http"], ports["https"]]
        self.stop()
        with self.cond:
            return ["err", "\n".join(self.log)]

    def stop(self):
        if self.process is None:
            return ["ok", -1]
        process, self.process = self.process, None
        process.send_signal(signal.SIGTERM)
        try:
            code = process.wait(STOP_SECONDS)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()
            code = -1
        return ["ok", code if code >= 0 else -1]

    def run(self, args):
        try:
            done = subprocess.run([self.binary] + args, stdin=subprocess.DEVNULL,
                                  stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                                  env=self.env, timeout=COMMAND_SECONDS)
        except (OSError, subprocess.TimeoutExpired) as error:
            return ["ok", -1, str(error)]
        return ["ok", done.returncode if done.returncode >= 0 else -1,
                done.stdout.decode("utf-8", "replace")]

    def wait_log(self, needle, ms):
        with self.cond:
            found = self.cond.wait_for(lambda: any(needle in l for l in self.log), ms / 1000.0)
        return ["ok", 1 if found else 0]

    def tls_record(self):
        """Answers one HTTPS request with the service's certificate and keeps it, so that the
        lines a client adds over TLS can be checked byte for byte."""
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        tls = os.path.join(self.data, "tls")
        try:
            context.load_cert_chain(os.path.join(tls, "cert.pem"), os.path.join(tls, "key.pem"))
        except (OSError, ssl.SSLError) as error:
            return ["err", "no certificate of the service: %s" % error]
        listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        listener.bind(("127.0.0.1", 0))
        listener.listen(1)
        listener.settimeout(COMMAND_SECONDS)
        self.recorded = b""

        def serve():
            try:
                conn, _ = listener.accept()
                with context.wrap_socket(conn, server_side=True) as tls_conn:
                    tls_conn.settimeout(COMMAND_SECONDS)
                    data = b""
                    while True:
                        head_end = data.find(b"\r\n\r\n")
                        if head_end >= 0:
                            length = re.search(rb"(?im)^content-length:\s*(\d+)", data[:head_end])
                            body = int(length.group(1)) if length else 0
                            if len(data) >= head_end + 4 + body:
                                break
                        piece = tls_conn.recv(65536)
                        if not piece:
                            break
                        data += piece
                    self.recorded = data
                    tls_conn.sendall(b"HTTP/1.1 200 X\r\nContent-Length: 6\r\n"
                                     b"Connection: close\r\n\r\nanswer")
            except (OSError, ssl.SSLError) as error:
                print("service_broker: TLS recorder: %s" % error, file=sys.stderr)
            finally:
                listener.close()

        self.recorder = threading.Thread(target=serve, daemon=True)
        self.recorder.start()
        return ["ok", listener.getsockname()[1]]

    def tls_request(self):
        if getattr(self, "recorder", None) is None:
            return ["err", "no TLS recorder was started"]
        self.recorder.join(COMMAND_SECONDS)
        return ["ok", self.recorded]

    def close(self):
        self.stop()
        if not os.environ.get("ZAV_KEEP_TEST_DATA"):
            shutil.rmtree(self.temp, ignore_errors=True)


def serve_client(conn, binary, stopping):
    instance = Instance(binary)
    reader = conn.makefile("r", encoding="ascii", newline="\n")
    try:
        for line in reader:
            fields = decode(line)
            if not fields:
                continue
            command, args = fields[0], fields[1:]
            if command == "hello":
                reply = ["ok", instance.data]
            elif command == "start":
                reply = instance.start(args)
            elif command == "stop":
                reply = instance.stop()
            elif command == "run":
                reply = instance.run(args)
            elif command == "log":
                with instance.cond:
                    reply = ["ok"] + instance.log
            elif command == "waitlog" and len(args) == 2:
                reply = instance.wait_log(args[0], int(args[1]))
            elif command == "tlsrecord":
                reply = instance.tls_record()
            elif command == "tlsrequest":
                reply = instance.tls_request()
            elif command == "quit":
                log("quit requested")
                stopping.set()
                reply = ["ok"]
            else:
                reply = ["err", "unknown request " + command]
            conn.sendall(encode(reply))
            if stopping.is_set():
                break
    except (OSError, ValueError) as error:
        log("connection ended: %s" % error)
    finally:
        instance.close()
        conn.close()


def run_broker(state_dir, binary, listener):
    stopping = threading.Event()
    listener.settimeout(1.0)
    clients = []
    last_activity = time.monotonic()
    while not stopping.is_set():
        try:
            conn, _ = listener.accept()
        except socket.timeout:
            clients = [t for t in clients if t.is_alive()]
            if not clients and time.monotonic() - last_activity > IDLE_SECONDS:
                log("idle for %d s: ending" % IDLE_SECONDS)
                break
            continue
        last_activity = time.monotonic()
        conn.settimeout(None)
        thread = threading.Thread(target=serve_client, args=(conn, binary, stopping))
        thread.start()
        clients.append(thread)
    port = listener.getsockname()[1]
    listener.close()
    for thread in clients:
        thread.join(STOP_SECONDS + COMMAND_SECONDS)
    # The port file, unless it names the broker of a later run by now (stop() removes it at
    # once, and the next run may have written its own while this one was ending).
    try:
        path = os.path.join(state_dir, "port")
        with open(path) as port_file:
            if port_file.read().strip() == str(port):
                os.unlink(path)
    except (FileNotFoundError, ValueError):
        pass


def start(state_dir, binary):
    if not os.access(binary, os.X_OK):
        print("service_broker: %s is not built (make windows builds it natively)" % binary,
              file=sys.stderr)
        return 1
    os.makedirs(state_dir, exist_ok=True)
    if stop(state_dir, quiet=True) != 0:
        return 1
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.bind(("127.0.0.1", 0))
    listener.listen(16)
    port = listener.getsockname()[1]
    pid = os.fork()
    if pid > 0:
        listener.close()
        with open(os.path.join(state_dir, "port.tmp"), "w") as out:
            out.write("%d\n" % port)
        os.replace(os.path.join(state_dir, "port.tmp"), os.path.join(state_dir, "port"))
        print("service_broker: listening on 127.0.0.1:%d (pid %d)" % (port, pid))
        return 0
    # The broker: detached from CTest's pipes and session, so that CTest does not wait for it.
    os.setsid()
    log_fd = os.open(os.path.join(state_dir, "broker.log"), os.O_WRONLY | os.O_CREAT | os.O_TRUNC)
    null = os.open(os.devnull, os.O_RDONLY)
    os.dup2(null, 0)
    os.dup2(log_fd, 1)
    os.dup2(log_fd, 2)
    # Descriptors CTest left open beyond the standard three would keep its pipes open as long
    # as the broker lives: every one but the listener is closed.
    keep = listener.fileno()
    os.closerange(3, keep)
    os.closerange(keep + 1, os.sysconf("SC_OPEN_MAX"))
    try:
        log("listening on 127.0.0.1:%d" % port)
        run_broker(state_dir, binary, listener)
        log("ended")
    except BaseException:
        # Written before the process ends: os._exit would cut off Python's own report.
        traceback.print_exc()
    finally:
        sys.stderr.flush()
        os._exit(0)


def stop(state_dir, quiet=False):
    try:
        with open(os.path.join(state_dir, "port")) as port_file:
            port = int(port_file.read().strip())
    except (FileNotFoundError, ValueError):
        return 0
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=5) as conn:
            conn.sendall(encode(["quit"]))
            conn.settimeout(STOP_SECONDS + COMMAND_SECONDS)
            conn.recv(64)
    except OSError as error:
        if not quiet:
            print("service_broker: no broker on port %d (%s)" % (port, error), file=sys.stderr)
    try:
        os.unlink(os.path.join(state_dir, "port"))
    except FileNotFoundError:
        pass
    return 0


def main(argv):
    if len(argv) == 4 and argv[1] == "start":
        return start(argv[2], argv[3])
    if len(argv) == 3 and argv[1] == "stop":
        return stop(argv[2])
    print(__doc__, file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))
