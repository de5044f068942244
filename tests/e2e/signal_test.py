"""Termination signals: each of SIGTERM, SIGINT and SIGHUP stops a running
service with exit status 0; a burst of signals never hangs it."""

import os
import signal
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import twrun  # noqa: E402


class SignalTest(unittest.TestCase):
    def start(self, d):
        cfg = d.write("tw.xml", twrun.config(d.path))
        proc = subprocess.Popen([twrun.BIN, cfg], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        self.addCleanup(self.reap, proc)
        twrun.wait_for(lambda: "info Tallywick: Running main loop" in d.read("log/Tallywick.log") or
                       proc.poll() is not None, "the main loop")
        self.assertIsNone(proc.poll(), d.read("log/Tallywick.log"))
        return proc

    @staticmethod
    def reap(proc):
        if proc.poll() is None:
            proc.kill()
        proc.communicate()

    def test_each_termination_signal_stops_the_service(self):
        for signo in [signal.SIGTERM, signal.SIGINT, signal.SIGHUP]:
            with self.subTest(signal=signo.name), twrun.TempDir() as d:
                proc = self.start(d)
                sent = time.monotonic()
                proc.send_signal(signo)
                out, err = proc.communicate(timeout=twrun.GUARD_SECONDS)
                status = proc.returncode
                # Reported, not asserted: how long the stop took.
                print("%s: exit %.3f s after the signal" % (signo.name, time.monotonic() - sent), file=sys.stderr)
                self.assertEqual(status, 0)
                messages = twrun.messages(d.read("log/Tallywick.log"))
                # A pass under way when the signal came may still log before
                # the exit; the order of the stop's own messages holds.
                received = messages.index("info Tallywick: Received signal %d" % signo)
                self.assertIn("info Tallywick: Shutting down", messages[received + 1:], messages)
                self.assertEqual(messages[-1], "info Tallywick: Exiting with status=true.")
                self.assertEqual((out, err), ("", ""))

    def test_burst_of_signals_never_hangs(self):
        with twrun.TempDir() as d:
            proc = self.start(d)
            for _ in range(300):
                try:
                    proc.send_signal(signal.SIGHUP)
                except ProcessLookupError:
                    break
            proc.communicate(timeout=twrun.GUARD_SECONDS)
            self.assertEqual(proc.returncode, 0)
            messages = twrun.messages(d.read("log/Tallywick.log"))
            self.assertEqual(messages.count("info Tallywick: Exiting with status=true."), 1)
            self.assertEqual(messages[-1], "info Tallywick: Exiting with status=true.")
            received = messages.count("info Tallywick: Received signal 1")
            self.assertGreaterEqual(received, 1)
            self.assertEqual(messages.count("info Tallywick: Shutting down"), received,
                             "every received signal asks for the stop once")


if __name__ == "__main__":
    unittest.main()
