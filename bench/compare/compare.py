#!/usr/bin/env python3
"""Side-by-side cost of tallywick and established collectors on this machine.

Runs every collector at once, at a 1 s interval, for the same window, several
times, and measures for each run:
  - CPU time per sample: the process's CPU time over the measured window
    (sum of every thread's /proc/<pid>/task/*/schedstat, cross-checked with
    utime+stime of /proc/<pid>/stat), divided by the samples taken;
  - peak RSS: VmHWM of /proc/<pid>/status at the end;
  - bytes written per sample: wchar of /proc/<pid>/io over the window.
The floor is a minimal program that opens, reads and closes the /proc files
tallywick reads in one pass and stores one SQLite row per series in one
transaction, once a second.

Writes a markdown report (default docs/performance.md).
"""
import argparse
import os
import re
import shutil
import signal
import sqlite3
import statistics
import subprocess
import sys
import tempfile
import time
import urllib.request

TICK = os.sysconf("SC_CLK_TCK")


def cpu_ns(pid):
    total = 0
    try:
        for tid in os.listdir(f"/proc/{pid}/task"):
            with open(f"/proc/{pid}/task/{tid}/schedstat") as f:
                total += int(f.read().split()[0])
    except FileNotFoundError:
        pass
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    ticks = int(fields[11]) + int(fields[12])
    return total, ticks * 1_000_000_000 // TICK


def wchar(pid):
    with open(f"/proc/{pid}/io") as f:
        for line in f:
            if line.startswith("wchar:"):
                return int(line.split()[1])
    return 0


def vmhwm_kib(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
    return 0


def snapshot(pid):
    """(cpu ns, bytes written) of pid now; cpu is the larger of the schedstat sum
    and utime+stime, which round differently."""
    sched, ticks = cpu_ns(pid)
    return max(sched, ticks), wchar(pid)


def stop(proc):
    if proc.poll() is None:
        proc.send_signal(signal.SIGTERM)
        try:
            proc.wait(10)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()


def tallywick_config(work, period=1, storage_period=1):
    db = os.path.join(work, "tallywick.db")
    return db, f"""<config>
  <log><directory>{work}</directory><name>tallywick</name><level>warning</level></log>
  <tallywick>
    <persistence><engine>sqlite</engine><locator>{db}</locator><statTtlSec>86400</statTtlSec></persistence>
    <cpuMemNetSamplingPeriodSec>{period}</cpuMemNetSamplingPeriodSec>
    <storageSizeSamplingPeriodSec>{storage_period}</storageSizeSamplingPeriodSec>
    <health_status_file>{work}/health.xml</health_status_file>
    <storageSizeProvider>
      <filesystems><root><path>/</path><name>root</name></root></filesystems>
      <dirs></dirs>
    </storageSizeProvider>
  </tallywick>
</config>
"""


def run_tallywick(args, work, storage_period=1):
    db, text = tallywick_config(work, storage_period=storage_period)
    conf = os.path.join(work, "tallywick.xml")
    with open(conf, "w") as f:
        f.write(text)
    return subprocess.Popen([args.tallywick, conf], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL), None


def series_count(work, like="%"):
    db = os.path.join(work, "tallywick.db")
    try:
        with sqlite3.connect(db) as c:
            return c.execute("SELECT count(*) FROM sm_stats_metadata WHERE stat_id LIKE ?", (like,)).fetchone()[0]
    except sqlite3.Error:
        return 0


def tallywick_files(args, work):
    """The /proc files and directories one tallywick pass opens, from an strace
    of a short run (-y prints the path an opened descriptor stands for)."""
    if not shutil.which("strace"):
        return []
    _, text = tallywick_config(work)
    conf = os.path.join(work, "trace.xml")
    with open(conf, "w") as f:
        f.write(text.replace("tallywick.db", "trace.db"))
    out = os.path.join(work, "strace.txt")
    # Attached to the running service, so that stopping the tracer (which
    # detaches) leaves a process that we stop ourselves.
    p = subprocess.Popen([args.tallywick, conf], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        time.sleep(0.5)
        tracer = subprocess.Popen(["strace", "-f", "-y", "-e", "trace=openat", "-o", out, "-p", str(p.pid)],
                                  stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        time.sleep(3.5)
        stop(tracer)
    finally:
        stop(p)
    with open(out) as f:
        return pass_files(f)


PASS_OPEN = re.compile(r'openat\(\d+</proc>, "[^"]*", ([A-Z_|]+)(?:, \d+)?\) = \d+<(/proc[^>]*)>')


def pass_files(lines):
    """The distinct /proc paths opened relative to the /proc descriptor in
    `strace -y` lines, in first-seen order; a directory gets a final "/"."""
    files, seen = [], set()
    for line in lines:
        m = PASS_OPEN.search(line)
        if not m:
            continue
        # /proc/net is the reading process's own: /proc/<pid>/net/dev -> /proc/net/dev.
        path = re.sub(r"^/proc/\d+/net/", "/proc/net/", m.group(2))
        if "O_DIRECTORY" in m.group(1):
            path += "/"
        if path not in seen:
            seen.add(path)
            files.append(path)
    return files


def run_sadc(args, work):
    sadc = next((p for p in ("/usr/lib/sysstat/sadc", "/usr/lib64/sa/sadc") if os.path.exists(p)), None)
    if not sadc:
        return None, None
    out = os.path.join(work, "sa.data")
    return subprocess.Popen([sadc, "-S", "DISK", "-S", "XDISK", "1", str(args.duration + args.warmup + 5), out],
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL), None


def run_collectd(args, work):
    if not shutil.which("collectd"):
        return None, None
    conf = os.path.join(work, "collectd.conf")
    with open(conf, "w") as f:
        f.write(f"""Interval 1
BaseDir "{work}"
PIDFile "{work}/collectd.pid"
PluginDir "/usr/lib/collectd"
LoadPlugin cpu
LoadPlugin memory
LoadPlugin interface
LoadPlugin disk
LoadPlugin load
LoadPlugin df
LoadPlugin processes
LoadPlugin csv
<Plugin csv>
  DataDir "{work}/csv"
  StoreRates true
</Plugin>
""")
    return subprocess.Popen(["collectd", "-f", "-C", conf], stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL), None


def run_node_exporter(args, work):
    exe = shutil.which("prometheus-node-exporter")
    if not exe:
        return None, None
    port = 19100
    p = subprocess.Popen([exe, f"--web.listen-address=127.0.0.1:{port}"], stdout=subprocess.DEVNULL,
                         stderr=subprocess.DEVNULL)

    def scrape():
        try:
            urllib.request.urlopen(f"http://127.0.0.1:{port}/metrics", timeout=5).read()
        except OSError:
            pass
    return p, scrape


def run_floor(args, work, rows, files):
    db = os.path.join(work, "floor.db")
    return subprocess.Popen([args.floor, db, str(rows), str(args.duration + args.warmup + 5)] + files,
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL), None


def verdict(ok):
    return "met" if ok else "missed"


def fmt(values, scale=1.0, digits=2):
    vals = [v * scale for v in values]
    med = statistics.median(vals)
    return f"{med:.{digits}f} ({min(vals):.{digits}f}–{max(vals):.{digits}f})"


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--tallywick", default="build/bin/tallywick")
    ap.add_argument("--floor", default="build/bin/compare_floor")
    ap.add_argument("--duration", type=int, default=60)
    ap.add_argument("--warmup", type=int, default=5)
    ap.add_argument("--runs", type=int, default=3)
    ap.add_argument("--out", default="docs/performance.md")
    args = ap.parse_args()

    results = {}
    base = tempfile.mkdtemp(prefix="tw-compare-")
    # What tallywick reads and stores, for the floor.
    probe = os.path.join(base, "probe")
    os.makedirs(probe)
    files = tallywick_files(args, probe)
    p, _ = run_tallywick(args, probe)
    time.sleep(4)
    stop(p)
    rows = series_count(probe) or 15
    storage_rows = min(series_count(probe, "storage.%"), rows - 1)

    # tallywick-600: the storage sizes at their default period, so that a
    # sample is one commit, as the floor's.
    # floor-2: the same rows in two commits a second, the storage sizes' rows
    # in the second, as tallywick's two collections at 1 s store them.
    # floor-threads: the storage sizes' rows committed by a second thread that
    # wakes at the same times, as tallywick's second collection does. Context
    # for the analysis; the goals are stated against the floor.
    runners = [("floor", lambda a, w: run_floor(a, w, rows, files)),
               ("floor-2", lambda a, w: run_floor(a, w, f"{rows - storage_rows}+{storage_rows}", files)),
               ("floor-threads", lambda a, w: run_floor(a, w, f"{rows - storage_rows}={storage_rows}", files)),
               ("tallywick", run_tallywick),
               ("tallywick-600", lambda a, w: run_tallywick(a, w, storage_period=600)),
               ("sadc", run_sadc), ("collectd", run_collectd), ("node_exporter", run_node_exporter)]
    # Every collector runs at once, so that each run sees the same machine
    # (the other engineers' compilers included) for all of them.
    for run in range(args.runs):
        procs = {}
        try:
            for name, start in runners:
                work = os.path.join(base, f"{name}-{run}")
                os.makedirs(work)
                proc, tick = start(args, work)
                if proc is None:
                    print(f"{name}: not installed, skipped", file=sys.stderr)
                    continue
                procs[name] = (proc, tick)
            time.sleep(args.warmup)
            for name, (proc, _) in list(procs.items()):
                if proc.poll() is not None:
                    print(f"{name}: exited at start ({proc.returncode})", file=sys.stderr)
                    del procs[name]
            before = {name: snapshot(proc.pid) for name, (proc, _) in procs.items()}
            start = time.monotonic()
            scrapes = {name: 0 for name in procs}
            while time.monotonic() - start < args.duration:
                for name, (_, tick) in procs.items():
                    if tick:
                        tick()
                        scrapes[name] += 1
                time.sleep(max(0.0, 1.0 - ((time.monotonic() - start) % 1.0)))
            after = {name: snapshot(proc.pid) for name, (proc, _) in procs.items()}
            elapsed = time.monotonic() - start
            hwm = {name: vmhwm_kib(proc.pid) for name, (proc, _) in procs.items()}
        finally:
            for proc, _ in procs.values():
                stop(proc)
        for name, (_, tick) in procs.items():
            # One sample a second, or one per scrape for the scraped exporter.
            samples = max(1, scrapes[name] if tick else round(elapsed))
            cpu = after[name][0] - before[name][0]
            written = after[name][1] - before[name][1]
            results.setdefault(name, []).append((cpu / samples / 1e6, hwm[name] / 1024.0, written / samples))
            print(f"run {run + 1} {name}: {cpu / samples / 1e6:.3f} ms/sample, {hwm[name] / 1024:.1f} MiB, "
                  f"{written / samples:.0f} B/sample", file=sys.stderr)

    def med(name, i):
        return statistics.median(r[i] for r in results[name])

    lines = ["### Measured", "",
             f"Measured by `make compare` ({args.runs} runs of {args.duration} s each, all collectors side by side, 1 s interval, "
             f"after {args.warmup} s of warm-up; median, with the range over the runs in parentheses). "
             f"Machine: {os.cpu_count()} CPUs, kernel {os.uname().release}. The floor reads "
             f"what tallywick opened in one pass ({', '.join(files) or 'the system-wide /proc files'}; a directory is "
             f"listed) and stores {rows} rows in one SQLite transaction per sample, in WAL mode with 1 KiB pages and SQLite's "
             "default synchronous setting (FULL), as tallywick's database does. floor-2 stores the same rows in two "
             "transactions a second, one after the other, the storage sizes' rows in the second. floor-threads "
             "commits the storage sizes' rows from a second thread that wakes at the same times and reads "
             "nothing, as tallywick's two collections do at 1 s periods.", "",
             "| collector | CPU ms/sample | × floor | peak RSS MiB | bytes written/sample |",
             "|---|---|---|---|---|"]
    floor_cpu = med("floor", 0) if "floor" in results else None
    for name, _ in runners:
        if name not in results:
            continue
        rs = results[name]
        ratio = f"{med(name, 0) / floor_cpu:.2f}" if floor_cpu else "–"
        lines.append(f"| {name} | {fmt([r[0] for r in rs], digits=3)} | {ratio} | "
                     f"{fmt([r[1] for r in rs], digits=1)} | {fmt([r[2] for r in rs], digits=0)} |")
    if "tallywick" in results:
        lines += ["", "Ratios of each peer to tallywick (CPU per sample, peak RSS):", ""]
        tw_cpu, tw_rss = med("tallywick", 0), med("tallywick", 1)
        for name, _ in runners:
            if name in results and not name.startswith(("tallywick", "floor")):
                lines.append(f"- {name}: {med(name, 0) / tw_cpu:.1f}× the CPU, {med(name, 1) / tw_rss:.1f}× the RSS")
        peers = [n for n, _ in runners if n in results and not n.startswith(("tallywick", "floor"))]
        if peers and floor_cpu:
            cheapest = min(peers, key=lambda n: med(n, 0))
            smallest = min(peers, key=lambda n: med(n, 1))
            lines += ["", "Goals, from the medians above:", ""]
            for tw in (n for n in ("tallywick", "tallywick-600") if n in results):
                cpu, rss = med(tw, 0), med(tw, 1)
                lines.append(f"- {tw}: CPU per sample {cpu / floor_cpu:.2f}× the floor (goal at most 1.5×: "
                             f"{verdict(cpu <= 1.5 * floor_cpu)}); the cheapest peer, {cheapest}, takes "
                             f"{med(cheapest, 0) / cpu:.2f}× its CPU (goal at least 3×: "
                             f"{verdict(med(cheapest, 0) >= 3 * cpu)}); peak RSS "
                             f"{rss:.1f} MiB against {med(smallest, 1):.1f} MiB of {smallest}, the smallest peer "
                             f"(goal below: {verdict(rss < med(smallest, 1))})")
            if "floor-threads" in results and "tallywick" in results:
                lines.append(f"- tallywick against floor-threads, the floor of two threads that commit on their "
                             f"own: {med('tallywick', 0) / med('floor-threads', 0):.2f}×; floor-threads itself is "
                             f"{med('floor-threads', 0) / floor_cpu:.2f}× the floor")
    os.makedirs(os.path.dirname(args.out) or ".", exist_ok=True)
    text = "\n".join(lines) + "\n"
    marker = "<!-- compare -->"
    old = open(args.out).read() if os.path.exists(args.out) else ""
    if marker in old:
        head, _, rest = old.partition(marker)
        tail = rest.partition(marker)[2]
        text = head + marker + "\n" + text + marker + tail
    else:
        text = old + ("\n" if old else "") + marker + "\n" + text + marker + "\n"
    with open(args.out, "w") as f:
        f.write(text)
    print(text)
    shutil.rmtree(base, ignore_errors=True)


if __name__ == "__main__":
    main()
