#!/usr/bin/env python3
"""Loopback HTTP/1.1 (or HTTPS) server that the engine's tests probe.

Routes, chosen by path only (the query never matters):
  /status/NNN             -> status NNN, empty body, Connection: close
  /redirect/NNN/<rest>    -> status NNN, Location: /<rest>
  /to/<scheme>/<port>/<r> -> 302, Location: <scheme>://<this host>:<port>/<r>
  /loop                   -> 302, Location: /loop
  /silent                 -> read the request, never answer (30 s at most)
  /slow/<ms>/<rest>       -> wait ms milliseconds, then act as /<rest>
  /wire/<NNN>/<framing>/<location>  -> raw bytes: status NNN with a body
                             framed as asked and a Location of the kind asked
  /wireloop/<framing>     -> 302 to itself, with a body
  /cut/<name>             -> a response cut off (or stalled) inside its head
  /bighead/<bytes>        -> 200 whose head is exactly that many bytes
  anything else           -> 200 with a short body
See README.md beside this file.
"""

import argparse
import ipaddress
import json
import os
import select
import signal
import socket
import socketserver
import ssl
import sys
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from urllib.parse import urlsplit

SILENT_SECONDS = 30
# A client that connects and then stalls must not pin a thread past this.
IDLE_SECONDS = 30
LOOPBACK_NAMES = {"localhost", "localhost.", "ip6-localhost"}

stopping = threading.Event()


class BadRoute(Exception):
    pass


def route_path(target):
    # Absolute-form targets (as a proxy would send) route like origin-form.
    if "://" in target:
        target = urlsplit(target).path or "/"
    return target.split("?", 1)[0].split("#", 1)[0]


def is_loopback_host(host):
    if host.lower() in LOOPBACK_NAMES:
        return True
    try:
        return ipaddress.ip_address(host).is_loopback
    except ValueError:
        return False


def parse_status(text):
    if not (len(text) == 3 and text.isdigit()) or not 100 <= int(text) <= 999:
        raise BadRoute("status must be three digits, 100..999: %r" % text)
    return int(text)


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    timeout = IDLE_SECONDS

    def version_string(self):
        return "fixture/1"

    def log_message(self, format, *args):
        # Tests read the JSON log; per-request stderr chatter only hides failures.
        pass

    def __getattr__(self, name):
        # Any method name the client sends is served alike.
        if name.startswith("do_"):
            return self.serve
        raise AttributeError(name)

    # --- request side -------------------------------------------------------

    def read_body(self):
        if "chunked" in self.headers.get("Transfer-Encoding", "").lower():
            chunks = []
            while True:
                size_line = self.rfile.readline(1024)
                if not size_line:
                    break
                size = int(size_line.split(b";", 1)[0].strip() or b"0", 16)
                if size == 0:
                    while self.rfile.readline(1024) not in (b"\r\n", b"\n", b""):
                        pass
                    break
                chunks.append(self.rfile.read(size))
                self.rfile.readline(1024)
            return b"".join(chunks)
        length = self.headers.get("Content-Length", "0").strip() or "0"
        if not length.isdigit():
            raise ValueError("Content-Length is not a number: %r" % length)
        return self.rfile.read(int(length))

    def raw_target(self):
        # self.path may have been normalised by http.server; the request
        # line is what the client actually sent.
        words = self.requestline.split()
        return words[1] if len(words) >= 2 else self.path

    def log_request_json(self, target, path, body):
        headers = {}
        for name, value in self.headers.items():
            key = name.lower()
            headers[key] = headers[key] + ", " + value if key in headers else value
        entry = {
            "method": self.command,
            "target": target,
            "path": path,
            "headers": headers,
            "body": body.decode("utf-8", errors="replace"),
            "version": self.request_version,
        }
        self.server.write_log(entry)

    # --- response side ------------------------------------------------------

    def reply(self, status, body=b"", location=None, close=False):
        self.send_response(status)
        if location is not None:
            self.send_header("Location", location)
        if body:
            self.send_header("Content-Type", "text/plain; charset=utf-8")
        self.send_header("Content-Length", str(len(body)))
        if close:
            self.send_header("Connection", "close")
            self.close_connection = True
        self.end_headers()
        if body and self.command != "HEAD":
            self.wfile.write(body)
        self.wfile.flush()

    def this_host(self):
        # Redirect back to the name the client used (TLS name checks depend
        # on it), but never steer a client off loopback.
        host = urlsplit("//" + self.headers.get("Host", "")).hostname or ""
        if not is_loopback_host(host):
            host = self.connection.getsockname()[0]
        return "[%s]" % host if ":" in host else host

    def wait_silently(self):
        deadline = time.monotonic() + SILENT_SECONDS
        sock = self.connection
        while not stopping.is_set():
            left = deadline - time.monotonic()
            if left <= 0:
                break
            try:
                readable, _, _ = select.select([sock], [], [], min(left, 0.5))
                if readable and not sock.recv(65536):
                    break  # client closed
            except ssl.SSLWantReadError:
                continue
            except (OSError, ValueError):
                break
        self.close_connection = True

    def serve(self):
        target = self.raw_target()
        path = route_path(target)
        try:
            body = self.read_body()
        except (BadRoute, ValueError) as err:
            self.log_request_json(target, path, b"")
            return self.reply(400, ("unreadable body: %s\n" % err).encode(), close=True)
        self.log_request_json(target, path, body)
        try:
            self.dispatch(path)
        except BadRoute as err:
            self.reply(400, ("bad fixture route: %s\n" % err).encode(), close=True)

    def dispatch(self, path):
        parts = path.split("/")  # parts[0] is "" for "/..."
        head = parts[1] if len(parts) > 1 else ""
        if head == "slow":
            if len(parts) < 3 or not parts[2].isdigit():
                raise BadRoute("expected /slow/<ms>/<rest>")
            if stopping.wait(int(parts[2]) / 1000.0):
                self.close_connection = True
                return
            return self.dispatch("/" + "/".join(parts[3:]))
        if head == "status" and len(parts) == 3:
            return self.reply(parse_status(parts[2]), close=True)
        if head == "status":
            raise BadRoute("expected /status/NNN")
        if head == "redirect":
            if len(parts) < 3:
                raise BadRoute("expected /redirect/NNN/<rest>")
            return self.reply(parse_status(parts[2]), location="/" + "/".join(parts[3:]))
        if head == "to":
            if len(parts) < 4 or not parts[2].isalpha() or not parts[3].isdigit():
                raise BadRoute("expected /to/<scheme>/<port>/<rest>")
            location = "%s://%s:%s/%s" % (parts[2], self.this_host(), parts[3], "/".join(parts[4:]))
            return self.reply(302, location=location)
        if path == "/loop":
            return self.reply(302, location="/loop")
        if path == "/silent":
            return self.wait_silently()
        if head == "wire":
            return self.wire(path, parts[2:])
        if head == "wireloop" and len(parts) == 3:
            return self.send_framed(302, parts[2], "Location: " + path + "\r\n")
        if head == "cut" and len(parts) == 3:
            return self.cut(parts[2])
        if head == "bighead" and len(parts) == 3 and parts[2].isdigit():
            return self.big_head(int(parts[2]))
        if head in ("wire", "wireloop", "cut", "bighead"):
            raise BadRoute("malformed /%s route" % head)
        return self.reply(200, b"fixture ok\n")

    # --- raw responses ------------------------------------------------------
    # Written byte for byte, so the tests control framing and cut-offs that
    # http.server would otherwise normalise.

    REDIRECT_BODY = b"<html><body>This page has moved. Follow the Location header.</body></html>\n"

    def raw(self, data, close):
        self.wfile.write(data)
        self.wfile.flush()
        if close:
            self.close_connection = True

    def wire(self, path, args):
        if len(args) < 3:
            raise BadRoute("expected /wire/<NNN>/<framing>/<location kind>/...")
        status, framing, kind, rest = parse_status(args[0]), args[1], args[2], "/".join(args[3:])
        if kind == "rel":
            location = "/" + rest
        elif kind == "dot":
            # Relative to the request's own directory: as many "../" as it is deep.
            location = "../" * (path.count("/") - 1) + rest
        elif kind == "abs":
            if len(args) < 5 or not args[3].isalpha() or not args[4].isdigit():
                raise BadRoute("expected /wire/<NNN>/<framing>/abs/<scheme>/<port>/<rest>")
            location = "%s://%s:%s/%s" % (args[3], self.this_host(), args[4], "/".join(args[5:]))
        elif kind == "none":
            location = None
        else:
            raise BadRoute("location kind must be rel, dot, abs or none: %r" % kind)
        self.send_framed(status, framing, "" if location is None else "Location: %s\r\n" % location)

    def send_framed(self, status, framing, extra_headers):
        head = "HTTP/1.1 %d Moved\r\nServer: fixture/1\r\n%sContent-Type: text/html\r\n" % (status, extra_headers)
        body = self.REDIRECT_BODY
        if framing == "cl":
            self.raw(("%sContent-Length: %d\r\n\r\n" % (head, len(body))).encode() + body, close=False)
        elif framing == "empty":
            self.raw(("%sContent-Length: 0\r\n\r\n" % head).encode(), close=False)
        elif framing == "chunked":
            chunks = b"".join(b"%x\r\n%s\r\n" % (len(c), c) for c in (body[:20], body[20:]))
            self.raw(("%sTransfer-Encoding: chunked\r\n\r\n" % head).encode() + chunks + b"0\r\n\r\n", close=False)
        elif framing == "close":
            self.raw(("%sConnection: close\r\n\r\n" % head).encode() + body, close=True)
        elif framing == "stall":
            # Promises a long body, sends a little of it and holds the
            # connection: a client that waits for the body waits in vain.
            self.raw(("%sContent-Length: 100000\r\n\r\n" % head).encode() + body, close=False)
            self.wait_silently()
        else:
            raise BadRoute("framing must be cl, empty, chunked, close or stall: %r" % framing)

    CUTS = {
        "nothing": b"",
        "partial-status": b"HTTP/1.1 20",
        "status-line": b"HTTP/1.1 200 OK\r\n",
        "mid-header": b"HTTP/1.1 200 OK\r\nContent-Ty",
        "no-blank-line": b"HTTP/1.1 200 OK\r\nContent-Length: 2\r\n",
        "redirect": b"HTTP/1.1 302 Found\r\nLocation: /status/200\r\n",
        # Complete heads whose body is delimited by the close: answers.
        "whole-head": b"HTTP/1.1 200 OK\r\n\r\n",
        "whole-head-1.0": b"HTTP/1.0 204 No Content\r\n\r\n",
    }

    def cut(self, name):
        if name == "stalled-head":
            self.raw(b"HTTP/1.1 200 OK\r\nContent-Length: 0\r\n", close=False)
            return self.wait_silently()
        if name not in self.CUTS:
            raise BadRoute("unknown cut: %r" % name)
        self.raw(self.CUTS[name], close=True)

    def big_head(self, size):
        head = b"HTTP/1.1 200 OK\r\nContent-Length: 0\r\nConnection: close\r\n"
        end = b"\r\n"
        if size < len(head) + len(end):
            raise BadRoute("a head holds at least %d bytes" % (len(head) + len(end)))
        lines = []
        left = size - len(head) - len(end)
        n = 0
        while left > 0:
            # Lines of at most 1000 bytes: "X-Fill-NNNNNN: aaa...\r\n"; a
            # remainder too short for a line widens the previous one.
            prefix = b"X-Fill-%06d: " % n
            take = min(left, 1000)
            if left - take != 0 and left - take < len(prefix) + 3:
                take = left - (len(prefix) + 3)
            lines.append(prefix + b"a" * max(1, take - len(prefix) - 2) + b"\r\n")
            left -= len(lines[-1])
            n += 1
        data = head + b"".join(lines) + end
        if len(data) != size:
            raise BadRoute("cannot make a head of exactly %d bytes" % size)
        self.raw(data, close=True)


class FixtureServer(ThreadingHTTPServer):
    daemon_threads = True
    allow_reuse_address = True
    request_queue_size = 64

    def __init__(self, bind, port, tls_context, log_path):
        self.address_family = socket.AF_INET6 if ":" in bind else socket.AF_INET
        self.tls_context = tls_context
        self.log_lock = threading.Lock()
        self.log_file = open(log_path, "a", encoding="utf-8") if log_path else None
        super().__init__((bind, port), Handler)

    def server_bind(self):
        # HTTPServer.server_bind would call getfqdn(): a name lookup we must not do.
        socketserver.TCPServer.server_bind(self)
        self.server_name, self.server_port = self.server_address[:2]

    def finish_request(self, request, client_address):
        # The TLS handshake runs here, in the connection's own thread, so a
        # client that never completes it cannot stall the accept loop.
        if self.tls_context is None:
            return super().finish_request(request, client_address)
        request.settimeout(IDLE_SECONDS)
        try:
            tls = self.tls_context.wrap_socket(request, server_side=True)
        except (ssl.SSLError, OSError):
            return  # e.g. the client rejected our certificate: expected in tests
        try:
            super().finish_request(tls, client_address)
        finally:
            tls.close()

    def handle_error(self, request, client_address):
        err = sys.exc_info()[1]
        if isinstance(err, (ConnectionError, ssl.SSLError, socket.timeout, BrokenPipeError)):
            return  # clients hanging up early is normal here
        super().handle_error(request, client_address)

    def write_log(self, entry):
        if self.log_file is None:
            return
        with self.log_lock:
            self.log_file.write(json.dumps(entry, sort_keys=True) + "\n")
            self.log_file.flush()


def write_port_file(path, port):
    tmp = "%s.tmp.%d" % (path, os.getpid())
    with open(tmp, "w", encoding="ascii") as f:
        f.write("%d\n" % port)
        f.flush()
        os.fsync(f.fileno())
    os.replace(tmp, path)


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--bind", default="127.0.0.1")
    ap.add_argument("--port", type=int, default=0)
    ap.add_argument("--port-file")
    ap.add_argument("--log")
    ap.add_argument("--tls-cert")
    ap.add_argument("--tls-key")
    ap.add_argument("--max-seconds", type=float, default=120.0)
    args = ap.parse_args(argv)

    if not is_loopback_host(args.bind):
        ap.error("--bind must be a loopback address")
    if bool(args.tls_cert) != bool(args.tls_key):
        ap.error("--tls-cert and --tls-key go together")
    tls_context = None
    if args.tls_cert:
        tls_context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        tls_context.load_cert_chain(args.tls_cert, args.tls_key)

    server = FixtureServer(args.bind, args.port, tls_context, args.log)
    port = server.server_address[1]
    if args.port_file:
        write_port_file(args.port_file, port)

    def on_signal(signum, frame):
        stopping.set()

    signal.signal(signal.SIGTERM, on_signal)
    signal.signal(signal.SIGINT, on_signal)

    # Last resort: whatever else goes wrong, the process must not outlive
    # its budget by more than a moment.
    hard_stop = threading.Timer(args.max_seconds + 5, os._exit, args=(3,))
    hard_stop.daemon = True
    hard_stop.start()

    loop = threading.Thread(target=server.serve_forever, kwargs={"poll_interval": 0.2}, daemon=True)
    loop.start()
    deadline = time.monotonic() + args.max_seconds
    while not stopping.is_set() and time.monotonic() < deadline:
        stopping.wait(min(0.5, max(0.0, deadline - time.monotonic())))
    stopping.set()
    server.shutdown()
    server.server_close()
    if server.log_file:
        server.log_file.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
