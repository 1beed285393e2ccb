#!/usr/bin/env python3
"""A discarding HTTP sink on 127.0.0.1 for the upload benchmark: reads each request's
announced body and answers 200, so that a client's own upload speed shows without a
server's storage work behind it. Prints "listening PORT", serves until killed."""
import socket

with socket.socket() as server:
    server.bind(("127.0.0.1", 0))
    server.listen(4)
    print("listening", server.getsockname()[1], flush=True)
    buf = bytearray(1 << 20)
    view = memoryview(buf)
    while True:
        conn, _ = server.accept()
        with conn:
            head = b""
            while b"\r\n\r\n" not in head:
                chunk = conn.recv(65536)
                if not chunk:
                    break
                head += chunk
            header, _, rest = head.partition(b"\r\n\r\n")
            length = 0
            for line in header.split(b"\r\n"):
                name, _, value = line.partition(b":")
                if name.strip().lower() == b"content-length":
                    length = int(value)
            left = length - len(rest)
            while left > 0:
                n = conn.recv_into(view, min(left, len(buf)))
                if n == 0:
                    break
                left -= n
            conn.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: 0\r\nConnection: close\r\n\r\n")
