"""End-to-end test helpers: run the built binaries, build configurations and
databases in the service's layout. Time bounds only guard against hangs."""

import os
import shutil
import signal
import sqlite3
import subprocess
import tempfile
import time

BIN = os.environ.get("TALLYWICK_BIN", "build/bin/tallywick")
REPORT_BIN = os.environ.get("TALLYWICK_REPORT_BIN", os.path.join(os.path.dirname(BIN), "tallywick-report"))
GUARD_SECONDS = 120

VERSION = "Tallywick, version=1.0, build=17590285\n"


def usage(argv0):
    return (VERSION + "Usage: " + argv0 + " -h | -v | path/to/configfile\n\n"
            "   -h, --help\t\t\tprint this help message and exit.\n"
            "   -v, --version\t\tprint only version information and exit.\n"
            "   path/to/configfile\t\te.g. /etc/norvex/tallywick/tallywick.xml\n")


def unprivileged():
    """The prefix that runs a command as nobody when we are root, so that a run
    without a readable configuration cannot create /var/log/norvex/fenmark."""
    if os.geteuid() != 0:
        return []
    return ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "--"]


class TempDir:
    def __init__(self):
        self.path = tempfile.mkdtemp(prefix="tw-e2e-")
        os.chmod(self.path, 0o777)

    def file(self, name):
        return os.path.join(self.path, name)

    def write(self, name, text):
        with open(self.file(name), "wb" if isinstance(text, bytes) else "w") as f:
            f.write(text)
        os.chmod(self.file(name), 0o644)
        return self.file(name)

    def read(self, name):
        try:
            with open(self.file(name)) as f:
                return f.read()
        except FileNotFoundError:
            return ""

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        shutil.rmtree(self.path, ignore_errors=True)


def config(dir_path, tallywick=None, extra=""):
    """A valid configuration with everything below dir_path; tallywick replaces
    the content of the "tallywick" node, extra is added at the top level."""
    if tallywick is None:
        tallywick = default_tallywick(dir_path)
    return ("<?xml version=\"1.0\"?>\n<config>\n"
            "  <log><directory>%s/log</directory><level>info</level></log>\n%s"
            "  <tallywick>%s</tallywick>\n</config>\n" % (dir_path, extra, tallywick))


def default_tallywick(dir_path, period=5, size_period=10):
    return ("\n    <persistence><engine>sqlite</engine><locator>%s/tw.db</locator>"
            "<statTtlSec>3600</statTtlSec></persistence>\n"
            "    <cpuMemNetSamplingPeriodSec>%d</cpuMemNetSamplingPeriodSec>\n"
            "    <storageSizeSamplingPeriodSec>%d</storageSizeSamplingPeriodSec>\n"
            "    <health_status_file>%s/health.xml</health_status_file>\n"
            "    <storageSizeProvider>\n"
            "      <filesystems><root><path>/</path><name>root</name></root></filesystems>\n"
            "      <dirs><tmp><path>%s</path><name>tmp</name></tmp></dirs>\n"
            "    </storageSizeProvider>\n  " % (dir_path, period, size_period, dir_path, dir_path))


def run(args, argv0=None, prefix=(), cwd=None, binary=BIN):
    """Runs the service (or binary) to its end; returns (status, stdout, stderr)."""
    cmd = list(prefix) + [argv0 or binary] + list(args)
    p = subprocess.run(cmd, executable=None if argv0 is None or prefix else binary, cwd=cwd,
                       capture_output=True, text=True, timeout=GUARD_SECONDS)
    return p.returncode, p.stdout, p.stderr


def start(test, d, tallywick=None, extra="", level="info", env=None):
    """Starts the service on a configuration in d and waits for its main loop."""
    cfg = d.write("tw.xml", config(d.path, tallywick, extra).replace("<level>info<", "<level>%s<" % level))
    environment = {k: v for k, v in os.environ.items() if k not in ("NOTIFY_SOCKET", "WATCHDOG_USEC")}
    environment.update(env or {})
    proc = subprocess.Popen([BIN, cfg], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=environment)
    test.addCleanup(lambda: (proc.poll() is None and proc.kill(), proc.communicate()))
    wait_for(lambda: "info Tallywick: Running main loop" in d.read("log/Tallywick.log") or proc.poll() is not None,
             "the main loop")
    test.assertIsNone(proc.poll(), d.read("log/Tallywick.log"))
    return proc


def stop(test, proc, signo=signal.SIGTERM):
    """Signals the service, checks exit status 0; returns (stdout, stderr)."""
    proc.send_signal(signo)
    out, err = proc.communicate(timeout=GUARD_SECONDS)
    test.assertEqual(proc.returncode, 0, err)
    return out, err


def wait_for(predicate, what):
    deadline = time.monotonic() + GUARD_SECONDS
    while not predicate():
        if time.monotonic() > deadline:
            raise AssertionError("timed out waiting for " + what)
        time.sleep(0.02)


def messages(log_text):
    """The "<level> <logger>: <message>" part of every log line."""
    return [line.split(" ", 1)[1] for line in log_text.splitlines() if " " in line]


def proc_meminfo_total():
    with open("/proc/meminfo") as f:
        return int(next(line for line in f if line.startswith("MemTotal:")).split()[1])


def proc_interfaces():
    with open("/proc/net/dev") as f:
        return sorted(line.split(":")[0].strip() for line in f.readlines()[2:])


def report(*args):
    return run(args, binary=REPORT_BIN)


# The service's own schema texts and metadata form, for the report's databases.
METADATA_PREFIX = "com.norvex.fenmark.mon"
METADATA_CREATE = (
    'CREATE TABLE IF NOT EXISTS "sm_stats_metadata" (   stat_id         VARCHAR(128),   stat_table_name '
    'VARCHAR(128),   stat_metadata   VARCHAR(512),   CONSTRAINT "pk_sm_stats_metadata" PRIMARY KEY '
    '(stat_id),   CONSTRAINT "uniq_sm_stats_metadata" UNIQUE (stat_table_name));')
METADATA_UPSERT = ('INSERT OR REPLACE INTO "sm_stats_metadata"   (stat_id, stat_table_name, stat_metadata)'
                   '   VALUES (?, ?, ?);')
SERIES_CREATE = ('CREATE TABLE IF NOT EXISTS "%1" (    sm_timestamp    INTEGER,   sm_stat_value   %k,'
                 '   CONSTRAINT "pk_%1" PRIMARY KEY (sm_timestamp));')
SAMPLE_INSERT = 'INSERT OR REPLACE INTO "%1"    (sm_timestamp, sm_stat_value)   VALUES (?, ?);'


def table_name(series):
    return ("sm_stat_" + series).replace(".", "_")


class ReportDb:
    """A database file in the service's layout."""

    def __init__(self, path):
        self.conn = sqlite3.connect(path)
        self.conn.execute("PRAGMA journal_mode=wal;")
        self.conn.execute(METADATA_CREATE)

    def add_series(self, name, category, unit, kind, samples=(), instance=None, with_metadata=True):
        """kind 0 INTEGER, 1 REAL; samples are (timestamp, value or None)."""
        table = table_name(name)
        self.conn.execute(SERIES_CREATE.replace("%1", table).replace("%k", ("INTEGER", "REAL")[kind]))
        if with_metadata:
            p = METADATA_PREFIX
            meta = "category=%s.cat.%s;units=%s.unit.%s;" % (p, category, p, unit)
            meta += "instance=%s;" % instance if instance is not None else ""
            meta += "name=%s.name.%s;description=%s.descr.%s;" % (p, name, p, name)
            self.conn.execute(METADATA_UPSERT, (name, table, meta))
        self.conn.executemany(SAMPLE_INSERT.replace("%1", table), samples)

    def close(self):
        self.conn.commit()
        self.conn.close()
