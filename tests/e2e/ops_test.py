"""Supervision and rotation: the systemd notify protocol spoken to a fake
notify socket (ready, status, watchdog keep-alives, stopping), and SIGUSR1
reopening a rotated log file without splitting a line."""

import os
import re
import signal
import socket
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import twrun  # noqa: E402

LINE = re.compile(r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{6}Z \S+ \S+: .*$")


def one_second_periods(d):
    return twrun.default_tallywick(d.path).replace(">5<", ">1<").replace(">10<", ">1<")


class OpsTest(unittest.TestCase):
    def start(self, d, level="info", env=None):
        cfg = d.write("tw.xml", twrun.config(d.path, one_second_periods(d)).replace(
            "<level>info</level>", "<level>%s</level>" % level))
        environment = {k: v for k, v in os.environ.items() if k not in ("NOTIFY_SOCKET", "WATCHDOG_USEC")}
        environment.update(env or {})
        proc = subprocess.Popen([twrun.BIN, cfg], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                                env=environment)
        self.addCleanup(lambda: (proc.poll() is None and proc.kill(), proc.communicate()))
        return proc

    def stop(self, proc):
        proc.send_signal(signal.SIGTERM)
        proc.communicate(timeout=twrun.GUARD_SECONDS)
        self.assertEqual(proc.returncode, 0)

    def test_notify_protocol_on_a_fake_socket(self):
        with twrun.TempDir() as d:
            path = d.file("notify")
            sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
            sock.bind(path)
            sock.settimeout(twrun.GUARD_SECONDS)
            self.addCleanup(sock.close)
            proc = self.start(d, env={"NOTIFY_SOCKET": path, "WATCHDOG_USEC": "1000000"})
            messages = []
            # Ready first, then keep-alives every half second once passes run.
            while sum("WATCHDOG=1" in m for m in messages) < 3:
                messages.append(sock.recv(4096).decode())
            self.stop(proc)
            sock.settimeout(0.5)
            try:
                while True:
                    messages.append(sock.recv(4096).decode())
            except socket.timeout:
                pass
            self.assertEqual(messages[0], "READY=1")
            self.assertEqual(messages[-1], "STOPPING=1")
            self.assertTrue(any(re.search(r"STATUS=Sampling: \d+ passes done, last \d+ s ago", m)
                                for m in messages), messages)

    def test_sigusr1_reopens_a_rotated_log_between_whole_lines(self):
        with twrun.TempDir() as d:
            proc = self.start(d, level="trivia")
            log = d.file("log/Tallywick.log")
            twrun.wait_for(lambda: "Running main loop" in d.read("log/Tallywick.log"), "the main loop")
            os.rename(log, log + ".1")
            proc.send_signal(signal.SIGUSR1)
            twrun.wait_for(lambda: "Log file reopened" in d.read("log/Tallywick.log"), "the reopened log")
            self.stop(proc)
            rotated, current = d.read("log/Tallywick.log.1"), d.read("log/Tallywick.log")
            self.assertTrue(rotated.endswith("\n"))
            for text in (rotated, current):
                for line in text.splitlines():
                    self.assertRegex(line, LINE)
            self.assertIn("Running main loop", rotated)
            self.assertNotIn("Log file reopened", rotated)
            self.assertIn("Exiting with status=true.", current)
            self.assertNotIn("Received signal 10", current + rotated)


if __name__ == "__main__":
    unittest.main()
