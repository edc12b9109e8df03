"""What the service's integration tests share: a private network, loopback
targets, and `vantorel-uptime serve` instances started and stopped by the test.

Python 3.11 standard library only. A test that lacks an outside program
(prometheus, chromium) exits with SKIP_STATUS after saying why; CTest counts
that as skipped.
"""

import json
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import urllib.request

SKIP_STATUS = 77


def skip(reason):
    print(f"SKIPPED: {reason}", flush=True)
    sys.exit(SKIP_STATUS)


def fail(message):
    print(f"FAILED: {message}", flush=True)
    sys.exit(1)


def check(condition, message):
    if not condition:
        fail(message)


def enter_private_network():
    """As root, runs the rest of the test again in a network namespace of its
    own with only loopback, so that nothing the test starts (a browser above
    all) can reach beyond this machine, not even a name server. Elsewhere the
    test goes on as it is: it talks only to loopback itself."""
    if os.environ.get("VUE_INTEGRATION_NETNS") or os.geteuid() != 0 or not shutil.which("unshare"):
        return
    if subprocess.run(["unshare", "--net", "true"], stderr=subprocess.DEVNULL).returncode != 0:
        return
    os.environ["VUE_INTEGRATION_NETNS"] = "1"
    os.execvp("unshare", ["unshare", "--net", "--", "sh", "-c", 'ip link set lo up && exec "$@"', "sh",
                          sys.executable, *sys.argv])


def in_private_network():
    return bool(os.environ.get("VUE_INTEGRATION_NETNS"))


def free_port():
    """A port nothing listens on: bound once to learn a free number, then closed."""
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class TcpListener:
    """A loopback port that accepts every connection and closes it: what a
    TCP monitor finds up."""

    def __init__(self):
        self.sock = socket.socket()
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.sock.bind(("127.0.0.1", 0))
        self.sock.listen(512)
        self.port = self.sock.getsockname()[1]
        self.thread = threading.Thread(target=self._serve, daemon=True)
        self.thread.start()

    def _serve(self):
        while True:
            try:
                conn, _ = self.sock.accept()
            except OSError:
                return
            conn.close()

    def close(self):
        # shutdown wakes the thread blocked in accept.
        try:
            self.sock.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass
        self.sock.close()


def http_get(url, timeout=10):
    """Status and body of a GET."""
    try:
        with urllib.request.urlopen(url, timeout=timeout) as response:
            return response.status, response.read()
    except urllib.error.HTTPError as e:
        return e.code, e.read()


def cli(binary, store, *args):
    """Runs the command line on a store; its stdout, stripped."""
    done = subprocess.run([binary, "--dir", store, "--color", "never", *args], capture_output=True, text=True,
                          timeout=60)
    check(done.returncode == 0, f"vantorel-uptime {' '.join(args)}: status {done.returncode}: {done.stderr}")
    return done.stdout.strip()


class Service:
    """One `vantorel-uptime serve` on a free loopback port; its URL is read
    from the file it writes in the store."""

    def __init__(self, binary, store, extra=()):
        self.store = store
        self.log_path = os.path.join(store, "serve-test.log")
        os.makedirs(store, exist_ok=True)
        self.log = open(self.log_path, "w")
        self.process = subprocess.Popen([binary, "--dir", store, "serve", "--listen", "127.0.0.1:0", *extra],
                                        stdout=self.log, stderr=subprocess.STDOUT)
        self.url = None
        self.started = time.time()
        deadline = time.monotonic() + 30
        while time.monotonic() < deadline:
            if self.process.poll() is not None:
                fail(f"serve on {store} ended with status {self.process.returncode}:\n{self.log_text()}")
            try:
                with open(os.path.join(store, "service.json")) as f:
                    info = json.load(f)
                if info.get("pid") == self.process.pid:
                    self.url = info["url"]
                    break
            except (OSError, ValueError):
                pass
            time.sleep(0.05)
        if self.url is None:
            self.process.kill()
            self.process.wait()
            fail(f"serve on {store} wrote no service.json within 30 s:\n{self.log_text()}")

    def log_text(self):
        self.log.flush()
        with open(self.log_path) as f:
            return f.read()

    def monitors(self):
        status, body = http_get(self.url + "/api/v1/monitors")
        check(status == 200, f"GET /api/v1/monitors: {status}")
        return json.loads(body)

    def wait_all_checked(self, seconds=60):
        """Waits until the service has checked every monitor once."""
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            monitors = self.monitors()
            # Whole seconds: a check in the start's second counts.
            if all(m["status"] != 2 and m["last_check"] >= int(self.started) for m in monitors):
                return monitors
            time.sleep(0.2)
        fail(f"monitors of {self.store} still pending after {seconds} s: {self.monitors()}")

    def stop(self):
        """SIGTERM, as systemd stops it: a clean stop is status 0."""
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            try:
                self.process.wait(timeout=30)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
                fail(f"serve on {self.store} did not stop within 30 s of SIGTERM:\n{self.log_text()}")
        check(self.process.returncode == 0,
              f"serve on {self.store} stopped with status {self.process.returncode}:\n{self.log_text()}")
        self.log.close()


def stop_all(services):
    """Stops every service, even when stopping one of them fails; then fails
    if any did not stop cleanly. A test never leaves a service running."""
    failed = None
    for service in services:
        try:
            service.stop()
        except BaseException as e:  # check() exits through SystemExit
            failed = failed or e
            if service.process.poll() is None:
                service.process.kill()
                service.process.wait()
    if failed is not None:
        raise failed


def temporary_directory(prefix):
    return tempfile.TemporaryDirectory(prefix=prefix)
