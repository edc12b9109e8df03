#!/usr/bin/env python3
"""Checks http_fixture.py and make_certs.sh on loopback with curl and http.client.

Run by hand: python3 tests/servers/selfcheck.py   (about 20 s; exits non-zero on a failure)
"""

import http.client
import json
import os
import signal
import socket
import ssl
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
FIXTURE = os.path.join(HERE, "http_fixture.py")
failures = []


def check(cond, what):
    print(("ok   " if cond else "FAIL ") + what)
    if not cond:
        failures.append(what)


def start(tmp, name, bind, cert=None, max_seconds=60):
    port_file = os.path.join(tmp, name + ".port")
    log = os.path.join(tmp, name + ".log")
    cmd = [sys.executable, FIXTURE, "--bind", bind, "--port-file", port_file,
           "--log", log, "--max-seconds", str(max_seconds)]
    if cert:
        cmd += ["--tls-cert", os.path.join(tmp, cert + ".pem"), "--tls-key", os.path.join(tmp, cert + ".key")]
    proc = subprocess.Popen(cmd)
    for _ in range(100):
        if os.path.exists(port_file):
            return proc, int(open(port_file).read()), log
        time.sleep(0.05)
    proc.kill()
    raise RuntimeError("fixture did not start: %s" % cmd)


def log_lines(log):
    with open(log) as f:
        return [json.loads(line) for line in f]


def curl(*args):
    r = subprocess.run(["curl", "-sS", "-o", "/dev/null", "-w", "%{http_code} %{redirect_url}"] + list(args),
                       capture_output=True, text=True, timeout=20)
    return r.returncode, r.stdout


def conn(host, port, tls_ca=None, timeout=5):
    if tls_ca:
        ctx = ssl.create_default_context(cafile=tls_ca)
        return http.client.HTTPSConnection(host, port, timeout=timeout, context=ctx)
    return http.client.HTTPConnection(host, port, timeout=timeout)


def py_get(host, port, target, tls_ca=None, method="GET", body=None, headers=None):
    c = conn(host, port, tls_ca)
    c.request(method, target, body=body, headers=headers or {})
    r = c.getresponse()
    r.read()
    c.close()
    return r.status, r.getheader("Location")


ROUTES = [  # target, status, Location (None: none expected)
    ("/status/204", 204, None), ("/status/404?x=1", 404, None), ("/status/599", 599, None),
    ("/status/999", 999, None), ("/redirect/301/a/b?q=1", 301, "/a/b"),
    ("/redirect/307/status/200", 307, "/status/200"), ("/loop", 302, "/loop"),
    ("/slow/200/status/503", 503, None), ("/anything/else?z", 200, None), ("/status/abc", 400, None),
]


def check_server(tmp, bind, cert):
    scheme = "https" if cert else "http"
    ca = os.path.join(tmp, cert + ".pem") if cert else None
    host = "[%s]" % bind if ":" in bind else bind
    name = "%s-%s" % (scheme, bind.replace(":", "_"))
    proc, port, log = start(tmp, name, bind, cert)
    plain, plain_port, _ = start(tmp, name + "-target", bind)
    tag = "%s://%s" % (scheme, host)
    try:
        for target, status, loc in ROUTES:
            got = py_get(bind, port, target, ca)
            check(got == (status, loc), "%s %s http.client -> %s" % (tag, target, got))
            rc, out = curl("--cacert", ca, "%s:%d%s" % (tag, port, target)) if ca else \
                curl("%s:%d%s" % (tag, port, target))
            want = "%d %s" % (status, "%s:%d%s" % (tag, port, loc) if loc else "")
            check(rc == 0 and out.strip() == want.strip(), "%s %s curl -> rc=%d %s" % (tag, target, rc, out))
        got = py_get(bind, port, "/to/http/%d/status/201" % plain_port, ca)
        check(got == (302, "http://%s:%d/status/201" % (host, plain_port)), "%s /to -> %s" % (tag, got))
        extra = ["--cacert", ca] if ca else []
        rc, out = curl("-L", *extra, "%s:%d/to/http/%d/status/201" % (tag, port, plain_port))
        check(rc == 0 and out.startswith("201"), "%s /to followed with curl -> %s" % (tag, out))
        rc, out = curl("-L", "--max-redirs", "5", *extra, "%s:%d/loop" % (tag, port))
        check(rc == 47, "%s /loop exceeds curl's redirect limit (rc=%d)" % (tag, rc))
        got = py_get(bind, port, "/status/500", ca, "POST", b'{"event":"status_change"}',
                     {"Content-Type": "application/json", "X-Mixed-Case": "v"})
        check(got == (500, None), "%s POST /status/500 -> %s" % (tag, got))
        got = py_get(bind, port, "/chunked", ca, "POST", iter([b"ab", b"cd"]))
        check(got == (200, None), "%s chunked POST -> %s" % (tag, got))
        got = py_get(bind, port, "/status/200", ca, "HEAD")
        check(got == (200, None), "%s HEAD -> %s" % (tag, got))
        # The request-target must be logged as sent, not normalised.
        c = conn(bind, port, ca)
        c.putrequest("GET", "//double/slash?b=%20c", skip_host=False)
        c.endheaders()
        check(c.getresponse().status == 200, "%s //double/slash answered" % tag)
        c.close()

        t0 = time.monotonic()
        rc, _ = curl("--max-time", "2", *extra, "%s:%d/silent" % (tag, port))
        check(rc == 28 and time.monotonic() - t0 >= 1.9, "%s /silent: curl timed out (rc=%d)" % (tag, rc))
        try:
            c = conn(bind, port, ca, timeout=1.5)
            c.request("POST", "/silent", body=b"x")
            c.getresponse()
            check(False, "%s /silent answered http.client" % tag)
        except socket.timeout:
            check(True, "%s /silent: http.client timed out" % tag)

        entries = log_lines(log)
        by_target = {e["target"]: e for e in entries}
        check("/status/404?x=1" in by_target and by_target["/status/404?x=1"]["path"] == "/status/404",
              "%s log keeps query in target only" % tag)
        post = [e for e in entries if e["method"] == "POST" and e["path"] == "/status/500"]
        check(len(post) == 1 and post[0]["body"] == '{"event":"status_change"}'
              and post[0]["headers"].get("content-type") == "application/json"
              and post[0]["headers"].get("x-mixed-case") == "v" and post[0]["version"] == "HTTP/1.1",
              "%s log of webhook POST: %s" % (tag, post[:1]))
        chunked = [e for e in entries if e["path"] == "/chunked"]
        check(chunked and chunked[0]["body"] == "abcd", "%s chunked body logged" % tag)
        check("//double/slash?b=%20c" in by_target, "%s raw target logged" % tag)
        check(any(e["method"] == "HEAD" for e in entries), "%s HEAD logged" % tag)
    finally:
        for p in (proc, plain):
            p.send_signal(signal.SIGTERM)
            check(p.wait(timeout=5) == 0, "%s stopped on SIGTERM" % name)


def check_cert_faults(tmp):
    for cert, words in (("expired", "expired"), ("wrongname", "match"), ("clientonly", "purpose")):
        proc, port, _ = start(tmp, cert, "127.0.0.1", cert)
        ca = os.path.join(tmp, cert + ".pem")
        try:
            rc, _ = curl("--cacert", ca, "https://localhost:%d/" % port)
            check(rc == 60, "%s: curl refuses (rc=%d)" % (cert, rc))
            try:
                py_get("localhost", port, "/", ca)
                check(False, "%s: http.client accepted it" % cert)
            except ssl.SSLCertVerificationError as e:
                check(words in str(e), "%s: http.client refuses: %s" % (cert, e.verify_message))
            rc, out = curl("-k", "https://localhost:%d/status/200" % port)
            check(rc == 0 and out.startswith("200"), "%s: served when not verified" % cert)
        finally:
            proc.send_signal(signal.SIGINT)
            check(proc.wait(timeout=5) == 0, "%s stopped on SIGINT" % cert)


def main():
    with tempfile.TemporaryDirectory() as tmp:
        subprocess.run(["bash", os.path.join(HERE, "make_certs.sh"), tmp], check=True)
        subprocess.run(["bash", os.path.join(HERE, "make_certs.sh"), tmp], check=True)  # idempotent
        dates = subprocess.run(["openssl", "x509", "-noout", "-enddate", "-in", os.path.join(tmp, "expired.pem")],
                               capture_output=True, text=True).stdout
        check("2021" in dates, "expired.pem: " + dates.strip())
        for bind in ("127.0.0.1", "::1"):
            for cert in (None, "selfsigned"):
                check_server(tmp, bind, cert)
        check_cert_faults(tmp)
        proc, port, _ = start(tmp, "short", "127.0.0.1", max_seconds=2)
        t0 = time.monotonic()
        rc = proc.wait(timeout=10)
        check(rc == 0 and time.monotonic() - t0 < 4, "--max-seconds 2 ended the process (rc=%d)" % rc)
    print("%d failure(s)" % len(failures))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
