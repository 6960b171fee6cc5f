#!/usr/bin/env python3
"""Posts a settings form to the daemon and kills (SIGKILL) the request's
child, or the daemon with its child, at a random moment of the save.

    save_kill.py child|daemon DAEMON_PID PORT BODY SPAN_MS

The child is found as the daemon's child process once the request is sent;
the kill comes a random 0..SPAN_MS ms after it appeared, early moments
weighed more. Prints "killed"
when the child was still there, else "late" (the save had finished)."""
import os
import random
import signal
import socket
import sys
import time


def children(pid):
    # The web server thread forks, so its task, not the main one, lists them.
    found = []
    try:
        for tid in os.listdir(f"/proc/{pid}/task"):
            with open(f"/proc/{pid}/task/{tid}/children") as f:
                found += [int(c) for c in f.read().split()]
    except OSError:
        pass
    return found


def main():
    mode, daemon, port, body, span = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), sys.argv[4], float(sys.argv[5])
    before = set(children(daemon))
    s = socket.create_connection(("127.0.0.1", port), timeout=5)
    s.sendall(("POST /settings HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/x-www-form-urlencoded\r\n"
               f"Content-Length: {len(body)}\r\n\r\n{body}").encode())
    deadline = time.monotonic() + 2.0
    child = None
    while child is None and time.monotonic() < deadline:
        new = [c for c in children(daemon) if c not in before]
        if new:
            child = new[0]
        else:
            time.sleep(0.0002)
    if child is None:
        print("late")
        return 0
    # Most saves end within a few ms of the fork: weigh the early moments.
    time.sleep(span * random.random() ** 2 / 1000.0)
    try:
        with open(f"/proc/{child}/stat") as f:
            alive = f.read().rsplit(")", 1)[1].split()[0] != "Z"
    except OSError:
        alive = False
    if mode == "daemon":
        os.kill(daemon, signal.SIGKILL)
    try:
        os.kill(child, signal.SIGKILL)
    except ProcessLookupError:
        pass
    print("killed" if alive else "late")
    s.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
