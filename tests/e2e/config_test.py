"""Bad configurations: each ends start-up with exit status 1 and an error line
that names its key (or the file and line), without running the main loop."""

import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import twrun  # noqa: E402

FAILED = "error Tallywick: Failed while initializing the app: "


def edit(pairs):
    """A change of the default "tallywick" content: (old, new) replacements;
    "{dir}" in old stands for the test's directory."""
    def apply(d):
        text = twrun.default_tallywick(d)
        for old, new in pairs:
            old = old.replace("{dir}", d)
            assert old in text, old
            text = text.replace(old, new, 1)
        return twrun.config(d, text)
    return apply


def ttl(value):
    return edit([("<statTtlSec>3600</statTtlSec>", "<statTtlSec>%s</statTtlSec>" % value)])


def cpu_period(value):
    return edit([("<cpuMemNetSamplingPeriodSec>5<", "<cpuMemNetSamplingPeriodSec>%s<" % value)])


def size_period(value):
    return edit([("<storageSizeSamplingPeriodSec>10<", "<storageSizeSamplingPeriodSec>%s<" % value)])


def many_dirs(d):
    """About 10 MB: 150,000 monitored directories, the last one without a name."""
    dirs = "".join("<d%d><path>%s/x%d</path><name>x%d</name></d%d>\n" % (i, d, i, i, i) for i in range(149999))
    return edit([("<dirs>", "<dirs>" + dirs), ("<tmp><path>{dir}</path><name>tmp</name></tmp>",
                                               "<d149999><path>%s</path></d149999>" % d)])(d)


CASES = [
    # (name, configuration maker, lines the log must contain, in order)
    ("no tallywick node", lambda d: twrun.config(d).replace("tallywick>", "tallywic>"),
     ["error Tallywick: Missing key tallywick"]),
    ("no persistence", edit([("persistence>", "persistenc>"), ("persistence>", "persistenc>")]),
     ["error Tallywick: Missing key persistence"]),
    ("no engine", edit([("<engine>sqlite</engine>", "")]), ["error Tallywick: Missing key persistence/engine"]),
    ("engine of other case", edit([("<engine>sqlite<", "<engine>SQLite<")]),
     ["error Tallywick: Unable to open and initialize storage engine: Only sqlite storage engine is supported."]),
    ("empty engine", edit([("<engine>sqlite<", "<engine><")]),
     ["error Tallywick: Unable to open and initialize storage engine: Only sqlite storage engine is supported."]),
    ("no locator", edit([("<locator>", "<x>"), ("</locator>", "</x>")]),
     ["error Tallywick: Missing key persistence/locator"]),
    ("empty locator", edit([("<locator>{dir}/tw.db</locator>", "<locator>  <!-- none --></locator>")]),
     ["error Tallywick: Empty value for key persistence/locator"]),
    ("no ttl", edit([("<statTtlSec>3600</statTtlSec>", "")]), ["error Tallywick: Missing key persistence/statTtlSec"]),
    ("ttl with unit", ttl("5s"), [FAILED + "configuration {cfg}, key tallywick/persistence/statTtlSec: "
                                  "'5s' is not a signed 64-bit integer"]),
    ("zero ttl", ttl("0"), ["error Tallywick: Invalid value 0 for key persistence/statTtlSec: must be at least 1 second"]),
    ("negative ttl", ttl("-5"), ["error Tallywick: Invalid value -5 for key persistence/statTtlSec"]),
    ("ttl overflowing", ttl("9223372036855"),
     ["error Tallywick: Invalid value 9223372036855 for key persistence/statTtlSec: must be at most 9223372036854 seconds"]),
    ("zero period", cpu_period("0"), ["error Tallywick: Invalid value 0 for key cpuMemNetSamplingPeriodSec"]),
    ("negative period", size_period("-1"), ["error Tallywick: Invalid value -1 for key storageSizeSamplingPeriodSec"]),
    ("period not a number", size_period("abc"),
     [FAILED + "configuration {cfg}, key tallywick/storageSizeSamplingPeriodSec: 'abc' is not a signed 64-bit integer"]),
    ("period beyond 64 bits", cpu_period("99999999999999999999"),
     [FAILED + "configuration {cfg}, key tallywick/cpuMemNetSamplingPeriodSec: '99999999999999999999'"]),
    ("no health file", edit([("<health_status_file>", "<h>"), ("</health_status_file>", "</h>")]),
     ["error Tallywick: Missing key health_status_file"]),
    ("empty health file", edit([("<health_status_file>{dir}/health.xml<", "<health_status_file> <")]),
     ["error Tallywick: Empty value for key health_status_file"]),
    ("no storage provider", edit([("storageSizeProvider>", "x>"), ("storageSizeProvider>", "x>")]),
     ["error Tallywick: Missing key storageSizeProvider"]),
    ("no filesystems", edit([("filesystems>", "fs>"), ("filesystems>", "fs>")]),
     ["error Tallywick: Missing key storageSizeProvider/filesystems"]),
    ("no dirs", edit([("<dirs>", "<dir>"), ("</dirs>", "</dir>")]), ["error Tallywick: Missing key storageSizeProvider/dirs"]),
    ("file system without path", edit([("<path>/</path>", "")]),
     ["error Tallywick: Missing key filesystems/%1/path", "error Tallywick: in filesystems/root/path"]),
    ("dir without name", edit([("<name>tmp</name>", "")]),
     ["error Tallywick: Missing key dirs/%1/name", "error Tallywick: in dirs/tmp/name"]),
    ("file system without name", edit([("<name>root</name>", "")]),
     ["error Tallywick: Missing key filesystems/%1/name", "error Tallywick: in filesystems/root/name"]),
    ("dir without path", edit([("<path>{dir}</path>", "")]),
     ["error Tallywick: Missing key dirs/%1/path", "error Tallywick: in dirs/tmp/path"]),
    ("10 MB of dirs, the last without name", many_dirs,
     ["error Tallywick: Missing key dirs/%1/name", "error Tallywick: in dirs/d149999/name"]),
    ("persistence as text", edit([("<persistence><engine>", "<persistence>sqlite<x><engine>"),
                                  ("</statTtlSec></persistence>", "</statTtlSec></x></persistence>")]),
     ["error Tallywick: Missing key persistence/engine"]),
    ("huge ttl value", ttl("9" * 1000000),
     [FAILED + "configuration {cfg}, key tallywick/persistence/statTtlSec: '" + "9" * 64 +
      "...' (1000000 bytes) is not a signed 64-bit integer"]),
    ("period at the 64-bit limit", cpu_period("9223372036854775807"),
     ["error Tallywick: Invalid value 9223372036854775807 for key cpuMemNetSamplingPeriodSec: "
      "must be at most 9223372036854 seconds"]),
    ("two ttl values", ttl("1</statTtlSec><statTtlSec>2"),
     [FAILED + "configuration {cfg}: key tallywick/persistence/statTtlSec is ambiguous"]),
    ("empty file system name", edit([("<name>root</name>", "<name/>")]),
     ["error Tallywick: Empty value for key filesystems/root/name"]),
    ("two file systems of one name", edit([("</root>", "</root><root><path>/x</path><name>x</name></root>")]),
     [FAILED + "configuration {cfg}: key tallywick/storageSizeProvider/filesystems/root is ambiguous"]),
    ("two persistence nodes", edit([("<persistence>", "<persistence/><persistence>")]),
     [FAILED + "configuration {cfg}: key tallywick/persistence is ambiguous"]),
    ("parallel collection not a boolean",
     lambda d: twrun.config(d, extra="  <statsRegistry><parallelCollect>yes</parallelCollect></statsRegistry>\n"),
     [FAILED + "configuration {cfg}, key statsRegistry/parallelCollect: 'yes' is not a boolean (true, false, 1 or 0)"]),
]


class BadConfigurationTest(unittest.TestCase):
    def check_failed_start(self, messages, want):
        pos = 0
        for line in want:
            found = [i for i in range(pos, len(messages)) if messages[i].startswith(line)]
            self.assertTrue(found, "%r not in:\n%s" % (line, "\n".join(messages)))
            pos = found[0] + 1
        self.assertTrue(any(m.startswith("info Tallywick: Initialization took ") and m.endswith("ms with status=false.")
                            for m in messages[pos:]), messages)
        self.assertEqual(messages[-1], "info Tallywick: Exiting with status=false.")
        self.assertNotIn("info Tallywick: Running main loop", messages)

    def test_table(self):
        for name, make, want in CASES:
            with self.subTest(name), twrun.TempDir() as d:
                cfg = d.write("tw.xml", make(d.path))
                status, _, _ = twrun.run([cfg])
                self.assertEqual(status, 1)
                self.check_failed_start(twrun.messages(d.read("log/Tallywick.log")),
                                        [w.replace("{cfg}", cfg) for w in want])
                self.assertEqual(d.read("health.xml"), "")

    def test_unreadable_files_report_on_standard_error(self):
        # Without a readable file the default log directory holds; as nobody it
        # cannot be created, so everything goes to standard error.
        cases = [
            ("malformed", "<config>\n  <tallywick>\n    <persistence></persistenc>\n</config>\n",
             ": line 3: Start-end tags mismatch"),
            ("two roots", "<config/>\n<config/>\n", ": line 2: more than one root element"),
            ("missing", None, ": cannot read the file: No such file or directory"),
            ("not UTF-8", b"<config>\n<tallywick><health_status_file>h\xe9.xml</health_status_file>",
             ": line 2: byte 0xe9 is not valid UTF-8 (the file must be UTF-8 text)"),
            ("overlong UTF-8", b"<config>\xc0\xaf</config>", ": line 1: byte 0xc0 is not valid UTF-8"),
            ("UTF-16", "<config/>".encode("utf-16"), ": line 1: byte 0xff is not valid UTF-8"),
            ("control character", "<config>\n\n<a>\x01</a></config>", ": line 3: control character 0x01 is not allowed"),
            ("deep nesting", "<config>\n" + "<a>" * 100000 + "</a>" * 100000 + "</config>\n",
             ": line 2: elements nested deeper than 64 levels"),
            ("10 MB, malformed at the end", "<config>\n" + "<!-- padding -->\n" * 600000 + "<a></b></config>\n",
             ": line 600002: Start-end tags mismatch"),
        ]
        for name, text, want in cases:
            with self.subTest(name), twrun.TempDir() as d:
                cfg = d.file("absent.xml")
                if isinstance(text, bytes):
                    cfg = d.write("tw.xml", "")
                    with open(cfg, "wb") as f:
                        f.write(text)
                elif text is not None:
                    cfg = d.write("tw.xml", text)
                status, _, err = twrun.run([cfg], prefix=twrun.unprivileged())
                self.assertEqual(status, 1)
                messages = twrun.messages(err)
                self.assertIn("warning -: Cannot open log file /var/log/norvex/fenmark/Tallywick.log", err)
                self.check_failed_start(messages, [FAILED + "configuration " + cfg + want])


if __name__ == "__main__":
    unittest.main()
