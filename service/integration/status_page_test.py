#!/usr/bin/env python3
"""The status page as headless Chromium renders it.

  status_page_test.py VANTOREL_UPTIME ARTIFACT_DIR

A store with monitors up and down, one whose name needs HTML escaping, and
a history recorded over past days; `serve` checks them, then Chromium loads
the page from it:
- the DOM holds one row (data-monitor-id) per monitor of the API's list,
  each with its name as plain text (no markup let through), its status in
  words, the reason when down, and 90 daily bars titled "YYYY-MM-DD: P% up"
  or "YYYY-MM-DD: no data", the recorded days with their own figures;
- screenshots in the light and in the dark colour scheme, and one at a
  phone's width, are kept in ARTIFACT_DIR (status_page_light.png,
  status_page_dark.png, status_page_narrow.png) for people to look at; the
  test checks that each is a PNG of the window's size whose background is
  light, respectively dark.
"""

import datetime
import html.parser
import os
import re
import shutil
import struct
import subprocess
import sys
import time
import zlib

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from integration_support import (Service, TcpListener, check, cli, enter_private_network, fail, free_port,  # noqa: E402
                                 in_private_network, skip, stop_all, temporary_directory)

WINDOW = (1200, 1100)
PHONE = (375, 900)
# A name that is markup, an entity and quotes if the page let it through.
TRICKY_NAME = 'Shop <b>bold</b> & "quoted" \'x\' &amp;'
BAR_TITLE = re.compile(r"^(\d{4}-\d{2}-\d{2}): (\d+\.\d\d% up|no data)$")


def chromium_binary():
    for name in ("chromium", "chromium-browser", "google-chrome"):
        if shutil.which(name):
            return name
    return None


def run_chromium(browser, profile, *args, window=WINDOW):
    """Chromium with nothing of its own on the network: no background
    services, no name lookups (loopback is reached by address), a fresh
    profile. Root needs --no-sandbox."""
    command = [browser, "--headless", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
               f"--user-data-dir={profile}", "--no-first-run", "--no-default-browser-check",
               "--disable-background-networking", "--disable-component-update", "--disable-sync",
               "--disable-default-apps", "--disable-extensions", "--disable-domain-reliability",
               "--disable-client-side-phishing-detection", "--no-pings", "--metrics-recording-only",
               "--host-resolver-rules=MAP * ~NOTFOUND , EXCLUDE 127.0.0.1", "--hide-scrollbars",
               f"--window-size={window[0]},{window[1]}", *args]
    done = subprocess.run(command, capture_output=True, timeout=120)
    check(done.returncode == 0, f"chromium {' '.join(args)}: status {done.returncode}\n{done.stderr.decode()[-3000:]}")
    return done.stdout.decode()


class PageReader(html.parser.HTMLParser):
    """The rows of the page: per article, its id, name text, status text,
    reason text, bar titles, and any element found inside the name."""

    def __init__(self):
        super().__init__()
        self.rows = []
        self.stack = []  # (tag, role) of the open elements inside a row
        self.row = None

    def handle_starttag(self, tag, attrs):
        attrs = dict(attrs)
        classes = (attrs.get("class") or "").split()
        if tag == "article" and "data-monitor-id" in attrs:
            self.row = {"id": attrs["data-monitor-id"], "classes": classes, "name": "", "status": "", "reason": "",
                        "bars": [], "markup_in_name": []}
            self.rows.append(self.row)
            self.stack = []
            return
        if self.row is None:
            return
        role = None
        if "name" in classes:
            role = "name"
        elif "status" in classes:
            role = "status"
        elif "reason" in classes:
            role = "reason"
        elif tag == "span" and "day" in classes:
            self.row["bars"].append((attrs.get("title"), classes))
        if any(r == "name" for _, r in self.stack):
            self.row["markup_in_name"].append(tag)
        if tag not in ("br", "img", "meta", "link", "input", "hr", "wbr"):
            self.stack.append((tag, role))

    def handle_endtag(self, tag):
        if self.row is None:
            return
        if tag == "article" and not self.stack:
            self.row = None
            return
        while self.stack:
            if self.stack.pop()[0] == tag:
                break

    def handle_data(self, data):
        if self.row is None:
            return
        for _, role in reversed(self.stack):
            if role:
                self.row[role] += data
                break


def png_corner_pixel(path):
    """Size and top-left pixel (r, g, b) of a PNG, read with zlib only. Every
    row filter leaves the first pixel of the first row as it is stored:
    there is nothing to its left or above."""
    with open(path, "rb") as f:
        data = f.read()
    check(data[:8] == b"\x89PNG\r\n\x1a\n", f"{path} is not a PNG")
    at, idat, width, height = 8, b"", 0, 0
    while at < len(data):
        length, kind = struct.unpack(">I4s", data[at:at + 8])
        body = data[at + 8:at + 8 + length]
        if kind == b"IHDR":
            width, height, depth, colour = struct.unpack(">IIBB", body[:10])
            check(depth == 8 and colour in (2, 6), f"{path}: colour type {colour}, depth {depth} not expected")
        elif kind == b"IDAT":
            idat += body
        at += 12 + length
    raw = zlib.decompressobj().decompress(idat, 1 + 3)
    r, g, b = raw[1], raw[2], raw[3]
    return (width, height), (r, g, b)


def brightness(rgb):
    r, g, b = rgb
    return 0.2126 * r + 0.7152 * g + 0.0722 * b


def main():
    if len(sys.argv) != 3:
        fail("usage: status_page_test.py VANTOREL_UPTIME ARTIFACT_DIR")
    binary, artifacts = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
    browser = chromium_binary()
    if browser is None:
        skip("chromium is not installed (Debian package chromium; bash scripts/setup.sh --tests installs it)")
    enter_private_network()
    if not in_private_network():
        print("note: not root, so no private network; Chromium runs with its network services off", flush=True)
    os.makedirs(artifacts, exist_ok=True)

    listener = TcpListener()
    closed_port = free_port()
    with temporary_directory("vue-page-") as work:
        store = os.path.join(work, "store")
        names = {}
        expected_status = {}
        for name, target, status in ((TRICKY_NAME, f"127.0.0.1:{listener.port}", "UP"),
                                     ("Database", f"127.0.0.1:{closed_port}", "DOWN"),
                                     ("Mail relay", f"127.0.0.1:{listener.port}", "UP"),
                                     ("Backup (nightly)", f"127.0.0.1:{closed_port}", "DOWN")):
            monitor_id = cli(binary, store, "add", name, "tcp", target, "--interval", "30")
            names[monitor_id] = name
            expected_status[monitor_id] = status
        shop = next(i for i, n in names.items() if n == TRICKY_NAME)
        backup = next(i for i, n in names.items() if n == "Backup (nightly)")

        # History over past days: the shop up every day of the last 40 but
        # one day at 3 of 4 up; the backup 2 of 3 up 3 days ago.
        now = int(time.time())
        today = now // 86400
        expected_titles = {}
        for days_ago in range(1, 41):
            moment = (today - days_ago) * 86400 + 12 * 3600
            results = ["up", "up", "up", "down"] if days_ago == 7 else ["up"]
            for n, result in enumerate(results):
                cli(binary, store, "record", shop, result, "12", str(moment + n * 60))
            day = datetime.datetime.fromtimestamp(moment, datetime.UTC).strftime("%Y-%m-%d")
            expected_titles[(shop, day)] = f"{day}: {'75.00' if days_ago == 7 else '100.00'}% up"
        moment = (today - 3) * 86400 + 6 * 3600
        for n, result in enumerate(["up", "down", "up"]):
            cli(binary, store, "record", backup, result, "40", str(moment + n * 60))
        day = datetime.datetime.fromtimestamp(moment, datetime.UTC).strftime("%Y-%m-%d")
        # Rounded down, as everywhere: a day with a failure never reads 100.00%.
        expected_titles[(backup, day)] = f"{day}: 66.66% up"
        expected_titles[(backup, (datetime.datetime.fromtimestamp(moment, datetime.UTC) -
                                  datetime.timedelta(days=1)).strftime("%Y-%m-%d"))] = None  # no data

        service = Service(binary, store)
        try:
            monitors = service.wait_all_checked()
            check({m["id"] for m in monitors} == set(names), f"the API lists {monitors}, not {names}")
            with temporary_directory("vue-chromium-") as profile:
                dom = run_chromium(browser, profile, "--dump-dom", service.url + "/")
            light_scheme = ["--blink-settings=preferredColorScheme=1"]
            dark_scheme = ["--blink-settings=preferredColorScheme=0", "--force-dark-mode"]
            screenshots = [(os.path.join(artifacts, name), scheme, window) for name, scheme, window in (
                ("status_page_light.png", light_scheme, WINDOW),
                ("status_page_dark.png", dark_scheme, WINDOW),
                ("status_page_narrow.png", light_scheme, PHONE))]
            for path, scheme, window in screenshots:
                if os.path.exists(path):
                    os.unlink(path)
                with temporary_directory("vue-chromium-") as profile:
                    run_chromium(browser, profile, *scheme, f"--screenshot={path}", service.url + "/", window=window)
                check(os.path.exists(path), f"chromium wrote no screenshot {path}")
        finally:
            listener.close()
            stop_all([service])

    reader = PageReader()
    reader.feed(dom)
    rows = {row["id"]: row for row in reader.rows}
    check(len(reader.rows) == len(names) and set(rows) == set(names),
          f"rows for {[r['id'] for r in reader.rows]}, not one for each of {sorted(names)}")
    for monitor_id, row in rows.items():
        where = f"row of {names[monitor_id]!r}"
        check(row["name"].strip() == names[monitor_id], f"{where}: name shown as {row['name']!r}")
        check(not row["markup_in_name"], f"{where}: elements {row['markup_in_name']} inside the name")
        check(row["status"].strip() == expected_status[monitor_id], f"{where}: status {row['status']!r}")
        check(expected_status[monitor_id].lower() in row["classes"], f"{where}: classes {row['classes']}")
        if expected_status[monitor_id] == "DOWN":
            check("connection refused" in row["reason"], f"{where}: reason {row['reason']!r}")
        else:
            check(row["reason"] == "", f"{where}: a reason {row['reason']!r} while up")
        check(len(row["bars"]) == 90, f"{where}: {len(row['bars'])} daily bars, not 90")
        days = []
        for title, classes in row["bars"]:
            match = BAR_TITLE.match(title or "")
            check(match is not None, f"{where}: bar title {title!r}")
            days.append(match.group(1))
            if match.group(2) == "no data":
                check(classes == ["day"], f"{where}: bar {title!r} coloured {classes}")
        check(days == sorted(days) and len(set(days)) == 90, f"{where}: bars not 90 days in order: {days}")
        last_day = datetime.datetime.fromtimestamp(now, datetime.UTC).strftime("%Y-%m-%d")
        check(days[-1] in (last_day, (datetime.datetime.fromtimestamp(now + 120, datetime.UTC)).strftime("%Y-%m-%d")),
              f"{where}: the newest bar is {days[-1]}, not today {last_day}")
    for (monitor_id, day), title in expected_titles.items():
        titles = {t.split(":")[0]: t for t, _ in rows[monitor_id]["bars"]}
        want = title if title is not None else f"{day}: no data"
        check(titles.get(day) == want, f"{names[monitor_id]!r} on {day}: bar {titles.get(day)!r}, not {want!r}")
    print(f"DOM: {len(rows)} rows, each with 90 titled daily bars; the name with markup shown as text", flush=True)

    for path, scheme, window in screenshots:
        want_dark = scheme is dark_scheme
        size, corner = png_corner_pixel(path)
        check(size == window, f"{path}: {size}, not {window}")
        level = brightness(corner)
        check(level < 80 if want_dark else level > 200, f"{path}: background {corner} is not {'dark' if want_dark else 'light'}")
        print(f"screenshot: {path}", flush=True)
    print("PASSED", flush=True)


if __name__ == "__main__":
    main()
