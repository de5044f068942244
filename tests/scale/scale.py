#!/usr/bin/env python3
# Scale runs of the built service, in network and mount namespaces of its own:
# 10, 100 and 1,000 network interfaces (veth pairs with dots, dashes and a
# double quote in their names), CPU per pass and resident memory at each; at
# 1,000 every interface stored, and interfaces removed and added while running
# stop and start being stored. Then a tree of 100,000 files walked by the
# storage collection against `du -sb --apparent-size`. Writes the scale section
# of docs/performance.md; exits 1 when a check fails, 0 with the reason when
# namespaces cannot be made here.
import argparse
import os
import resource
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
    return max(compare.cpu_ns(pid))  # the larger of the schedstat sum and utime+stime


def vmrss_kib(pid):
    with open(f"/proc/{pid}/status") as f:
        return next((int(line.split()[1]) for line in f if line.startswith("VmRSS:")), 0)


class Service:
    """The built service on compare's configuration, with periods and directories of its own."""

    def __init__(self, binary, work, net_period, storage_period, dirs=""):
        os.makedirs(work, exist_ok=True)
        self.db, text = compare.tallywick_config(work, net_period, storage_period)
        conf = os.path.join(work, "tw.xml")
        with open(conf, "w") as f:
            f.write(text.replace("<dirs></dirs>", f"<dirs>{dirs}</dirs>"))
        self.proc = subprocess.Popen([binary, conf], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def query(self, sql, *params):
        with sqlite3.connect(f"file:{self.db}?mode=ro", uri=True, timeout=30) as c:
            return c.execute(sql, params).fetchall()

    def series(self):
        """stored series name -> its table."""
        return dict(self.query("SELECT stat_id, stat_table_name FROM sm_stats_metadata"))

    def table(self, series, what, where="", *params):
        """`what` over the series' table; None when the series is not stored."""
        table = self.series().get(series)
        quoted = (table or "").replace('"', '""')
        return None if table is None else self.query(f'SELECT {what} FROM "{quoted}" {where}', *params)[0][0]

    def rows(self, series, since=0):
        return self.table(series, "count(*)", "WHERE sm_timestamp >= ?", since) or 0

    def wait_rows(self, series, count):
        deadline = time.monotonic() + GUARD
        while time.monotonic() < deadline and self.proc.poll() is None:
            try:
                if self.rows(series) >= count:
                    return True
            except sqlite3.Error:
                pass
            time.sleep(0.2)
        check(False, f"no {count} rows of {series} within {GUARD} s (service exit code {self.proc.poll()})")
        return False


def ip(*args, batch=None):
    subprocess.run(["ip"] + (["-batch", "-"] if batch is not None else list(args)), input=batch, text=True,
                   check=True, stdout=subprocess.DEVNULL)


def stored_name(raw):
    """An interface name as the service stores it: bytes that are not UTF-8 as %XX."""
    out, i = [], 0
    while i < len(raw):
        for n in (1, 2, 3, 4):
            try:
                char = raw[i:i + n].decode("utf-8")
            except UnicodeDecodeError:
                continue
            out.append(char)
            i += n
            break
        else:
            out.append(f"%{raw[i]:02X}")
            i += 1
    return "".join(out)


def interfaces():
    """Names in /proc/net/dev, in the form the service stores them."""
    with open("/proc/net/dev", "rb") as f:
        return [stored_name(line.split(b":", 1)[0].strip()) for line in f.readlines()[2:]]


class Pairs:
    """veth pairs named in turn with a dot, with dashes and plainly; the first
    pair's ends carry a double quote and bytes that are not UTF-8 (made on its
    own: ip's batch mode would take the quote as quoting)."""

    def __init__(self):
        self.made, self.ends = 0, []  # ends: the first end of every pair, in order

    @staticmethod
    def names(i):
        return [(f"br.{i}", f"br.{i}p"), (f"v-{i}-a", f"v-{i}-b"), (f"ve{i}", f"ve{i}p")][i % 3]

    def add(self, n):
        if self.made == 0 and n > 0:
            ip("link", "add", 'q"0', "type", "veth", "peer", "name", os.fsdecode(b"\xff\xfeq"))
            self.made, self.ends, n = 1, ['q"0'], n - 1
        new = [self.names(i) for i in range(self.made, self.made + n)]
        if new:
            ip(batch="".join(f"link add {a} type veth peer name {b}\n" for a, b in new))
        self.ends += [a for a, _ in new]
        self.made += n

    def remove(self, names):
        ip(batch="".join(f"link del {n}\n" for n in names))
        self.ends = [e for e in self.ends if e not in names]


def measure_interfaces(args, base, pairs, target):
    """Runs the service with `target` interfaces; returns (interfaces, ms CPU per pass, RSS KiB, HWM KiB)."""
    pairs.add((target - len(interfaces()) + 1) // 2)
    count = len(interfaces())
    svc = Service(args.tallywick, os.path.join(base, f"net-{count}"), 1, 3600)
    try:
        # Two passes in: every series exists and every rate has its previous sample.
        if not svc.wait_rows("cpu.util", 2):
            return count, None, None, None
        r0, c0 = svc.rows("cpu.util"), cpu_ns(svc.proc.pid)
        time.sleep(args.seconds)
        c1, passes = cpu_ns(svc.proc.pid), svc.rows("cpu.util") - r0
        rss, hwm = vmrss_kib(svc.proc.pid), compare.vmhwm_kib(svc.proc.pid)
        if target >= 1000:
            check_series(svc)
            churn(svc, pairs)
    finally:
        compare.stop(svc.proc)
    return count, (c1 - c0) / max(passes, 1) / 1e6, rss, hwm


def check_series(svc):
    stored, present = svc.series(), interfaces()
    missing = [f"{s}.{n}" for n in present for s in NET_STATS if f"{s}.{n}" not in stored]
    check(not missing, f"{len(missing)} interface series not stored, e.g. {missing[:3]}")
    check(any('"' in n for n in present) and 'net.rx.activity.q"0' in stored, "the quoted name is stored")
    check("net.rx.activity.%FF%FEq" in stored, "the name that is not UTF-8 is stored as UTF-8 text")
    # Every series had a value in the last pass (no interface lost on the way).
    svc.wait_rows("cpu.util", svc.rows("cpu.util") + 1)
    since = svc.table("cpu.util", "max(sm_timestamp)") or 0
    empty = [n for n in present[:: max(1, len(present) // 50)] if svc.rows(f"net.rx.activity.{n}", since) == 0]
    check(not empty, f"no row in the last pass for {empty[:3]}")


def churn(svc, pairs):
    """Interfaces leave and others come while the service runs."""
    gone = pairs.ends[1:21]
    pairs.remove(gone)
    removed_at, first_new = int(time.time()) + 1, pairs.made
    pairs.add(20)
    svc.wait_rows("cpu.util", svc.rows("cpu.util") + 3)
    for n in [pairs.names(i)[0] for i in range(first_new, pairs.made)]:
        check(svc.rows(f"net.rx.activity.{n}") > 0, f"interface {n} added while running is stored")
    for n in gone:
        check(svc.rows(f"net.rx.activity.{n}", removed_at + 1) == 0, f"interface {n} removed is no longer stored")


def du(root):
    before, t = resource.getrusage(resource.RUSAGE_CHILDREN), time.monotonic()
    out = subprocess.run(["du", "-sb", "--apparent-size", root], check=True, capture_output=True, text=True).stdout
    wall, after = time.monotonic() - t, resource.getrusage(resource.RUSAGE_CHILDREN)
    return int(out.split()[0]), (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime), wall


def measure_storage(args, base):
    """Returns (bytes, du CPU s, du wall s, tallywick CPU s per pass) for a tree of args.files files."""
    root = os.path.join(base, "tree")
    for d in range(args.files // 1000):
        os.makedirs(os.path.join(root, f"d{d // 10}", f"e{d}"))
        for i in range(1000):
            with open(os.path.join(root, f"d{d // 10}", f"e{d}", f"f{i}"), "wb") as f:
                f.write(b"x" * ((d * 1000 + i) % 97))
    runs = [du(root) for _ in range(3)]
    size, du_cpu, du_wall = runs[0][0], sorted(r[1] for r in runs)[1], sorted(r[2] for r in runs)[1]
    svc = Service(args.tallywick, os.path.join(base, "storage"), 3600, 1, f"<t><path>{root}</path><name>tree</name></t>")
    series = "storage.totalsize.directory.tree"
    try:
        if not svc.wait_rows(series, 2):
            return size, du_cpu, du_wall, None
        r0, c0 = svc.rows(series), cpu_ns(svc.proc.pid)
        svc.wait_rows(series, r0 + 5)
        c1, r1 = cpu_ns(svc.proc.pid), svc.rows(series)
        stored = svc.table(series, "sm_stat_value", "ORDER BY sm_timestamp DESC LIMIT 1")
        check(abs(stored - size / 1024) <= 1, f"stored tree size {stored} KB, du says {size} bytes")
    finally:
        compare.stop(svc.proc)
    return size, du_cpu, du_wall, (c1 - c0) / max(r1 - r0, 1) / 1e9


def inside(args):
    base = tempfile.mkdtemp(prefix="tw-scale-")
    # A private tmpfs: the tree and the databases vanish with the namespace.
    subprocess.run(["mount", "-t", "tmpfs", "-o", "size=1g", "tw-scale", base], check=True)
    ip("link", "set", "lo", "up")
    pairs, curve = Pairs(), []
    for target in (10, 100, 1000):
        curve.append(measure_interfaces(args, base, pairs, target))
        n, cpu, rss, hwm = curve[-1]
        print(f"{n} interfaces: {cpu:.3f} ms CPU/pass, RSS {rss} KiB, peak {hwm} KiB" if cpu else
              f"{n} interfaces: no measure", file=sys.stderr)
    storage = measure_storage(args, base)
    subprocess.run(["umount", "-l", base])
    write_report(args, curve, storage)


def write_report(args, curve, storage):
    lines = ["### Measured", "",
             f"Measured by `make scale` (the built service sampling once a second in its own network namespace, "
             f"{args.seconds} s per interface count after two passes; CPU is the whole process's "
             "(every thread's schedstat) over the window divided by the passes stored).", "",
             "| interfaces | CPU ms/pass | µs/pass per interface | RSS KiB | peak RSS KiB |", "|---|---|---|---|---|"]
    for n, cpu, rss, hwm in curve:
        lines.append(f"| {n} | – | – | – | – |" if cpu is None else
                     f"| {n} | {cpu:.3f} | {cpu * 1000 / n:.1f} | {rss} | {hwm} |")
    ok = [c for c in curve if c[1] is not None]
    if len(ok) >= 3:
        slope_lo, slope_hi = ((b[1] - a[1]) / (b[0] - a[0]) * 1000 for a, b in (ok[0:2], ok[1:3]))
        mem_hi = (ok[2][2] - ok[1][2]) / (ok[2][0] - ok[1][0])
        lines += ["", f"Marginal cost per interface: {slope_lo:.1f} µs from {ok[0][0]} to {ok[1][0]} interfaces, "
                  f"{slope_hi:.1f} µs from {ok[1][0]} to {ok[2][0]}; memory {mem_hi:.1f} KiB per interface "
                  f"from {ok[1][0]} to {ok[2][0]}."]
    size, du_cpu, du_wall, tw_cpu = storage
    ratio = f"{tw_cpu / du_cpu:.2f}×" if tw_cpu and du_cpu else "–"
    lines += ["", f"Directory tree of {args.files:,} files ({size:,} bytes apparent), on tmpfs: "
              f"`du -sb --apparent-size` {du_cpu * 1000:.0f} ms CPU ({du_wall * 1000:.0f} ms wall, median of 3); "
              f"the storage collection {tw_cpu * 1000 if tw_cpu else float('nan'):.0f} ms CPU per pass "
              f"(the whole process, 5 passes): {ratio} du."]
    text, marker = "\n".join(lines) + "\n", "<!-- scale -->"
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
        return 1 if failures else 0
    namespaces = ["unshare", "-n", "-m", "--propagation", "private"]
    probe = subprocess.run(namespaces + ["true"], capture_output=True, text=True)
    if probe.returncode != 0:
        print("skipped: cannot create network and mount namespaces here: " + probe.stderr.strip())
        return 0
    return subprocess.run(namespaces + [sys.executable, SELF, "--inside", "--tallywick", args.tallywick, "--seconds",
                                        str(args.seconds), "--files", str(args.files), "--out", args.out]).returncode


if __name__ == "__main__":
    sys.exit(main())
