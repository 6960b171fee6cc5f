#!/usr/bin/env python3
"""Sends raw bytes to the web server on 127.0.0.1 and prints the answer.

Usage: raw_http.py PORT REQUEST [--wait SECONDS]
REQUEST is a Python string literal body: escapes such as \\r\\n and \\x00
are decoded. The answer is written to stdout as bytes; the exit status is 0
when the connection was answered or closed, 2 on a time-out.
"""
import socket
import sys


def main():
    port = int(sys.argv[1])
    data = sys.argv[2].encode("latin-1").decode("unicode_escape").encode("latin-1")
    wait = 15.0
    if "--wait" in sys.argv:
        wait = float(sys.argv[sys.argv.index("--wait") + 1])
    s = socket.create_connection(("127.0.0.1", port), timeout=wait)
    try:
        if data:
            s.sendall(data)
        out = b""
        while True:
            try:
                chunk = s.recv(65536)
            except socket.timeout:
                sys.stdout.buffer.write(out)
                return 2
            except ConnectionResetError:
                break
            if not chunk:
                break
            out += chunk
        sys.stdout.buffer.write(out)
        return 0
    finally:
        s.close()


if __name__ == "__main__":
    sys.exit(main())
