#!/usr/bin/env python3
"""A tiny update server for the tests: serves a folder over HTTP on
127.0.0.1, or with --silent accepts connections and never answers. With
--hold FILE an archive (.tar) is answered only once FILE exists: FILE.asked
appears when such a request has arrived, so a test can act while the daemon
waits for the download."""
import argparse
import functools
import http.server
import os
import socket
import time


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--port", type=int, default=80)
    ap.add_argument("--root", default=".")
    ap.add_argument("--silent", action="store_true")
    ap.add_argument("--lifetime", type=float, default=600.0)
    ap.add_argument("--hold")
    a = ap.parse_args()
    if a.silent:
        s = socket.socket()
        s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        s.bind(("127.0.0.1", a.port))
        s.listen(8)
        held = []
        deadline = time.monotonic() + a.lifetime
        s.settimeout(1.0)
        while time.monotonic() < deadline:
            try:
                held.append(s.accept()[0])
            except socket.timeout:
                pass
        return
    class Handler(http.server.SimpleHTTPRequestHandler):
        def do_GET(self):
            if a.hold and self.path.endswith(".tar"):
                open(a.hold + ".asked", "w").close()
                until = time.monotonic() + 60
                while not os.path.exists(a.hold) and time.monotonic() < until:
                    time.sleep(0.05)
            super().do_GET()

    handler = functools.partial(Handler, directory=a.root)
    http.server.ThreadingHTTPServer.allow_reuse_address = True
    srv = http.server.ThreadingHTTPServer(("127.0.0.1", a.port), handler)
    srv.timeout = 1.0
    deadline = time.monotonic() + a.lifetime
    while time.monotonic() < deadline:
        srv.handle_request()


if __name__ == "__main__":
    main()
