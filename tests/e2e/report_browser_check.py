"""Browser check of tallywick-report's HTML chart page (`make test-browser`): two
days of one appliance in headless Chromium, driven over the DevTools pipe. Passes
when the page logs no error (a probe page proves the listener works), every plot
area holds at least MIN_INK_PIXELS series-coloured pixels (channels differing by
more than INK_SPREAD, unlike the greys of frame, grid and text) and the CPU
hole's columns hold none. Exits 77 (skipped) without Chromium. The screenshot
goes to $TW_OUT_DIR/report-chart.png and, if set, $TW_DOCS_PNG."""

import base64
import fcntl
import json
import math
import os
import select
import shutil
import subprocess
import sys
import tempfile
import time
import zlib

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import twrun  # noqa: E402

SOURCE = os.environ.get("TW_SOURCE_DIR", os.path.join(os.path.dirname(__file__), "..", ".."))
REPORT = os.environ.get("TALLYWICK_REPORT_BIN", os.path.join(SOURCE, "build", "bin", "tallywick-report"))
OUT_DIR = os.environ.get("TW_OUT_DIR", os.path.join(SOURCE, "build", "report-browser"))
SKIP = 77

T0 = 1733529600          # 2024-12-07T00:00:00Z
SPAN = 2 * 86400 - 60    # two days of minutes
HOLE = (T0 + 30 * 3600, T0 + 32 * 3600)  # CPU samples missing in [start, end)
VIEW_WIDTH = 1000
MIN_INK_PIXELS = 5000
INK_SPREAD = 60


def build_database(path):
    seed = 12345

    def noise():
        nonlocal seed
        seed = (seed * 1103515245 + 12345) % 2 ** 31
        return seed / 2 ** 31

    cpu, rx, tx, mem = [], [], [], []
    for i in range(SPAN // 60 + 1):
        t = T0 + 60 * i
        day = math.sin(2 * math.pi * (i / 1440.0 - 0.3))
        if not HOLE[0] <= t < HOLE[1]:
            cpu.append((t, max(0.0, 35 + 25 * day + 15 * noise())))
        # KiB per millisecond, as the service stores network activity.
        rx.append((t, max(0.0, 0.8 + 0.6 * day + 0.4 * noise())))
        tx.append((t, max(0.0, 0.3 + 0.2 * day + 0.15 * noise())))
        mem.append((t, int(3_100_000 + 400_000 * (i % 480) / 480 + 20_000 * noise())))
    db = twrun.ReportDb(path)
    db.add_series("cpu.util", "cpu", "percent", 1, cpu)
    db.add_series("net.rx.activity.eth0", "network", "kb_per_sec", 1, rx, instance="eth0")
    db.add_series("net.tx.activity.eth0", "network", "kb_per_sec", 1, tx, instance="eth0")
    db.add_series("mem.util", "memory", "kb", 0, mem)
    db.close()


class DevTools:
    """The DevTools protocol over --remote-debugging-pipe: JSON messages ended
    by a NUL byte, commands on the child's fd 3, answers and events on fd 4."""

    def __init__(self, chromium, profile):
        to_child_r, self.to_child = os.pipe()
        self.from_child, from_child_w = os.pipe()

        def wire():
            # Move both ends above 3 and 4 first, so neither dup2 overwrites the other.
            r = fcntl.fcntl(to_child_r, fcntl.F_DUPFD, 10)
            w = fcntl.fcntl(from_child_w, fcntl.F_DUPFD, 10)
            os.dup2(r, 3)
            os.dup2(w, 4)

        args = [chromium, "--headless", "--disable-gpu", "--remote-debugging-pipe", "--no-first-run",
                "--no-default-browser-check", "--hide-scrollbars", "--user-data-dir=" + profile,
                "--allow-file-access-from-files", "about:blank"]
        if os.geteuid() == 0:
            args.insert(1, "--no-sandbox")  # Chromium refuses to sandbox as root
        # pass_fds keeps 3 and 4 open: the fds are closed after preexec_fn runs.
        self.proc = subprocess.Popen(args, preexec_fn=wire, pass_fds=(3, 4),
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(to_child_r)
        os.close(from_child_w)
        self.buffer = b""
        self.next_id = 0
        self.events = []

    def _until(self, match, timeout):
        """Reads messages until one matches; keeps the others as events."""
        deadline = time.monotonic() + timeout
        while True:
            while b"\0" not in self.buffer:
                left = deadline - time.monotonic()
                if left <= 0:
                    raise TimeoutError("no answer from chromium")
                if select.select([self.from_child], [], [], left)[0]:
                    chunk = os.read(self.from_child, 1 << 20)
                    if not chunk:
                        raise RuntimeError("chromium closed the pipe")
                    self.buffer += chunk
            message, self.buffer = self.buffer.split(b"\0", 1)
            m = json.loads(message)
            if match(m):
                return m
            self.events.append(m)

    def call(self, method, params=None, session=None, timeout=60):
        self.next_id += 1
        msg = {"id": self.next_id, "method": method, "params": params or {}}
        if session:
            msg["sessionId"] = session
        os.write(self.to_child, json.dumps(msg).encode() + b"\0")
        m = self._until(lambda m: m.get("id") == self.next_id, timeout)
        if "error" in m:
            raise RuntimeError("%s failed: %s" % (method, m["error"]))
        return m.get("result", {})

    def load(self, session, url):
        """Navigates and waits for the load event and a round trip after it, for late console messages."""
        self.events = [m for m in self.events if m.get("method") != "Page.loadEventFired"]
        self.call("Page.navigate", {"url": url}, session)
        self._until(lambda m: m.get("method") == "Page.loadEventFired", 60)
        self.call("Runtime.evaluate", {"expression": "1"}, session)

    def close(self):
        try:
            self.call("Browser.close", timeout=10)
            self.proc.wait(timeout=10)
        except Exception:
            self.proc.kill()
            self.proc.wait()


def read_png(path):
    """Rows of RGB triples of an 8-bit, non-interlaced RGB or RGBA PNG, the kind
    Chromium writes; raises on any other kind."""
    with open(path, "rb") as f:
        data = f.read()
    if data[:8] != b"\x89PNG\r\n\x1a\n":
        raise ValueError(path + " is not a PNG")
    pos, chunks = 8, {}
    while pos < len(data):
        length, kind = int.from_bytes(data[pos:pos + 4], "big"), data[pos + 4:pos + 8]
        chunks[kind] = chunks.get(kind, b"") + data[pos + 8:pos + 8 + length]
        pos += 12 + length
    header = chunks[b"IHDR"]
    width, height = int.from_bytes(header[0:4], "big"), int.from_bytes(header[4:8], "big")
    if header[8] != 8 or header[9] not in (2, 6) or header[12] != 0:
        raise ValueError("%s: unsupported PNG (depth %d, colour type %d, interlace %d)" % (path, *header[8:10], header[12]))
    n = 3 if header[9] == 2 else 4
    stride = width * n
    raw = zlib.decompress(chunks[b"IDAT"])
    rows, previous = [], bytearray(stride)
    for y in range(height):
        kind, line = raw[y * (stride + 1)], bytearray(raw[y * (stride + 1) + 1:(y + 1) * (stride + 1)])
        if kind > 4:
            raise ValueError("%s: bad filter type %d in row %d" % (path, kind, y))
        for i in range(stride):
            a, b, c = line[i - n] if i >= n else 0, previous[i], previous[i - n] if i >= n else 0
            pa, pb, pc = abs(b - c), abs(a - c), abs(a + b - 2 * c)
            paeth = a if pa <= pb and pa <= pc else b if pb <= pc else c
            line[i] = (line[i] + (0, a, b, (a + b) // 2, paeth)[kind]) & 0xFF
        rows.append([tuple(line[x:x + 3]) for x in range(0, stride, n)])
        previous = line
    return rows


def errors_in(events):
    """Console errors, uncaught exceptions and failed loads among events."""
    found = []
    for m in events:
        method, p = m.get("method"), m.get("params", {})
        if method == "Runtime.consoleAPICalled" and p.get("type") in ("error", "assert"):
            found.append("console.%s: %s" % (p["type"], [a.get("value") for a in p.get("args", [])]))
        elif method == "Runtime.exceptionThrown":
            found.append("exception: %s" % p.get("exceptionDetails", {}).get("text"))
        elif method == "Log.entryAdded" and p.get("entry", {}).get("level") == "error":
            found.append("log: %s" % p["entry"].get("text"))
    return found


def main():
    chromium = shutil.which("chromium") or shutil.which("chromium-browser")
    if not chromium:
        print("SKIP: chromium is not installed; `make test-browser` installs it and runs this check")
        return SKIP
    os.makedirs(OUT_DIR, exist_ok=True)
    work = tempfile.mkdtemp(prefix="tw_report_browser_")
    try:
        build_database(os.path.join(work, "tallywick.db"))
        page = os.path.join(OUT_DIR, "report-chart.html")
        # Run beside the database so the page names it without the temporary path.
        subprocess.run([REPORT, "--db", "tallywick.db", "chart", "cpu.util", "net.rx.activity.eth0", "net.tx.activity.eth0",
                        "mem.util", "--since", str(T0), "--until", str(T0 + SPAN), "--width", "960",
                        "--title", "tallywick: two days of one appliance", "--out", page], check=True, cwd=work)
        dev = DevTools(chromium, os.path.join(work, "profile"))
        try:
            target = dev.call("Target.createTarget", {"url": "about:blank"})["targetId"]
            session = dev.call("Target.attachToTarget", {"targetId": target, "flatten": True})["sessionId"]
            for domain in ("Page", "Runtime", "Log"):
                dev.call(domain + ".enable", session=session)
            dev.call("Emulation.setDeviceMetricsOverride",
                     {"width": VIEW_WIDTH, "height": 800, "deviceScaleFactor": 1, "mobile": False}, session)
            dev.load(session, "data:text/html,<script>console.error('probe')</script>")
            probe = errors_in(dev.events)
            if len(probe) != 1:
                print("FAIL: the console listener saw %r on the probe page, expected one error" % probe)
                return 1
            dev.events = []
            dev.load(session, "file://" + os.path.abspath(page))
            errors = errors_in(dev.events)
            geometry = json.loads(dev.call("Runtime.evaluate", {"returnByValue": True, "expression": (
                "JSON.stringify({height: document.documentElement.scrollHeight,"
                " plots: [...document.querySelectorAll('rect.plot-area')].map(r => {"
                " const b = r.getBoundingClientRect(); return [b.left, b.top, b.width, b.height]; })})")},
                session)["result"]["value"])
            shot = dev.call("Page.captureScreenshot", {"format": "png", "captureBeyondViewport": True, "clip": {
                "x": 0, "y": 0, "width": VIEW_WIDTH, "height": geometry["height"], "scale": 1}}, session)
        finally:
            dev.close()
        png = os.path.join(OUT_DIR, "report-chart.png")
        with open(png, "wb") as f:
            f.write(base64.b64decode(shot["data"]))
        if os.environ.get("TW_DOCS_PNG"):
            shutil.copyfile(png, os.environ["TW_DOCS_PNG"])
        rows = read_png(png)

        def ink(x0, x1, y0, y1):
            return sum(max(rows[y][x]) - min(rows[y][x]) > INK_SPREAD
                       for y in range(int(y0), int(y1)) for x in range(int(x0), int(x1)))

        failures = ["page error: " + e for e in errors]
        plots = geometry["plots"]
        if len(plots) != 3:
            failures.append("expected 3 plot areas (%%, KiB/ms, KiB), found %d" % len(plots))
        # Two pixels in from the frame, which is grey anyway.
        counts = [ink(left + 2, left + width - 2, top + 2, top + height - 2) for left, top, width, height in plots]
        failures += ["plot area %d holds %d series pixels, fewer than %d" % (i, n, MIN_INK_PIXELS)
                     for i, n in enumerate(counts) if n < MIN_INK_PIXELS]
        if plots:
            left, top, width, height = plots[0]
            # The hole's columns, a pixel in from each side for the round line caps.
            x0 = left + (HOLE[0] - T0) * width / SPAN + 3
            x1 = left + (HOLE[1] - 60 - T0) * width / SPAN - 3
            hole = ink(x0, x1, top + 2, top + height - 2)
            if hole:
                failures.append("the CPU gap (x %.0f..%.0f) holds %d series pixels" % (x0, x1, hole))
        print("plot-area series pixels: %s (at least %d each); console errors: %d; screenshot %s"
              % (counts, MIN_INK_PIXELS, len(errors), png))
        for f in failures:
            print("FAIL: " + f)
        return 1 if failures else 0
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
