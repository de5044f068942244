"""Termination signals: each of SIGTERM, SIGINT and SIGHUP stops a running
service with exit status 0 and leaves its database file whole; a burst of
signals never hangs it; a service started with its standard descriptors
closed, or whose standard error's reader has gone or stopped reading, stops on
a signal only."""

import fcntl
import os
import shutil
import signal
import sqlite3
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import twrun  # noqa: E402

EXITING = "info Tallywick: Exiting with status=true."


def rows_of(db):
    """The rows of mem.util, which every pass of the CPU collection stores."""
    try:
        with sqlite3.connect(db) as c:
            return c.execute("SELECT count(*) FROM sm_stat_mem_util").fetchone()[0]
    except sqlite3.Error:
        return 0


def verbose_on_stderr(d):
    """A configuration at 1 s periods whose log, at verbose, is standard error:
    each pass writes to it."""
    return d.write("tw.xml", twrun.config(d.path, twrun.default_tallywick(d.path, 1, 1)).replace(
        "<directory>%s/log</directory><level>info" % d.path, "<directory>-</directory><level>verbose"))


def read_waiting(fd):
    """What the non-blocking pipe fd holds now."""
    text = b""
    while True:
        try:
            chunk = os.read(fd, 65536)
        except BlockingIOError:
            return text
        if not chunk:
            return text
        text += chunk


class SignalTest(unittest.TestCase):
    def test_each_termination_signal_stops_the_service(self):
        for signo in [signal.SIGTERM, signal.SIGINT, signal.SIGHUP]:
            with self.subTest(signal=signo.name), twrun.TempDir() as d:
                self.assertEqual(twrun.stop(self, twrun.start(self, d), signo), ("", ""))
                messages = twrun.messages(d.read("log/Tallywick.log"))
                # A pass under way when the signal came may still log before
                # the exit; the order of the stop's own messages holds.
                received = messages.index("info Tallywick: Received signal %d" % signo)
                self.assertIn("info Tallywick: Shutting down", messages[received + 1:], messages)
                self.assertEqual(messages[-1], EXITING)
                # A copy of the file alone, without its write-ahead log, holds
                # what the passes stored.
                shutil.copy(d.file("tw.db"), d.file("copy.db"))
                with sqlite3.connect(d.file("copy.db")) as c:
                    series = c.execute("SELECT count(*) FROM sm_stats_metadata").fetchone()[0]
                self.assertGreater(series, 0)

    def test_burst_of_signals_never_hangs(self):
        with twrun.TempDir() as d:
            proc = twrun.start(self, d)
            for _ in range(300):
                try:
                    proc.send_signal(signal.SIGHUP)
                except ProcessLookupError:
                    break
            proc.communicate(timeout=twrun.GUARD_SECONDS)
            self.assertEqual(proc.returncode, 0)
            messages = twrun.messages(d.read("log/Tallywick.log"))
            self.assertEqual((messages.count(EXITING), messages[-1]), (1, EXITING))
            received = messages.count("info Tallywick: Received signal 1")
            self.assertGreaterEqual(received, 1)
            self.assertEqual(messages.count("info Tallywick: Shutting down"), received,
                             "every received signal asks for the stop once")

    def test_closed_standard_descriptors_are_no_stop(self):
        # The log goes to standard error, which is closed: its lines must not
        # reach whatever file the service opens next under that number.
        with twrun.TempDir() as d:
            cfg = d.write("tw.xml", twrun.config(d.path, twrun.default_tallywick(d.path, 1, 1)).replace(
                "<directory>%s/log</directory>" % d.path, "<directory>-</directory>"))
            proc = subprocess.Popen(["bash", "-c", 'exec "$0" "$1" >&- 2>&-', twrun.BIN, cfg],
                                    stdin=subprocess.DEVNULL)
            self.addCleanup(lambda: proc.poll() is None and proc.kill())

            twrun.wait_for(lambda: rows_of(d.file("tw.db")) >= 3 or proc.poll() is not None, "three passes")
            self.assertIsNone(proc.poll(), "the service stopped by itself")
            proc.send_signal(signal.SIGTERM)
            self.assertEqual(proc.wait(timeout=twrun.GUARD_SECONDS), 0)

    def test_a_log_reader_that_has_gone_is_no_stop(self):
        with twrun.TempDir() as d:
            proc = subprocess.Popen([twrun.BIN, verbose_on_stderr(d)], stdin=subprocess.DEVNULL,
                                    stderr=subprocess.PIPE)
            self.addCleanup(lambda: proc.poll() is None and proc.kill())
            while b"Running main loop" not in proc.stderr.readline():
                self.assertIsNone(proc.poll())
            proc.stderr.close()  # each pass logs a verbose line after this
            rows = rows_of(d.file("tw.db"))
            twrun.wait_for(lambda: rows_of(d.file("tw.db")) >= rows + 3 or proc.poll() is not None, "three passes")
            self.assertIsNone(proc.poll(), "the service stopped by itself")
            proc.send_signal(signal.SIGTERM)
            self.assertEqual(proc.wait(timeout=twrun.GUARD_SECONDS), 0)

    def test_a_log_reader_that_stops_reading_stalls_neither_sampling_nor_the_stop(self):
        with twrun.TempDir() as d:
            r, w = os.pipe()
            fcntl.fcntl(w, 1031, 8192)  # F_SETPIPE_SZ: two pages, full within a few passes
            proc = subprocess.Popen([twrun.BIN, verbose_on_stderr(d)], stdin=subprocess.DEVNULL, stderr=w)
            os.close(w)
            self.addCleanup(os.close, r)
            self.addCleanup(lambda: proc.poll() is None and proc.kill())
            twrun.wait_for(lambda: rows_of(d.file("tw.db")) >= 2 or proc.poll() is not None, "two passes")
            rows = rows_of(d.file("tw.db"))
            twrun.wait_for(lambda: rows_of(d.file("tw.db")) >= rows + 3 or proc.poll() is not None,
                           "three passes with the log's pipe full")
            self.assertIsNone(proc.poll(), "the service stopped by itself")
            os.set_blocking(r, False)
            text = read_waiting(r)
            proc.send_signal(signal.SIGUSR1)  # no file to reopen: nothing to say
            twrun.wait_for(lambda: rows_of(d.file("tw.db")) >= rows + 5, "two passes with the pipe read")
            proc.send_signal(signal.SIGTERM)
            self.assertEqual(proc.wait(timeout=twrun.GUARD_SECONDS), 0)
            text += read_waiting(r)
            self.assertRegex(text.decode(), r" warning [^\n]*: Dropped [0-9]+ log lines before the one above")
            self.assertIn("Exiting with status=true.", text.decode())
            self.assertNotIn("Log file reopened", text.decode())


if __name__ == "__main__":
    unittest.main()
