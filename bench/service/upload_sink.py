#!/usr/bin/env python3
"""Baseline upload sink for the service benchmark: takes any POST or PUT body and streams it to a
file in the given folder (temporary name, fsync, rename), the same disk work the service does
without the multipart parsing. Prints "listening PORT" once ready."""
import http.server
import os
import sys
import tempfile

FOLDER = sys.argv[1]
CHUNK = 1 << 20


class Sink(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def do_POST(self):
        if self.headers.get("Expect", "").lower() == "100-continue":
            pass  # BaseHTTPRequestHandler answers 100 Continue itself
        remaining = int(self.headers.get("Content-Length", "0"))
        fd, temp = tempfile.mkstemp(dir=FOLDER, prefix=".upload-")
        with os.fdopen(fd, "wb") as out:
            while remaining > 0:
                block = self.rfile.read(min(CHUNK, remaining))
                if not block:
                    break
                out.write(block)
                remaining -= len(block)
            out.flush()
            os.fsync(out.fileno())
        if remaining:
            os.unlink(temp)
            self.send_response(400)
        else:
            os.rename(temp, os.path.join(FOLDER, "stored.bin"))
            self.send_response(200)
        self.send_header("Content-Length", "0")
        self.send_header("Connection", "close")
        self.end_headers()

    do_PUT = do_POST

    def log_message(self, *args):
        pass


server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Sink)
print("listening", server.server_address[1], flush=True)
server.serve_forever()
