"""End-to-end tests of tallywick-report: the built binary against databases in
the service's layout (list, show, chart, exit statuses, read-only use beside a
writer, downsampling of a month of one-second samples)."""

import hashlib
import json
import math
import os
import sqlite3
import subprocess
import sys
import tempfile
import unittest
import xml.etree.ElementTree as ET

SOURCE = os.environ.get("TW_SOURCE_DIR", os.path.join(os.path.dirname(__file__), "..", ".."))
sys.path.insert(0, os.path.join(SOURCE, "tests", "apps", "tallywick-report"))
from report_db import ReportDb, table_name  # noqa: E402

BIN = os.path.join(os.path.dirname(os.environ.get("TALLYWICK_BIN", os.path.join(SOURCE, "build", "bin", "tallywick"))),
                   "tallywick-report")
T0 = 1733547600  # 2024-12-07T05:00:00Z
SVG = "{http://www.w3.org/2000/svg}"


def run(*args):
    p = subprocess.run([BIN, *args], capture_output=True, text=True, timeout=120)
    return p.returncode, p.stdout, p.stderr


def digest(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


class ReportCliTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.TemporaryDirectory(prefix="tw_report_e2e_")
        cls.dir = cls.tmp.name
        cls.db = os.path.join(cls.dir, "tallywick.db")
        db = ReportDb(cls.db)
        db.add_series("cpu.util", "cpu", "percent", 1)
        db.add_series("mem.total", "memory", "kb", 0)
        db.add_series("net.rx.activity.eth0.100", "network", "kb_per_sec", 1, instance="eth0.100")
        # A day at 60 s; cpu.util misses 10:00..11:59, and one value is invalid.
        db.add_samples("cpu.util", [(T0 + 60 * i, 50 + 40 * math.sin(i / 30.0))
                                    for i in range(1440) if not 300 <= i < 420])
        db.add_samples("mem.total", [(T0 + 60 * i, 16303248) for i in range(1440)])
        db.add_samples("net.rx.activity.eth0.100", [(T0 + 60 * i, None if i == 5 else 1.5 * i) for i in range(10)])
        db.close()

    @classmethod
    def tearDownClass(cls):
        cls.tmp.cleanup()

    def test_list_names_every_series_with_its_table_unit_and_counts(self):
        rc, out, err = run("--db", self.db, "list", "--format", "json")
        self.assertEqual(rc, 0, err)
        rows = {r["series"]: r for r in json.loads(out)}
        self.assertEqual(sorted(rows), ["cpu.util", "mem.total", "net.rx.activity.eth0.100"])
        cpu = rows["cpu.util"]
        self.assertEqual((cpu["table"], cpu["unit"], cpu["unit_label"], cpu["category"]),
                         ("sm_stat_cpu_util", "percent", "%", "cpu"))
        self.assertEqual((cpu["first"], cpu["last"], cpu["rows"]), (T0, T0 + 60 * 1439, 1320))
        net = rows["net.rx.activity.eth0.100"]
        self.assertEqual((net["table"], net["instance"], net["rows"]),
                         ("sm_stat_net_rx_activity_eth0_100", "eth0.100", 10))
        rc, out, _ = run("--db", self.db, "list")
        self.assertEqual(rc, 0)
        self.assertRegex(out.splitlines()[0], r"^SERIES +UNIT +CATEGORY +FIRST +LAST +ROWS +TABLE$")
        self.assertRegex(out, r"mem\.total +KiB +Memory +2024-12-07T05:00:00Z +2024-12-08T04:59:00Z +1440 +"
                              r"sm_stat_mem_total\n")

    def test_show_writes_the_range_in_each_format(self):
        rc, out, err = run("--db", self.db, "show", "net.rx.activity.eth0.100", "--since", str(T0 + 240),
                           "--until", "2024-12-07T05:06:00Z", "--format", "csv")
        self.assertEqual(rc, 0, err)
        self.assertEqual(out, "timestamp,time,value\n"
                              "%d,2024-12-07T05:04:00Z,6\n"
                              "%d,2024-12-07T05:05:00Z,\n"
                              "%d,2024-12-07T05:06:00Z,9\n" % (T0 + 240, T0 + 300, T0 + 360))
        rc, out, _ = run("--db", self.db, "show", "mem.total", "--until", str(T0 + 60), "--format", "json")
        self.assertEqual(rc, 0)
        doc = json.loads(out)
        self.assertEqual(doc["samples"], [{"timestamp": T0, "time": "2024-12-07T05:00:00Z", "value": 16303248},
                                          {"timestamp": T0 + 60, "time": "2024-12-07T05:01:00Z",
                                           "value": 16303248}])
        rc, out, _ = run("--db", self.db, "show", "sm_stat_mem_total", "--since", str(T0 + 60 * 1439))
        self.assertEqual(out.splitlines()[1:], ["2024-12-08T04:59:00Z  %d  16303248" % (T0 + 60 * 1439)])

    def test_exit_statuses_and_messages(self):
        missing = os.path.join(self.dir, "missing.db")
        cases = [
            (("--db", self.db, "show", "cpu.utl"), 1, "unknown series 'cpu.utl'"),
            (("--db", missing, "list"), 1, "cannot open database " + missing),
            (("--config", os.path.join(self.dir, "none.xml"), "list"), 1, "none.xml"),
            (("list", "--format", "yaml"), 2, "invalid format 'yaml'"),
            (("chart", "cpu.util", "--out", "x.png"), 2, "must end in .svg or .html"),
            (("frobnicate",), 2, "unknown command 'frobnicate'"),
            (("--db", self.db, "chart", "cpu.util", "--out", os.path.join(self.dir, "no", "c.svg")), 1,
             os.path.join(self.dir, "no", "c.svg")),
        ]
        for args, status, text in cases:
            rc, out, err = run(*args)
            self.assertEqual(rc, status, (args, err))
            self.assertIn(text, err, args)
            self.assertEqual(out, "", args)
        rc, out, _ = run("--help")
        self.assertEqual(rc, 0)
        self.assertIn("Usage: tallywick-report", out)

    def test_database_path_comes_from_the_service_configuration(self):
        config = os.path.join(self.dir, "tallywick.xml")
        with open(config, "w") as f:
            f.write("<config><tallywick><persistence><engine>sqlite</engine><locator>%s</locator>"
                    "<statTtlSec>3600</statTtlSec></persistence></tallywick></config>" % self.db)
        rc, out, err = run("--config", config, "list", "--format", "csv")
        self.assertEqual(rc, 0, err)
        self.assertIn("\nmem.total,sm_stat_mem_total,kb,memory,,", out)

    def test_chart_svg_is_well_formed_with_panels_per_unit_and_gaps(self):
        out = os.path.join(self.dir, "day.svg")
        rc, _, err = run("--db", self.db, "chart", "cpu.util", "mem.total", "net.rx.activity.eth0.100",
                         "--out", out, "--title", "a <day>")
        self.assertEqual(rc, 0, err)
        root = ET.parse(out).getroot()
        panels = root.findall(SVG + "g[@class='panel']")
        self.assertEqual([p.get("data-unit") for p in panels], ["%", "KiB", "KiB/s"])
        series = {g.get("data-series"): g for g in root.iter(SVG + "g") if g.get("class") == "series"}
        # The two-hour hole and the invalid value each break a line once.
        self.assertEqual(series["cpu.util"].get("data-segments"), "2")
        self.assertEqual(series["mem.total"].get("data-segments"), "1")
        self.assertEqual(series["net.rx.activity.eth0.100"].get("data-segments"), "2")
        self.assertEqual(root.find(SVG + "text[@class='title']").text, "a <day>")

    def test_reads_beside_a_writer_and_changes_nothing(self):
        before = digest(self.db)
        writer = sqlite3.connect(self.db, isolation_level=None)
        writer.execute("BEGIN IMMEDIATE")
        writer.execute('INSERT INTO "sm_stat_mem_total" VALUES (?, ?)', (T0 - 60, 1))
        try:
            rc, out, err = run("--db", self.db, "show", "mem.total", "--until", str(T0), "--format", "csv")
            self.assertEqual(rc, 0, err)
            self.assertEqual(out.splitlines()[1:], ["%d,2024-12-07T05:00:00Z,16303248" % T0])
        finally:
            writer.execute("ROLLBACK")
            writer.close()
        self.assertEqual(digest(self.db), before)

    def test_a_month_of_seconds_downsamples_to_the_plot_width(self):
        path = os.path.join(self.dir, "month.db")
        db = ReportDb(path)
        db.add_series("cpu.util", "cpu", "percent", 1)
        n = 30 * 86400
        # One sample a second for 30 days, with the hour from 10 days on missing.
        db.conn.execute(
            'WITH RECURSIVE c(i) AS (SELECT 0 UNION ALL SELECT i + 1 FROM c WHERE i < ?) '
            'INSERT INTO "%s" SELECT ? + i, 50.0 + (i * 7919) %% 1000 / 25.0 FROM c '
            'WHERE NOT (i BETWEEN 864000 AND 867599)' % table_name("cpu.util"), (n - 1, T0))
        db.close()
        out = os.path.join(self.dir, "month.html")
        rc, _, err = run("--db", path, "chart", "cpu.util", "--out", out, "--width", "960")
        self.assertEqual(rc, 0, err)
        with open(out) as f:
            html = f.read()
        self.assertIn('data-series="cpu.util" data-segments="2"', html)
        points = int(html.split('data-points="')[1].split('"')[0])
        plot_width = 960 - 84 - 24
        self.assertLessEqual(points, 2 * plot_width + 2)
        self.assertGreaterEqual(points, plot_width)
        self.assertIn("<td class=\"num\">%d</td>" % (n - 3600), html)
        self.assertLess(len(html), 200000)


if __name__ == "__main__":
    unittest.main(verbosity=2)
