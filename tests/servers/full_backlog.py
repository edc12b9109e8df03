#!/usr/bin/env python3
"""A loopback port where a connection attempt gets no answer at all.

It listens with the smallest backlog and fills it with connections of its
own that it never accepts. The kernel then drops every further SYN instead
of answering it, so a client's connect waits until its own limit: a
connection timeout without any address but loopback. Nothing is ever read
or written.

  full_backlog.py --port-file FILE [--bind 127.0.0.1] [--max-seconds 1800]

The port file is written (by rename) once the backlog is full. SIGTERM or
SIGINT stop it.
"""

import argparse
import os
import select
import signal
import socket
import sys
import time


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--bind", default="127.0.0.1")
    parser.add_argument("--port-file", required=True)
    parser.add_argument("--max-seconds", type=float, default=1800)
    args = parser.parse_args(argv)

    family = socket.AF_INET6 if ":" in args.bind else socket.AF_INET
    listener = socket.socket(family, socket.SOCK_STREAM)
    listener.bind((args.bind, 0))
    listener.listen(0)
    port = listener.getsockname()[1]

    # Connect until one attempt stays unanswered: from then on the queue is
    # full and stays full, since nothing is ever accepted.
    fillers = []
    full = False
    for _ in range(16):
        client = socket.socket(family, socket.SOCK_STREAM)
        client.setblocking(False)
        try:
            client.connect((args.bind, port))
        except BlockingIOError:
            pass
        fillers.append(client)
        _, writable, _ = select.select([], [client], [], 0.5)
        if not writable:
            full = True
            break
    if not full:
        print("full_backlog: the accept queue never filled", file=sys.stderr)
        return 1

    tmp = args.port_file + ".tmp"
    with open(tmp, "w") as f:
        f.write("%d\n" % port)
    os.replace(tmp, args.port_file)

    stop = []
    signal.signal(signal.SIGTERM, lambda *_: stop.append(1))
    signal.signal(signal.SIGINT, lambda *_: stop.append(1))
    deadline = time.monotonic() + args.max_seconds
    while not stop and time.monotonic() < deadline:
        time.sleep(0.2)
    for client in fillers:
        client.close()
    listener.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
