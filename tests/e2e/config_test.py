"""Bad configurations: each ends start-up with exit status 1 and an error line
that names its key (or the file and line), without running the main loop."""

import os
import signal
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import twrun  # noqa: E402

FAILED = "Failed while initializing the app: configuration {cfg}"
INVALID = "Unable to open and initialize storage engine: Only sqlite storage engine is supported."


def edit(*pairs):
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


def setting(key, default):
    return lambda value: edit(("<%s>%s<" % (key, default), "<%s>%s<" % (key, value)))


ttl = setting("statTtlSec", 3600)
cpu_period = setting("cpuMemNetSamplingPeriodSec", 5)
size_period = setting("storageSizeSamplingPeriodSec", 10)


def many_dirs(d):
    """About 10 MB: 150,000 monitored directories, the last one without a name."""
    dirs = "".join("<d%d><path>%s/x%d</path><name>x%d</name></d%d>\n" % (i, d, i, i, i) for i in range(149999))
    return edit(("<dirs>", "<dirs>" + dirs),
                ("<tmp><path>{dir}</path><name>tmp</name></tmp>", "<d149999><path>%s</path></d149999>" % d))(d)


def db_below_file(d):
    """The database's directory would have to be made below a regular file."""
    open(os.path.join(d, "plain"), "w").close()
    return edit(("<locator>{dir}/tw.db<", "<locator>%s/plain/tw.db<" % d))(d)


def renamed(tag, to):
    return edit(("<%s>" % tag, "<%s>" % to), ("</%s>" % tag, "</%s>" % to))


CASES = [
    # (name, configuration maker, the error lines the log must hold in order, after "error Tallywick: ")
    ("no tallywick node", lambda d: twrun.config(d).replace("tallywick>", "tallywic>"), ["Missing key tallywick"]),
    ("no persistence", renamed("persistence", "p"), ["Missing key persistence"]),
    ("no engine", edit(("<engine>sqlite</engine>", "")), ["Missing key persistence/engine"]),
    ("engine of other case", edit(("<engine>sqlite<", "<engine>SQLite<")), [INVALID]),
    ("empty engine", edit(("<engine>sqlite<", "<engine><")), [INVALID]),
    ("no locator", renamed("locator", "x"), ["Missing key persistence/locator"]),
    ("empty locator", edit(("<locator>{dir}/tw.db<", "<locator>  <!-- none --><")),
     ["Empty value for key persistence/locator"]),
    ("no ttl", edit(("<statTtlSec>3600</statTtlSec>", "")), ["Missing key persistence/statTtlSec"]),
    ("ttl with unit", ttl("5s"), [FAILED + ", key tallywick/persistence/statTtlSec: '5s' is not a signed 64-bit integer"]),
    ("zero ttl", ttl("0"), ["Invalid value 0 for key persistence/statTtlSec: must be at least 1 second"]),
    ("negative ttl", ttl("-5"), ["Invalid value -5 for key persistence/statTtlSec"]),
    ("ttl overflowing", ttl("9223372036855"),
     ["Invalid value 9223372036855 for key persistence/statTtlSec: must be at most 9223372036854 seconds"]),
    ("zero period", cpu_period("0"), ["Invalid value 0 for key cpuMemNetSamplingPeriodSec"]),
    ("negative period", size_period("-1"), ["Invalid value -1 for key storageSizeSamplingPeriodSec"]),
    ("period not a number", size_period("abc"),
     [FAILED + ", key tallywick/storageSizeSamplingPeriodSec: 'abc' is not a signed 64-bit integer"]),
    ("period beyond 64 bits", cpu_period("99999999999999999999"),
     [FAILED + ", key tallywick/cpuMemNetSamplingPeriodSec: '99999999999999999999'"]),
    ("period at the 64-bit limit", cpu_period("9223372036854775807"),
     ["Invalid value 9223372036854775807 for key cpuMemNetSamplingPeriodSec: must be at most 9223372036854 seconds"]),
    ("huge ttl value", ttl("9" * 1000000), [FAILED + ", key tallywick/persistence/statTtlSec: '" + "9" * 64 +
                                            "...' (1000000 bytes) is not a signed 64-bit integer"]),
    ("two ttl values", ttl("1</statTtlSec><statTtlSec>2"), [FAILED + ": key tallywick/persistence/statTtlSec is ambiguous"]),
    ("no health file", renamed("health_status_file", "h"), ["Missing key health_status_file"]),
    ("empty health file", edit(("<health_status_file>{dir}/health.xml<", "<health_status_file> <")),
     ["Empty value for key health_status_file"]),
    ("no storage provider", renamed("storageSizeProvider", "x"), ["Missing key storageSizeProvider"]),
    ("no filesystems", renamed("filesystems", "fs"), ["Missing key storageSizeProvider/filesystems"]),
    ("no dirs", renamed("dirs", "dir"), ["Missing key storageSizeProvider/dirs"]),
    ("file system without path", edit(("<path>/</path>", "")),
     ["Missing key filesystems/%1/path", "in filesystems/root/path"]),
    ("file system without name", edit(("<name>root</name>", "")),
     ["Missing key filesystems/%1/name", "in filesystems/root/name"]),
    ("dir without path", edit(("<path>{dir}</path>", "")), ["Missing key dirs/%1/path", "in dirs/tmp/path"]),
    ("dir without name", edit(("<name>tmp</name>", "")), ["Missing key dirs/%1/name", "in dirs/tmp/name"]),
    ("10 MB of dirs, the last without name", many_dirs, ["Missing key dirs/%1/name", "in dirs/d149999/name"]),
    ("persistence as text", edit(("<persistence><engine>", "<persistence>sqlite<x><engine>"),
                                 ("</statTtlSec></persistence>", "</statTtlSec></x></persistence>")),
     ["Missing key persistence/engine"]),
    ("empty file system name", edit(("<name>root</name>", "<name/>")), ["Empty value for key filesystems/root/name"]),
    ("two file systems of one name", edit(("</root>", "</root><root><path>/x</path><name>x</name></root>")),
     [FAILED + ": key tallywick/storageSizeProvider/filesystems/root is ambiguous"]),
    ("two persistence nodes", edit(("<persistence>", "<persistence/><persistence>")),
     [FAILED + ": key tallywick/persistence is ambiguous"]),
    ("database below a regular file", db_below_file,
     ["SQLite database open failed for {dir}/plain/tw.db", "Unable to open and initialize storage engine: "]),
    ("metrics file not .prom", lambda d: twrun.config(d, twrun.default_tallywick(d) + "<export><metricsFile>"
                                                      "%s/tw.txt</metricsFile></export>" % d),
     ["Invalid value {dir}/tw.txt for key export/metricsFile: must be a file path ending in .prom"]),
    ("parallel collection not a boolean",
     lambda d: twrun.config(d, extra="  <statsRegistry><parallelCollect>yes</parallelCollect></statsRegistry>\n"),
     [FAILED + ", key statsRegistry/parallelCollect: 'yes' is not a boolean (true, false, 1 or 0)"]),
]


class BadConfigurationTest(unittest.TestCase):
    def find_in_order(self, messages, want, cfg):
        """Checks that messages hold the wanted error lines in order; returns the
        index after the last one."""
        pos = 0
        for line in want:
            line = "error Tallywick: " + line.replace("{cfg}", cfg).replace("{dir}", os.path.dirname(cfg))
            found = [i for i in range(pos, len(messages)) if messages[i].startswith(line)]
            self.assertTrue(found, "%r not in:\n%s" % (line, "\n".join(messages)))
            pos = found[0] + 1
        return pos

    def check_failed_start(self, messages, want, cfg):
        pos = self.find_in_order(messages, want, cfg)
        self.assertTrue(any(m.startswith("info Tallywick: Initialization took ") and m.endswith("ms with status=false.")
                            for m in messages[pos:]), messages)
        self.assertEqual(messages[-1], "info Tallywick: Exiting with status=false.")
        self.assertNotIn("info Tallywick: Running main loop", messages)

    def test_table(self):
        for name, make, want in CASES:
            with self.subTest(name), twrun.TempDir() as d:
                cfg = d.write("tw.xml", make(d.path))
                self.assertEqual(twrun.run([cfg])[0], 1)
                self.check_failed_start(twrun.messages(d.read("log/Tallywick.log")), want, cfg)
                # Only a database that cannot be opened gives a (RED) health file.
                health = d.read("health.xml")
                if name == "database below a regular file":
                    self.assertIn("<status>RED</status>", health)
                else:
                    self.assertEqual(health, "")

    def test_start_up_errors_logged_to_a_file_reach_standard_error(self):
        # Each error line of the failed start, once, and nothing else.
        cases = {name: (make, want) for name, make, want in CASES}
        for name in ("zero ttl", "file system without name", "database below a regular file"):
            make, want = cases[name]
            with self.subTest(name), twrun.TempDir() as d:
                cfg = d.write("tw.xml", make(d.path))
                status, _, err = twrun.run([cfg])
                self.assertEqual(status, 1)
                errors = [m for m in twrun.messages(d.read("log/Tallywick.log")) if m.startswith("error ")]
                self.assertEqual(twrun.messages(err), errors)
                self.find_in_order(errors, want, cfg)
        # A configuration that cannot be read is printed once, in its own form.
        with self.subTest("ttl with unit"), twrun.TempDir() as d:
            make, want = cases["ttl with unit"]
            cfg = d.write("tw.xml", make(d.path))
            status, _, err = twrun.run([cfg])
            self.assertEqual(status, 1)
            self.assertEqual(len(err.splitlines()), 1, err)
            self.assertTrue(err.startswith(want[0].replace("{cfg}", cfg)), err)
        # Once running, errors stay in the log: a failed reopen after the log
        # directory was moved away is written to the moved file only.
        with self.subTest("good start, then an error while running"), twrun.TempDir() as d:
            proc = twrun.start(self, d)
            os.rename(d.file("log"), d.file("moved"))
            proc.send_signal(signal.SIGUSR1)
            reopen_failed = "error Tallywick: Unable to reopen the log file: No such file or directory"
            twrun.wait_for(lambda: reopen_failed in twrun.messages(d.read("moved/Tallywick.log")), "the reopen error")
            self.assertEqual(twrun.stop(self, proc), ("", ""))

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
                cfg = d.file("absent.xml") if text is None else d.write("tw.xml", text)
                status, _, err = twrun.run([cfg], prefix=twrun.unprivileged())
                self.assertEqual(status, 1)
                self.assertIn("warning -: Cannot open log file /var/log/norvex/fenmark/Tallywick.log", err)
                self.check_failed_start(twrun.messages(err), [FAILED + want], cfg)


if __name__ == "__main__":
    unittest.main()
