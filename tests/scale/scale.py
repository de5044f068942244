#!/usr/bin/env python3
"""Scale runs of the built service, in network and mount namespaces of its own.

1. Interfaces: 10, 100 and 1,000 network interfaces (veth pairs, names with
   dots, dashes and a double quote); for each count the service samples once a
   second and we measure CPU time per pass and resident memory; at 1,000 every
   interface must have its four stored series with rows, and interfaces removed
   and added while it runs must stop and start being stored.
2. Storage: a tree of 100,000 files walked by the storage collection, its CPU
   per pass against `du -sb --apparent-size` on the same tree, and the stored
   size against du's.

Results go to the scale section of docs/performance.md. Exits 1 when a check
fails; prints the reason and exits 0 when namespaces cannot be made here.
"""
import argparse
import os
import re
import resource
import shutil
import sqlite3
import subprocess
import sys
import tempfile
import time

SELF = os.path.abspath(__file__)
sys.path.insert(0, os.path.join(os.path.dirname(SELF), "..", "..", "bench", "compare"))
import compare  # noqa: E402
GUARD = 300  # seconds: a guard against hangs, never a measure
NET_STATS = ("net.rx.activity", "net.tx.activity", "net.rx.packetRate", "net.tx.packetRate")
failures = []


def check(ok, what):
    if not ok:
        failures.append(what)
        print("FAIL: " + what, file=sys.stderr)


def cpu_ns(pid):
    """The process's CPU time: the per-thread schedstat sum (ns), or
    utime+stime (clock ticks) when that is larger."""
    return max(compare.cpu_ns(pid))


def status_kib(pid, key):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith(key + ":"):
                return int(line.split()[1])
    return 0


def config(work, net_period, storage_period, dirs=""):
    return f"""<?xml version="1.0"?>
<config>
  <log><directory>{work}</directory><name>tallywick</name><level>warning</level></log>
  <tallywick>
    <persistence><engine>sqlite</engine><locator>{work}/tw.db</locator><statTtlSec>86400</statTtlSec></persistence>
    <cpuMemNetSamplingPeriodSec>{net_period}</cpuMemNetSamplingPeriodSec>
    <storageSizeSamplingPeriodSec>{storage_period}</storageSizeSamplingPeriodSec>
    <health_status_file>{work}/health.xml</health_status_file>
    <storageSizeProvider>
      <filesystems><root><path>/</path><name>root</name></root></filesystems>
      <dirs>{dirs}</dirs>
    </storageSizeProvider>
  </tallywick>
</config>
"""


class Service:
    """The built service running on a configuration in work."""

    def __init__(self, binary, work, text):
        self.work = work
        os.makedirs(work, exist_ok=True)
        path = os.path.join(work, "tw.xml")
        with open(path, "w") as f:
            f.write(text)
        self.proc = subprocess.Popen([binary, path], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def db(self):
        c = sqlite3.connect(f"file:{self.work}/tw.db?mode=ro", uri=True, timeout=30)
        return c

    def series(self):
        """stored series name -> its table."""
        try:
            with self.db() as c:
                return dict(c.execute("SELECT stat_id, stat_table_name FROM sm_stats_metadata"))
        except sqlite3.Error:
            return {}

    def rows(self, series, since=0):
        table = self.series().get(series)
        if table is None:
            return 0
        with self.db() as c:
            q = 'SELECT count(*) FROM "%s" WHERE sm_timestamp >= ?' % table.replace('"', '""')
            return c.execute(q, (since,)).fetchone()[0]

    def wait_rows(self, series, count, since=0):
        deadline = time.monotonic() + GUARD
        while time.monotonic() < deadline:
            check(self.proc.poll() is None, f"service exited ({self.proc.returncode}) in {self.work}")
            if self.proc.poll() is not None:
                return False
            try:
                if self.rows(series, since) >= count:
                    return True
            except sqlite3.Error:
                pass
            time.sleep(0.2)
        check(False, f"no {count} rows of {series} within {GUARD} s")
        return False

    def stop(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(60)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()


def ip(*args, batch=None):
    subprocess.run(["ip"] + (["-batch", "-"] if batch is not None else list(args)), input=batch, text=True,
                   check=True, stdout=subprocess.DEVNULL)


def interfaces():
    with open("/proc/net/dev") as f:
        return [line.split(":", 1)[0].strip() for line in f.readlines()[2:]]


class Pairs:
    """veth pairs named in turn with a dot, with dashes and plainly; the first
    pair's one end carries a double quote (made on its own: ip's batch mode
    would take the quote as quoting)."""

    def __init__(self):
        self.made = 0
        self.ends = []  # first end of every pair, in order

    def names(self, i):
        style = i % 3
        if style == 0:
            return f"br.{i}", f"br.{i}p"
        if style == 1:
            return f"v-{i}-a", f"v-{i}-b"
        return f"ve{i}", f"ve{i}p"

    def add(self, n):
        lines = []
        for _ in range(n):
            a, b = self.names(self.made)
            if self.made == 0:
                a = 'q"0'
                ip("link", "add", a, "type", "veth", "peer", "name", b)
            else:
                lines.append(f"link add {a} type veth peer name {b}")
            self.ends.append(a)
            self.made += 1
        if lines:
            ip(batch="\n".join(lines) + "\n")

    def remove(self, names):
        ip(batch="".join(f"link del {n}\n" for n in names))
        self.ends = [e for e in self.ends if e not in names]


def measure_interfaces(args, base, pairs, target, seconds):
    """Runs the service with `target` interfaces; returns (interfaces, ms CPU per pass, RSS KiB, HWM KiB)."""
    pairs.add((target - len(interfaces()) + 1) // 2)
    count = len(interfaces())
    svc = Service(args.tallywick, os.path.join(base, f"net-{count}"), config(os.path.join(base, f"net-{count}"), 1, 3600))
    try:
        # Two passes in: every series exists and every rate has its previous sample.
        if not svc.wait_rows("cpu.util", 2):
            return count, None, None, None
        r0 = svc.rows("cpu.util")
        c0 = cpu_ns(svc.proc.pid)
        time.sleep(seconds)
        c1 = cpu_ns(svc.proc.pid)
        passes = svc.rows("cpu.util") - r0
        rss, hwm = status_kib(svc.proc.pid, "VmRSS"), status_kib(svc.proc.pid, "VmHWM")
        if target >= 1000:
            check_series(svc, pairs)
            churn(svc, pairs)
    finally:
        svc.stop()
    return count, (c1 - c0) / max(passes, 1) / 1e6, rss, hwm


def check_series(svc, pairs):
    stored = svc.series()
    present = interfaces()
    missing = [f"{s}.{n}" for n in present for s in NET_STATS if f"{s}.{n}" not in stored]
    check(not missing, f"{len(missing)} interface series not stored, e.g. {missing[:3]}")
    check(any('"' in n for n in present) and f'net.rx.activity.q"0' in stored, "the quoted name is stored")
    # Every series had a value in the last pass (no interface lost on the way).
    svc.wait_rows("cpu.util", svc.rows("cpu.util") + 1)
    since = max_ts(svc, "cpu.util")
    empty = [n for n in present[:: max(1, len(present) // 50)] if svc.rows(f"net.rx.activity.{n}", since) == 0]
    check(not empty, f"no row in the last pass for {empty[:3]}")


def max_ts(svc, series):
    with svc.db() as c:
        table = svc.series()[series].replace('"', '""')
        return c.execute(f'SELECT max(sm_timestamp) FROM "{table}"').fetchone()[0] or 0


def churn(svc, pairs):
    """Interfaces leave and others come while the service runs."""
    gone = pairs.ends[1:21]
    pairs.remove(gone)
    removed_at = int(time.time()) + 1
    first_new = pairs.made
    pairs.add(20)
    new = [pairs.names(i)[0] for i in range(first_new, pairs.made)]
    svc.wait_rows("cpu.util", svc.rows("cpu.util") + 3)
    for n in new:
        check(svc.rows(f"net.rx.activity.{n}") > 0, f"interface {n} added while running is stored")
    for n in gone:
        check(svc.rows(f"net.rx.activity.{n}", removed_at + 1) == 0, f"interface {n} removed is no longer stored")


def make_tree(root, files):
    per_dir = 1000
    for d in range(files // per_dir):
        sub = os.path.join(root, f"d{d // 10}", f"e{d}")
        os.makedirs(sub)
        for i in range(per_dir):
            with open(os.path.join(sub, f"f{i}"), "wb") as f:
                f.write(b"x" * ((d * per_dir + i) % 97))


def du(root):
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    t = time.monotonic()
    out = subprocess.run(["du", "-sb", "--apparent-size", root], check=True, capture_output=True, text=True).stdout
    wall = time.monotonic() - t
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    cpu = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
    return int(out.split()[0]), cpu, wall


def measure_storage(args, base):
    root = os.path.join(base, "tree")
    make_tree(root, args.files)
    runs = [du(root) for _ in range(3)]
    size = runs[0][0]
    du_cpu = sorted(r[1] for r in runs)[1]
    du_wall = sorted(r[2] for r in runs)[1]
    work = os.path.join(base, "storage")
    svc = Service(args.tallywick, work, config(work, 3600, 1, f"<t><path>{root}</path><name>tree</name></t>"))
    try:
        series = "storage.totalsize.directory.tree"
        if not svc.wait_rows(series, 2):
            return size, du_cpu, du_wall, None
        r0, c0 = svc.rows(series), cpu_ns(svc.proc.pid)
        svc.wait_rows(series, r0 + 5)
        c1, r1 = cpu_ns(svc.proc.pid), svc.rows(series)
        with svc.db() as c:
            table = svc.series()[series].replace('"', '""')
            stored = c.execute(f'SELECT sm_stat_value FROM "{table}" ORDER BY sm_timestamp DESC LIMIT 1').fetchone()[0]
        check(abs(stored - size / 1024) <= 1, f"stored tree size {stored} KB, du says {size} bytes")
    finally:
        svc.stop()
    return size, du_cpu, du_wall, (c1 - c0) / max(r1 - r0, 1) / 1e9


def inside(args):
    base = tempfile.mkdtemp(prefix="tw-scale-")
    # A private tmpfs: the tree and the databases vanish with the namespace.
    subprocess.run(["mount", "-t", "tmpfs", "-o", "size=1g", "tw-scale", base], check=True)
    ip("link", "set", "lo", "up")
    pairs = Pairs()
    curve = []
    for target in (10, 100, 1000):
        n, cpu, rss, hwm = measure_interfaces(args, base, pairs, target, args.seconds)
        curve.append((n, cpu, rss, hwm))
        print(f"{n} interfaces: {cpu:.3f} ms CPU/pass, RSS {rss} KiB, peak {hwm} KiB" if cpu else
              f"{n} interfaces: no measure", file=sys.stderr)
    size, du_cpu, du_wall, tw_cpu = measure_storage(args, base)
    print(f"tree {args.files} files, {size} bytes: du {du_cpu:.3f} s CPU ({du_wall:.3f} s wall), "
          f"tallywick {tw_cpu} s CPU per pass", file=sys.stderr)
    subprocess.run(["umount", "-l", base])
    write_report(args, curve, (args.files, size, du_cpu, du_wall, tw_cpu))


def write_report(args, curve, storage):
    lines = ["### Measured", "",
             f"Measured by `make scale` (the built service sampling once a second in its own network namespace, "
             f"{args.seconds} s per interface count after two passes; CPU is the whole process's "
             "(every thread's schedstat) over the window divided by the passes stored).", "",
             "| interfaces | CPU ms/pass | µs/pass per interface | RSS KiB | peak RSS KiB |", "|---|---|---|---|---|"]
    for n, cpu, rss, hwm in curve:
        if cpu is None:
            lines.append(f"| {n} | – | – | – | – |")
        else:
            lines.append(f"| {n} | {cpu:.3f} | {cpu * 1000 / n:.1f} | {rss} | {hwm} |")
    ok = [c for c in curve if c[1] is not None]
    if len(ok) >= 3:
        slope_lo = (ok[1][1] - ok[0][1]) / (ok[1][0] - ok[0][0]) * 1000
        slope_hi = (ok[2][1] - ok[1][1]) / (ok[2][0] - ok[1][0]) * 1000
        mem_hi = (ok[2][2] - ok[1][2]) / (ok[2][0] - ok[1][0])
        lines += ["", f"Marginal cost per interface: {slope_lo:.1f} µs from {ok[0][0]} to {ok[1][0]} interfaces, "
                  f"{slope_hi:.1f} µs from {ok[1][0]} to {ok[2][0]}; memory {mem_hi:.1f} KiB per interface "
                  f"from {ok[1][0]} to {ok[2][0]}."]
    files, size, du_cpu, du_wall, tw_cpu = storage
    ratio = f"{tw_cpu / du_cpu:.2f}×" if tw_cpu and du_cpu else "–"
    lines += ["", f"Directory tree of {files:,} files ({size:,} bytes apparent), on tmpfs: "
              f"`du -sb --apparent-size` {du_cpu * 1000:.0f} ms CPU ({du_wall * 1000:.0f} ms wall, median of 3); "
              f"the storage collection {tw_cpu * 1000 if tw_cpu else float('nan'):.0f} ms CPU per pass "
              f"(the whole process, 5 passes): {ratio} du."]
    text = "\n".join(lines) + "\n"
    marker = "<!-- scale -->"
    old = open(args.out).read() if os.path.exists(args.out) else ""
    if marker in old:
        head, _, rest = old.partition(marker)
        text = head + marker + "\n" + text + marker + rest.partition(marker)[2]
    else:
        text = old + ("\n" if old else "") + marker + "\n" + text + marker + "\n"
    with open(args.out, "w") as f:
        f.write(text)
    print(text)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--tallywick", default=os.path.abspath("build/bin/tallywick"))
    ap.add_argument("--seconds", type=int, default=15)
    ap.add_argument("--files", type=int, default=100000)
    ap.add_argument("--out", default=os.path.abspath("docs/performance.md"))
    ap.add_argument("--inside", action="store_true")
    args = ap.parse_args()
    if args.inside:
        inside(args)
        if failures:
            print(f"{len(failures)} check(s) failed", file=sys.stderr)
            return 1
        return 0
    probe = subprocess.run(["unshare", "-n", "-m", "--propagation", "private", "true"], capture_output=True, text=True)
    if probe.returncode != 0:
        print("skipped: cannot create network and mount namespaces here: " + probe.stderr.strip())
        return 0
    cmd = ["unshare", "-n", "-m", "--propagation", "private", sys.executable, SELF, "--inside",
           "--tallywick", args.tallywick, "--seconds", str(args.seconds), "--files", str(args.files),
           "--out", args.out]
    return subprocess.run(cmd).returncode


if __name__ == "__main__":
    sys.exit(main())
