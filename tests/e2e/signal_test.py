"""Termination signals: each of SIGTERM, SIGINT and SIGHUP stops a running
service with exit status 0 and leaves its database file whole; a burst of
signals never hangs it."""

import os
import shutil
import signal
import sqlite3
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import twrun  # noqa: E402

EXITING = "info Tallywick: Exiting with status=true."


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


if __name__ == "__main__":
    unittest.main()
