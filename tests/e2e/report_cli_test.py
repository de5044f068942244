"""tallywick-report, the built binary, against databases in the service's layout,
hostile ones included: list, show and chart output, exit statuses, read-only use
beside a writer, downsampling of a month of one-second samples."""

import json
import math
import os
import pathlib
import re
import sqlite3
import sys
import tempfile
import unittest
import xml.etree.ElementTree as ET

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import twrun  # noqa: E402
from twrun import report  # noqa: E402

T0 = 1733547600  # 2024-12-07T05:00:00Z
SVG = "{http://www.w3.org/2000/svg}"
SERIES = ["cpu.empty", "cpu.gone", "cpu.text", "cpu.util", "mem.total", "net.rx.activity.eth0.100",
          "net.tx.activity.my,if", 'sm_stat_a"b', "sm_stat_storage_used_filesystem_root"]


class ReportCliTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.TemporaryDirectory(prefix="tw_report_e2e_")
        cls.dir = cls.tmp.name
        cls.db = os.path.join(cls.dir, "tallywick.db")
        db = twrun.ReportDb(cls.db)
        # A day at 60 s; cpu.util misses 10:00..11:59, and one net value is invalid.
        db.add_series("cpu.util", "cpu", "percent", 1,
                      [(T0 + 60 * i, 50 + 40 * math.sin(i / 30.0)) for i in range(1440) if not 300 <= i < 420])
        db.add_series("mem.total", "memory", "kb", 0, [(T0 + 60 * i, 16303248) for i in range(1440)])
        db.add_series("net.rx.activity.eth0.100", "network", "kb_per_sec", 1,
                      [(T0 + 60 * i, None if i == 5 else 1.5 * i) for i in range(10)], instance="eth0.100")
        # Hostile: a comma in the name, rows stored out of time order, an infinity.
        db.add_series("net.tx.activity.my,if", "network", "kb_per_sec", 1,
                      [(T0 + 120, math.inf), (T0 + 60, None), (T0, 2.25)], instance="my,if")
        db.add_series("cpu.gone", "cpu", "percent", 1)  # metadata without its table
        db.conn.execute("DROP TABLE sm_stat_cpu_gone")
        db.add_series("storage.used.filesystem.root", "storage", "kb", 0, [(T0, 7)], with_metadata=False)
        db.add_series("cpu.text", "cpu", "percent", 1, [(T0, 1.0), (T0 + 60, "lots")])
        db.add_series("cpu.empty", "cpu", "percent", 1)
        db.conn.execute('CREATE TABLE "sm_stat_a""b" (sm_timestamp INTEGER PRIMARY KEY, sm_stat_value)')
        db.conn.execute('INSERT INTO "sm_stat_a""b" VALUES (?, ?)', (T0, -2 ** 63))
        db.close()

    @classmethod
    def tearDownClass(cls):
        cls.tmp.cleanup()

    def out(self, *args):
        rc, out, err = report("--db", self.db, *args)
        self.assertEqual((rc, err), (0, ""), args)
        return out

    def test_list_in_each_format(self):
        rows = json.loads(self.out("list", "--format", "json"))
        self.assertEqual([r["series"] for r in rows], SERIES)
        self.assertEqual(rows[3], {"series": "cpu.util", "table": "sm_stat_cpu_util", "table_present": True,
                                   "unit": "percent", "unit_label": "%", "category": "cpu", "instance": "",
                                   "first": T0, "last": T0 + 60 * 1439, "rows": 1320})
        self.assertEqual((rows[1]["table_present"], rows[1]["rows"]), (False, 0))
        csv = self.out("list", "--format", "csv").splitlines()
        self.assertEqual(len(csv), 1 + len(SERIES))
        for line in ["series,table,unit,category,instance,first,last,rows", "cpu.gone,sm_stat_cpu_gone,percent,cpu,,,,0",
                     "net.rx.activity.eth0.100,sm_stat_net_rx_activity_eth0_100,kb_per_sec,network,eth0.100,"
                     "2024-12-07T05:00:00Z,2024-12-07T05:09:00Z,10",
                     '"net.tx.activity.my,if","sm_stat_net_tx_activity_my,if",kb_per_sec,network,"my,if",'
                     "2024-12-07T05:00:00Z,2024-12-07T05:02:00Z,3",
                     '"sm_stat_a""b","sm_stat_a""b",,,,2024-12-07T05:00:00Z,2024-12-07T05:00:00Z,1']:
            self.assertIn(line, csv)
        table = self.out("list").splitlines()
        for line in ["SERIES".ljust(38) + "UNIT    CATEGORY  FIRST                 LAST                  ROWS  TABLE",
                     "cpu.gone".ljust(38) + "%       CPU       -                     -                        -  "
                     "sm_stat_cpu_gone (missing)",
                     "mem.total".ljust(38) + "KiB     Memory    2024-12-07T05:00:00Z  2024-12-08T04:59:00Z  1440  "
                     "sm_stat_mem_total",
                     "net.rx.activity.eth0.100".ljust(38) + "KiB/ms  Network   2024-12-07T05:00:00Z  "
                     "2024-12-07T05:09:00Z    10  sm_stat_net_rx_activity_eth0_100",
                     "sm_stat_storage_used_filesystem_root                    2024-12-07T05:00:00Z  "
                     "2024-12-07T05:00:00Z     1  sm_stat_storage_used_filesystem_root"]:
            self.assertIn(line, table)

    def test_show_in_each_format(self):
        hostile = ("net.tx.activity.my,if", "--format")
        self.assertEqual(self.out("show", *hostile, "csv"), "timestamp,time,value\n"
                         "1733547600,2024-12-07T05:00:00Z,2.25\n"
                         "1733547660,2024-12-07T05:01:00Z,\n"
                         "1733547720,2024-12-07T05:02:00Z,inf\n")
        self.assertEqual(self.out("show", *hostile, "json"),
                         '{"series": "net.tx.activity.my,if", "table": "sm_stat_net_tx_activity_my,if", '
                         '"unit": "kb_per_sec", "unit_label": "KiB/ms", "samples": [\n'
                         '  {"timestamp": 1733547600, "time": "2024-12-07T05:00:00Z", "value": 2.25},\n'
                         '  {"timestamp": 1733547660, "time": "2024-12-07T05:01:00Z", "value": null},\n'
                         '  {"timestamp": 1733547720, "time": "2024-12-07T05:02:00Z", "value": null}\n]}\n')
        self.assertEqual(self.out("show", *hostile, "table"), "TIME                   TIMESTAMP  VALUE\n"
                         "2024-12-07T05:00:00Z  1733547600  2.25\n"
                         "2024-12-07T05:01:00Z  1733547660  -\n"
                         "2024-12-07T05:02:00Z  1733547720  inf\n")
        # Both bounds are inclusive and take either time form.
        self.assertEqual(self.out("show", "net.rx.activity.eth0.100", "--since", str(T0 + 240),
                                  "--until", "2024-12-07T05:06:00Z", "--format", "csv"),
                         "timestamp,time,value\n%d,2024-12-07T05:04:00Z,6\n%d,2024-12-07T05:05:00Z,\n"
                         "%d,2024-12-07T05:06:00Z,9\n" % (T0 + 240, T0 + 300, T0 + 360))
        doc = json.loads(self.out("show", "sm_stat_mem_total", "--until", str(T0 + 60), "--format", "json"))
        self.assertEqual(doc["series"], "mem.total")
        self.assertEqual(doc["samples"], [{"timestamp": T0, "time": "2024-12-07T05:00:00Z", "value": 16303248},
                                          {"timestamp": T0 + 60, "time": "2024-12-07T05:01:00Z", "value": 16303248}])
        self.assertEqual(self.out("show", 'sm_stat_a"b').splitlines()[1:],
                         ["2024-12-07T05:00:00Z  %d  -9223372036854775808" % T0])
        self.assertTrue(self.out("show", "cpu.empty", "--format", "json").endswith('"samples": []}\n'))

    def test_exit_statuses_and_messages(self):
        path = os.path.join
        with open(path(self.dir, "notes.db"), "w") as f:
            f.write("not a database at all, just some text that is long enough to look like a header")
        sqlite3.connect(path(self.dir, "other.db")).execute("CREATE TABLE t(x)").connection.close()
        unknown = "tallywick-report: error: unknown series '%s' in " + self.db + \
                  " (tallywick-report list shows the series)\n"
        cases = [
            (("--db", self.db, "show", "cpu.utl"), 1, unknown % "cpu.utl"),
            (("--db", self.db, "show", "sm_stats_metadata"), 1, unknown % "sm_stats_metadata"),
            (("--db", self.db, "show", 'x" OR 1=1 --'), 1, unknown % 'x" OR 1=1 --'),
            (("--db", self.db, "chart", "cpu.gone", "--out", "x.svg"), 1,
             "tallywick-report: error: series 'cpu.gone' has no table 'sm_stat_cpu_gone' in %s\n" % self.db),
            (("--db", self.db, "chart", "cpu.empty", "--out", "x.svg"), 1, "tallywick-report: error: no samples to "
             "chart: the series are empty; give --since and --until to draw the range anyway\n"),
            (("--db", path(self.dir, "missing.db"), "list"), 1, "cannot open database " + path(self.dir, "missing.db")),
            (("--db", path(self.dir, "notes.db"), "list"), 1, "notes.db: cannot read it: file is not a database"),
            (("--db", path(self.dir, "other.db"), "list"), 1, "holds no sm_stats_metadata table: not a tallywick database"),
            (("--config", path(self.dir, "none.xml"), "list"), 1, "none.xml"),
            (("--db", self.db, "chart", "cpu.util", "--out", path(self.dir, "no", "c.svg")), 1,
             path(self.dir, "no", "c.svg")),
            (("frobnicate",), 2, "tallywick-report: unknown command 'frobnicate' (list, show or chart)\n"
                                 "Try 'tallywick-report --help'.\n"),
            (("list", "--format", "yaml"), 2, "invalid format 'yaml'"),
        ]
        for args, status, text in cases:
            with self.subTest(args=args):
                rc, out, err = report(*args)
                self.assertEqual((rc, out), (status, ""), err)
                self.assertIn(text, err)
        self.assertFalse(os.path.exists(path(self.dir, "missing.db")), "a read-only open creates nothing")
        # Rows before a bad value have gone out; the error names table, value and row.
        rc, out, err = report("--db", self.db, "show", "cpu.text", "--format", "csv")
        self.assertEqual((rc, out.splitlines()), (1, ["timestamp,time,value", "%d,2024-12-07T05:00:00Z,1" % T0]))
        self.assertEqual(err, "tallywick-report: error: database %s: table sm_stat_cpu_text holds a non-numeric value "
                              "'lots' at sm_timestamp %d\n" % (self.db, T0 + 60))
        self.assertEqual(report("-V")[:2], (0, "tallywick-report 1.0\n"))
        rc, out, _ = report("--help")
        self.assertEqual(rc, 0)
        self.assertIn("Usage: tallywick-report", out)

    def test_database_path_comes_from_the_service_configuration(self):
        config = os.path.join(self.dir, "tallywick.xml")
        with open(config, "w") as f:
            f.write("<config><tallywick><persistence><engine>sqlite</engine><locator>%s</locator>"
                    "<statTtlSec>3600</statTtlSec></persistence></tallywick></config>" % self.db)
        rc, out, err = report("--config", config, "list", "--format", "csv")
        self.assertEqual(rc, 0, err)
        self.assertIn("\nmem.total,sm_stat_mem_total,kb,memory,,", out)

    def test_chart_svg_has_a_panel_per_unit_and_breaks_lines_at_gaps(self):
        out = os.path.join(self.dir, "day.svg")
        with open(out, "w") as f:
            f.write("old")
        self.out("chart", "cpu.util", "mem.total", "net.rx.activity.eth0.100", "--out", out, "--title", "a <day>")
        self.assertEqual(os.stat(out).st_mode & 0o777, 0o644)
        root = ET.parse(out).getroot()
        self.assertEqual([p.get("data-unit") for p in root.findall(SVG + "g[@class='panel']")], ["%", "KiB", "KiB/ms"])
        series = {g.get("data-series"): g.get("data-segments") for g in root.iter(SVG + "g") if g.get("class") == "series"}
        # The two-hour hole and the invalid value each break a line once.
        self.assertEqual(series, {"cpu.util": "2", "mem.total": "1", "net.rx.activity.eth0.100": "2"})
        self.assertEqual(root.find(SVG + "text[@class='title']").text, "a <day>")

    def test_chart_html_range_comes_from_the_data_or_the_bounds(self):
        out = os.path.join(self.dir, "c.html")

        def chart(*args):
            rc, _, err = report("--db", self.db, "chart", *args, "--out", out)
            with open(out) as f:
                html = f.read()
            return err, html, re.search(r"([^\s>]+) to (\S+) \(UTC\), database " + re.escape(self.db), html).groups()
        err, html, span = chart("cpu.util", "--title", "eth0 <traffic>")
        self.assertEqual(span, ("2024-12-07T05:00:00Z", "2024-12-08T04:59:00Z"))
        self.assertTrue(html.startswith("<!DOCTYPE html>"))
        self.assertIn("<title>eth0 &lt;traffic&gt;</title>", html)
        self.assertIn('data-series="cpu.util" data-segments="2"', html)
        # Self-contained: no script, nothing fetched.
        self.assertNotIn("<script", html)
        self.assertIsNone(re.search(r'(src|href)="(https?:|//)', html))
        err, html, span = chart("cpu.util", "--gap", "7300", "--since", str(T0 + 600), "--until", "2024-12-07T06:00:00Z")
        self.assertEqual(span, ("2024-12-07T05:10:00Z", "2024-12-07T06:00:00Z"))
        self.assertIn('data-series="cpu.util" data-segments="1"', html)
        # A single sample is drawn over the minute around it.
        self.assertEqual(chart("sm_stat_storage_used_filesystem_root")[2], ("2024-12-07T04:59:30Z", "2024-12-07T05:00:30Z"))
        err, html, _ = chart("cpu.empty", "--since", str(T0), "--until", str(T0 + 60))
        self.assertEqual(err, "tallywick-report: warning: cpu.empty has no samples in the range\n")
        self.assertIn("no samples in this time range", html)

    def test_reads_beside_a_writer_and_changes_nothing(self):
        before = pathlib.Path(self.db).read_bytes()
        writer = sqlite3.connect(self.db, isolation_level=None)
        writer.execute("BEGIN IMMEDIATE")
        writer.execute('INSERT INTO "sm_stat_mem_total" VALUES (?, ?)', (T0 - 60, 1))
        try:
            out = self.out("show", "mem.total", "--until", str(T0), "--format", "csv")
            self.assertEqual(out.splitlines()[1:], ["%d,2024-12-07T05:00:00Z,16303248" % T0])
        finally:
            writer.execute("ROLLBACK")
            writer.close()
        self.assertEqual(pathlib.Path(self.db).read_bytes(), before)

    def test_a_month_of_seconds_downsamples_to_the_plot_width(self):
        path = os.path.join(self.dir, "month.db")
        db = twrun.ReportDb(path)
        db.add_series("cpu.util", "cpu", "percent", 1)
        n = 30 * 86400
        # One sample a second for 30 days, with the hour from 10 days on missing.
        db.conn.execute(
            'WITH RECURSIVE c(i) AS (SELECT 0 UNION ALL SELECT i + 1 FROM c WHERE i < ?) '
            'INSERT INTO sm_stat_cpu_util SELECT ? + i, 50.0 + (i * 7919) % 1000 / 25.0 FROM c '
            'WHERE NOT (i BETWEEN 864000 AND 867599)', (n - 1, T0))
        db.close()
        out = os.path.join(self.dir, "month.html")
        rc, _, err = report("--db", path, "chart", "cpu.util", "--out", out, "--width", "960")
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
