#!/usr/bin/env python3
"""A real Prometheus scraping two `vantorel-uptime serve` instances.

  prometheus_test.py VANTOREL_UPTIME SOURCE_DIR

- promtool accepts the shipped rules and scrape configuration, the rules'
  own unit tests (alerts_test.yml beside this file) pass, and promtool's
  linter finds nothing in a /metrics scrape of ours;
- two instances, two stores, each with a monitor on a port the test listens
  on and one on a closed port; Prometheus (1 s scrape interval, the shipped
  alert rules loaded) returns vantorel_uptime_monitor_up for all four with
  the right values, evaluates the rules without error, and has MonitorDown
  pending or firing for exactly the two closed ones.
"""

import json
import os
import shutil
import subprocess
import sys
import time
import urllib.parse

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from integration_support import (Service, TcpListener, check, cli, enter_private_network, fail, free_port,  # noqa: E402
                                 http_get, skip, stop_all, temporary_directory)

WAIT_SECONDS = 60


def promtool(*args, stdin=None):
    done = subprocess.run(["promtool", *args], input=stdin, capture_output=True, text=True, timeout=60)
    return done.returncode, done.stdout + done.stderr


def check_shipped_files(source_dir, here):
    alerts = os.path.join(source_dir, "packaging/prometheus/alerts.yml")
    config = os.path.join(source_dir, "packaging/prometheus/prometheus.yml")
    status, out = promtool("check", "rules", alerts)
    check(status == 0, f"promtool check rules {alerts}:\n{out}")
    # The configuration names alerts.yml beside it, which promtool reads too.
    status, out = promtool("check", "config", config)
    check(status == 0, f"promtool check config {config}:\n{out}")
    with temporary_directory("vue-rules-") as work:
        shutil.copy(alerts, work)
        shutil.copy(os.path.join(here, "alerts_test.yml"), work)
        status, out = promtool("test", "rules", os.path.join(work, "alerts_test.yml"))
        check(status == 0, f"promtool test rules alerts_test.yml:\n{out}")
    print("promtool: alerts.yml and prometheus.yml valid, alert rule tests pass", flush=True)
    return alerts


def query(prometheus_url, expression):
    status, body = http_get(prometheus_url + "/api/v1/query?" + urllib.parse.urlencode({"query": expression}))
    if status != 200:
        return None
    answer = json.loads(body)
    return answer["data"]["result"] if answer.get("status") == "success" else None


def start_prometheus(work, config_path):
    """Prometheus on a free loopback port; tried again on another port if
    someone took the first one meanwhile. Returns (process, url, log path)."""
    for attempt in range(3):
        port = free_port()
        log_path = os.path.join(work, f"prometheus-{attempt}.log")
        log = open(log_path, "w")
        process = subprocess.Popen(
            ["prometheus", f"--config.file={config_path}", f"--storage.tsdb.path={work}/tsdb-{attempt}",
             f"--web.listen-address=127.0.0.1:{port}", "--log.level=warn"],
            stdout=log, stderr=subprocess.STDOUT)
        log.close()
        url = f"http://127.0.0.1:{port}"
        deadline = time.monotonic() + 30
        while time.monotonic() < deadline and process.poll() is None:
            try:
                if http_get(url + "/-/ready", timeout=2)[0] == 200:
                    return process, url, log_path
            except OSError:
                pass
            time.sleep(0.2)
        process.kill()
        process.wait()
    with open(log_path) as f:
        fail(f"prometheus did not become ready:\n{f.read()}")


def main():
    if len(sys.argv) != 3:
        fail("usage: prometheus_test.py VANTOREL_UPTIME SOURCE_DIR")
    binary, source_dir = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
    here = os.path.dirname(os.path.abspath(__file__))
    for program in ("prometheus", "promtool"):
        if shutil.which(program) is None:
            skip(f"{program} is not installed (Debian package prometheus; bash scripts/setup.sh --tests installs it)")
    enter_private_network()
    alerts = check_shipped_files(source_dir, here)

    listener = TcpListener()
    closed_port = free_port()
    services = []
    prometheus = None
    with temporary_directory("vue-prometheus-") as work:
        try:
            expected = {}  # monitor id -> (instance index, 1 up or 0 down)
            for index in range(2):
                store = os.path.join(work, f"store-{index}")
                for name, target, up in ((f"open {index}", f"127.0.0.1:{listener.port}", 1),
                                         (f"closed {index}", f"127.0.0.1:{closed_port}", 0)):
                    expected[cli(binary, store, "add", name, "tcp", target, "--interval", "5")] = (index, up)
                services.append(Service(binary, store))
            for service in services:
                service.wait_all_checked()

            # promtool lints a scrape of ours: names, units, types, help.
            for service in services:
                status, body = http_get(service.url + "/metrics")
                check(status == 200, f"GET {service.url}/metrics: {status}")
                status, out = promtool("check", "metrics", stdin=body.decode())
                check(status == 0 and not out.strip(), f"promtool check metrics:\n{out}\n--- scrape:\n{body.decode()}")
            print("promtool check metrics: no complaints", flush=True)

            targets = [s.url.removeprefix("http://") for s in services]
            config_path = os.path.join(work, "prometheus.yml")
            with open(config_path, "w") as f:
                f.write("global:\n  scrape_interval: 1s\n  evaluation_interval: 1s\n"
                        f"rule_files:\n  - {json.dumps(alerts)}\n"
                        "scrape_configs:\n  - job_name: vantorel-uptime\n    static_configs:\n"
                        f"      - targets: {json.dumps(targets)}\n")
            prometheus, prometheus_url, prometheus_log = start_prometheus(work, config_path)

            deadline = time.monotonic() + WAIT_SECONDS
            seen = {}
            while time.monotonic() < deadline:
                result = query(prometheus_url, "vantorel_uptime_monitor_up") or []
                seen = {r["metric"].get("id"): (r["metric"].get("instance"), r["value"][1]) for r in result}
                if set(seen) == set(expected):
                    break
                time.sleep(0.5)
            else:
                with open(prometheus_log) as f:
                    fail(f"after {WAIT_SECONDS} s Prometheus has vantorel_uptime_monitor_up for {seen}, "
                         f"not for every one of {sorted(expected)}\n{f.read()}")
            for monitor_id, (index, up) in expected.items():
                instance, value = seen[monitor_id]
                check(instance == targets[index], f"monitor {monitor_id} scraped from {instance}, not {targets[index]}")
                check(value == str(up), f"monitor {monitor_id}: vantorel_uptime_monitor_up is {value}, not {up}")
            print(f"Prometheus has vantorel_uptime_monitor_up for all {len(expected)} monitors of both instances",
                  flush=True)

            # The shipped rules run against our metrics: no evaluation error,
            # and MonitorDown waits (for: 2m) on exactly the closed ones.
            down_ids = {i for i, (_, up) in expected.items() if up == 0}
            alerting = set()
            while time.monotonic() < deadline:
                status, body = http_get(prometheus_url + "/api/v1/rules")
                groups = json.loads(body)["data"]["groups"] if status == 200 else []
                rules = [r for g in groups for r in g["rules"]]
                broken = [(r["name"], r.get("lastError")) for r in rules if r.get("health") not in ("ok", "unknown")]
                check(not broken, f"alert rules fail to evaluate: {broken}")
                evaluated = rules and all(r.get("health") == "ok" for r in rules)
                status, body = http_get(prometheus_url + "/api/v1/alerts")
                alerts_now = json.loads(body)["data"]["alerts"] if status == 200 else []
                alerting = {a["labels"].get("id") for a in alerts_now if a["labels"].get("alertname") == "MonitorDown"}
                if evaluated and alerting == down_ids:
                    break
                time.sleep(0.5)
            else:
                fail(f"MonitorDown is pending for {alerting}, not {down_ids}")
            print("alert rules evaluate; MonitorDown is pending for the closed monitors only", flush=True)
        finally:
            if prometheus is not None:
                prometheus.terminate()
                prometheus.wait(timeout=30)
            listener.close()
            stop_all(services)
    print("PASSED", flush=True)


if __name__ == "__main__":
    main()
