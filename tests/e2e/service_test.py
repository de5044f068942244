"""The whole service: samples, stores, writes its health file and stops on
SIGTERM; stored numbers match the kernel's and the file system's."""

import os
import re
import sqlite3
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import twrun  # noqa: E402

HEALTH = (r"^<\?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"\?>"
          r"<healthStatus schemaVersion=\"1.0\" xmlns=\"[^\"]+/dop/cm/common/jaxb/healthstatus\">"
          r"<status>GREEN</status><message messageKey=\"com.norvex.fenmark.mon.health.healthy\" "
          r"defaultMessage=\"Appliance monitoring service is healthy.\"></message>"
          r"<expirationMonoSec>(\d+)</expirationMonoSec></healthStatus>$")


def values(db, table):
    try:
        with sqlite3.connect(db) as c:
            return c.execute('SELECT sm_timestamp, sm_stat_value FROM "%s" ORDER BY sm_timestamp' % table).fetchall()
    except sqlite3.Error:
        return []


class ServiceTest(unittest.TestCase):
    def run_service(self, d, parallel=False):
        """Runs the service until it has stored two more CPU passes, then stops it."""
        already = len(values(d.file("tw.db"), "sm_stat_cpu_util"))
        proc = twrun.start(self, d, twrun.default_tallywick(d.path, 1, 1),
                           "  <statsRegistry><parallelCollect>%s</parallelCollect></statsRegistry>\n" % (
                               "true" if parallel else "false"))
        twrun.wait_for(lambda: len(values(d.file("tw.db"), "sm_stat_cpu_util")) >= already + 2, "two new cpu.util rows")
        self.assertEqual(twrun.stop(self, proc), ("", ""))
        return twrun.messages(d.read("log/Tallywick.log"))

    def test_stored_values_equal_the_kernels_serial_and_parallel(self):
        for parallel in (False, True):
            with self.subTest(parallel=parallel), twrun.TempDir() as d:
                msgs = self.run_service(d, parallel)
                positions = [msgs.index(m) for m in (
                    "info Tallywick: Initializing", "info Tallywick: Running main loop",
                    "info Tallywick: Received signal 15", "info Tallywick: Shutting down",
                    "info Tallywick: Exiting with status=true.")]
                self.assertEqual(positions, sorted(positions))
                db = d.file("tw.db")
                with sqlite3.connect(db) as c:
                    series = dict(c.execute("SELECT stat_id, stat_table_name FROM sm_stats_metadata"))
                for name in ["cpu.util", "cpu.totalfrequency", "mem.util", "mem.total", "storage.used.filesystem.root",
                             "storage.totalsize.filesystem.root", "storage.totalsize.directory.tmp"] + [
                             "net.rx.activity." + i for i in twrun.proc_interfaces()]:
                    self.assertIn(name, series)
                for name in ("cpu.usage.user", "cpu.usage.system", "cpu.count"):
                    self.assertNotIn(name, series)
                mem_total = [v for _, v in values(db, "sm_stat_mem_total")]
                self.assertTrue(mem_total)
                self.assertEqual(set(mem_total), {twrun.proc_meminfo_total()})
                # CPU time is counted in clock ticks (10 ms at 100 Hz): over a 1 s
                # period on a busy machine one tick of jitter shows as up to 1 %.
                for _, v in values(db, "sm_stat_cpu_util"):
                    self.assertTrue(0 <= v <= 101, v)
                st = os.statvfs("/")
                self.assertIn(st.f_blocks * st.f_frsize // 1024,
                              [v for _, v in values(db, "sm_stat_storage_totalsize_filesystem_root")])
                self.assertTrue(values(db, "sm_stat_storage_totalsize_directory_tmp"), "directory size stored")
                expiry = int(re.match(HEALTH, d.read("health.xml")).group(1))
                now = time.clock_gettime(time.CLOCK_MONOTONIC)
                self.assertTrue(now + 600 - 30 < expiry <= now + 600, (expiry, now))

    def test_restart_keeps_rows_within_the_ttl(self):
        with twrun.TempDir() as d:
            self.run_service(d)
            db = d.file("tw.db")
            with sqlite3.connect(db) as c:
                c.execute('INSERT INTO "sm_stat_mem_total" VALUES (1000, 1)')  # far older than the TTL
                c.execute('INSERT INTO "sm_stat_mem_total" VALUES (%d, 2)' % (int(time.time()) - 60))
            before = len(values(db, "sm_stat_cpu_util"))
            self.run_service(d)
            stamps = [t for t, _ in values(db, "sm_stat_mem_total")]
            self.assertNotIn(1000, stamps)
            self.assertTrue(any(t <= int(time.time()) - 60 for t in stamps), stamps)
            self.assertGreater(len(values(db, "sm_stat_cpu_util")), before)


if __name__ == "__main__":
    unittest.main()
