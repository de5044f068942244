"""The whole service: samples, stores, writes its health file and stops on
SIGTERM; stored numbers match the kernel's and the file system's."""

import os
import re
import signal
import sqlite3
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(__file__))
import twrun  # noqa: E402


def tallywick_node(d, parallel=False):
    return ("\n    <persistence><engine>sqlite</engine><locator>%s/tw.db</locator>"
            "<statTtlSec>3600</statTtlSec></persistence>\n"
            "    <cpuMemNetSamplingPeriodSec>1</cpuMemNetSamplingPeriodSec>\n"
            "    <storageSizeSamplingPeriodSec>1</storageSizeSamplingPeriodSec>\n"
            "    <health_status_file>%s/health.xml</health_status_file>\n"
            "    <storageSizeProvider>\n"
            "      <filesystems><root><path>/</path><name>root</name></root></filesystems>\n"
            "      <dirs><tree><path>%s/tree</path><name>tree</name></tree></dirs>\n"
            "    </storageSizeProvider>\n  " % (d, d, d))


def rows(db, table):
    with sqlite3.connect(db) as c:
        return c.execute('SELECT sm_timestamp, sm_stat_value FROM "%s" ORDER BY sm_timestamp' % table).fetchall()


class ServiceTest(unittest.TestCase):
    def run_service(self, d, parallel, seconds=4):
        extra = "  <statsRegistry><parallelCollect>%s</parallelCollect></statsRegistry>\n" % (
            "true" if parallel else "false")
        conf = d.write("c.xml", twrun.config(d.path, tallywick_node(d.path), extra))
        db = d.file("tw.db")

        def cpu_util_rows():
            try:
                return len(rows(db, "sm_stat_cpu_util"))
            except sqlite3.Error:
                return 0
        already = cpu_util_rows()
        p = subprocess.Popen([twrun.BIN, conf], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        twrun.wait_for(lambda: "Running main loop" in d.read("log/Tallywick.log"), "the main loop")
        twrun.wait_for(lambda: cpu_util_rows() >= already + 2, "two new cpu.util rows")
        time.sleep(max(0, seconds - 2))
        p.send_signal(signal.SIGTERM)
        start = time.monotonic()
        p.wait(twrun.GUARD_SECONDS)
        return p.returncode, time.monotonic() - start, d.read("log/Tallywick.log")

    def check(self, parallel):
        with twrun.TempDir() as d:
            os.makedirs(d.file("tree/sub"))
            with open(d.file("tree/a"), "wb") as f:
                f.write(b"x" * 5000)
            with open(d.file("tree/sub/b"), "wb") as f:
                f.write(b"y" * 123)
            status, stop_seconds, log = self.run_service(d, parallel)
            self.assertEqual(status, 0, log[-2000:])
            self.assertLess(stop_seconds, 5)
            msgs = twrun.messages(log)
            order = ["info Tallywick: Initializing", "info Tallywick: Running main loop",
                     "info Tallywick: Received signal 15", "info Tallywick: Shutting down",
                     "info Tallywick: Exiting with status=true."]
            positions = [next(i for i, m in enumerate(msgs) if m == o) for o in order]
            self.assertEqual(positions, sorted(positions))
            db = d.file("tw.db")
            with sqlite3.connect(db) as c:
                series = dict(c.execute("SELECT stat_id, stat_table_name FROM sm_stats_metadata"))
            for name in ("cpu.util", "cpu.totalfrequency", "mem.util", "mem.total",
                         "storage.used.filesystem.root", "storage.totalsize.filesystem.root",
                         "storage.totalsize.directory.tree"):
                self.assertIn(name, series)
            for name in ("cpu.usage.user", "cpu.usage.system", "cpu.count"):
                self.assertNotIn(name, series)
            with open("/proc/net/dev") as f:
                interfaces = [l.split(":")[0].strip() for l in f.readlines()[2:]]
            for intf in interfaces:
                self.assertIn("net.rx.activity." + intf, series)
            with open("/proc/meminfo") as f:
                mem_total = int(re.search(r"MemTotal:\s+(\d+)", f.read()).group(1))
            self.assertTrue(all(v == mem_total for _, v in rows(db, "sm_stat_mem_total")))
            # CPU time is counted in clock ticks (10 ms at 100 Hz): over a 1 s
            # period on a busy machine one tick of jitter shows as up to 1 %.
            for _, v in rows(db, "sm_stat_cpu_util"):
                self.assertTrue(0 <= v <= 101, v)
            st = os.statvfs("/")
            total_kb = st.f_blocks * st.f_frsize // 1024
            self.assertIn(total_kb, [v for _, v in rows(db, "sm_stat_storage_totalsize_filesystem_root")])
            tree = [v for _, v in rows(db, "sm_stat_storage_totalsize_directory_tree")]
            self.assertTrue(tree, "directory size stored")
            health = d.read("health.xml")
            self.assertRegex(health, r"^<\?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"\?>"
                                     r"<healthStatus schemaVersion=\"1.0\" xmlns=\"[^\"]+/dop/cm/common/jaxb/healthstatus\">"
                                     r"<status>GREEN</status><message messageKey=\"com.norvex.fenmark.mon.health.healthy\" "
                                     r"defaultMessage=\"Appliance monitoring service is healthy.\"></message>"
                                     r"<expirationMonoSec>(\d+)</expirationMonoSec></healthStatus>$")
            expiry = int(re.search(r"<expirationMonoSec>(\d+)<", health).group(1))
            now = time.clock_gettime(time.CLOCK_MONOTONIC)
            self.assertTrue(now + 600 - 30 < expiry <= now + 600, (expiry, now))
            return series

    def test_serial(self):
        self.check(False)

    def test_parallel_collects_the_same_series(self):
        self.assertTrue(self.check(True))

    def test_restart_keeps_rows_within_the_ttl(self):
        with twrun.TempDir() as d:
            os.makedirs(d.file("tree"))
            self.run_service(d, False, seconds=2)
            db = d.file("tw.db")
            with sqlite3.connect(db) as c:
                c.execute('INSERT INTO "sm_stat_mem_total" VALUES (1000, 1)')  # far older than the TTL
                c.execute('INSERT INTO "sm_stat_mem_total" VALUES (%d, 2)' % (int(time.time()) - 60))
            before = len(rows(db, "sm_stat_cpu_util"))
            status, _, log = self.run_service(d, False, seconds=2)
            self.assertEqual(status, 0, log[-2000:])
            stamps = [t for t, _ in rows(db, "sm_stat_mem_total")]
            self.assertNotIn(1000, stamps)
            self.assertTrue(any(t <= int(time.time()) - 60 for t in stamps), stamps)
            self.assertGreater(len(rows(db, "sm_stat_cpu_util")), before)


if __name__ == "__main__":
    unittest.main()
