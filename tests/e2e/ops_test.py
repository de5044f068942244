"""Supervision and rotation: the systemd notify protocol spoken to a fake notify
socket, SIGUSR1 reopening a rotated log without splitting a line, and the
Prometheus metrics file as prometheus_client parses it."""

import json
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


def fast(d, export=""):
    return twrun.default_tallywick(d.path, 1, 1) + export


class OpsTest(unittest.TestCase):
    def test_notify_protocol_on_a_fake_socket(self):
        with twrun.TempDir() as d:
            sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
            sock.bind(d.file("notify"))
            sock.settimeout(twrun.GUARD_SECONDS)
            self.addCleanup(sock.close)
            proc = twrun.start(self, d, fast(d), env={"NOTIFY_SOCKET": d.file("notify"), "WATCHDOG_USEC": "1000000"})
            messages = []
            # Ready first, then keep-alives every half second once passes run.
            while sum("WATCHDOG=1" in m for m in messages) < 3:
                messages.append(sock.recv(4096).decode())
            twrun.stop(self, proc)
            sock.settimeout(0.5)
            try:
                while True:
                    messages.append(sock.recv(4096).decode())
            except socket.timeout:
                pass
            self.assertEqual((messages[0], messages[-1]), ("READY=1", "STOPPING=1"))
            self.assertTrue(any(re.search(r"STATUS=Sampling: \d+ passes done, last \d+ s ago", m)
                                for m in messages), messages)

    def test_sigusr1_reopens_a_rotated_log_between_whole_lines(self):
        with twrun.TempDir() as d:
            proc = twrun.start(self, d, fast(d), level="trivia")
            os.rename(d.file("log/Tallywick.log"), d.file("log/Tallywick.log.1"))
            proc.send_signal(signal.SIGUSR1)
            twrun.wait_for(lambda: "Log file reopened" in d.read("log/Tallywick.log"), "the reopened log")
            twrun.stop(self, proc)
            rotated, current = d.read("log/Tallywick.log.1"), d.read("log/Tallywick.log")
            self.assertTrue(rotated.endswith("\n"))
            for line in (rotated + current).splitlines():
                self.assertRegex(line, LINE)
            self.assertIn("Running main loop", rotated)
            self.assertNotIn("Log file reopened", rotated)
            self.assertIn("Exiting with status=true.", current)
            self.assertNotIn("Received signal 10", current + rotated)

    def test_sigusr1_opens_the_log_file_that_could_not_be_opened_at_start(self):
        with twrun.TempDir() as d:
            os.makedirs(d.file("log/Tallywick.log"))  # a directory: the open fails, also for root
            cfg = d.write("tw.xml", twrun.config(d.path, fast(d)))
            proc = subprocess.Popen([twrun.BIN, cfg], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
            self.addCleanup(lambda: (proc.poll() is None and proc.kill(), proc.communicate()))
            twrun.wait_for(lambda: d.read("health.xml") or proc.poll() is not None, "the first health file")
            os.rmdir(d.file("log/Tallywick.log"))
            proc.send_signal(signal.SIGUSR1)
            twrun.wait_for(lambda: "Log file reopened" in d.read("log/Tallywick.log"), "the log file")
            _, err = twrun.stop(self, proc)
            self.assertIn("logging to standard error", err)
            self.assertIn("Exiting with status=true.", d.read("log/Tallywick.log"))

    def test_metrics_file_parses_and_holds_the_stored_values(self):
        parser = "/usr/bin/python3" if os.path.exists("/usr/bin/python3") else sys.executable
        if subprocess.run([parser, "-c", "import prometheus_client.parser"], capture_output=True).returncode != 0:
            self.skipTest("python3-prometheus-client is not installed")
        with twrun.TempDir() as d:
            prom = d.file("tw.prom")
            proc = twrun.start(self, d, fast(d, "<export><metricsFile>%s</metricsFile></export>" % prom))
            # Both collections have published, the rates after their second pass.
            twrun.wait_for(lambda: "tallywick_storage_used_filesystem" in d.read("tw.prom") and
                           "tallywick_net_rx_packetRate" in d.read("tw.prom"), "the metrics file")
            twrun.stop(self, proc)
            script = ("import json, sys\n"
                      "from prometheus_client.parser import text_string_to_metric_families as f\n"
                      "print(json.dumps([[m.name, m.type, [[s.labels, s.value] for s in m.samples]]"
                      " for m in f(open(sys.argv[1]).read())]))\n")
            parsed = subprocess.run([parser, "-c", script, prom], capture_output=True, text=True, check=True)
            families = {name: (kind, samples) for name, kind, samples in json.loads(parsed.stdout)}
            self.assertEqual(families["tallywick_mem_total"], ("gauge", [[{}, float(twrun.proc_meminfo_total())]]))
            samples = families["tallywick_net_rx_packetRate"][1]
            self.assertEqual(sorted(s[0]["interface"] for s in samples), twrun.proc_interfaces())
            self.assertEqual([s[0] for s in families["tallywick_storage_used_filesystem"][1]], [{"mountpoint": "/"}])
            self.assertEqual([s[0] for s in families["tallywick_storage_totalsize_directory"][1]], [{"path": d.path}])


if __name__ == "__main__":
    unittest.main()
