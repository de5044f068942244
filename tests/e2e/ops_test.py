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
    def start(self, d, level="info", env=None, export=""):
        cfg = d.write("tw.xml", twrun.config(d.path, one_second_periods(d) + export).replace(
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

    def test_metrics_file_parses_and_holds_the_stored_values(self):
        parser = "/usr/bin/python3" if os.path.exists("/usr/bin/python3") else sys.executable
        probe = subprocess.run([parser, "-c", "import prometheus_client.parser"], capture_output=True)
        if probe.returncode != 0:
            self.skipTest("python3-prometheus-client is not installed")
        with twrun.TempDir() as d:
            prom = d.file("tw.prom")
            proc = self.start(d, export="<export><metricsFile>%s</metricsFile></export>" % prom)
            # Both collections have published, the rates after their second pass.
            twrun.wait_for(lambda: "tallywick_storage_used_filesystem" in d.read("tw.prom") and
                           "tallywick_net_rx_packetRate" in d.read("tw.prom"), "the metrics file")
            self.stop(proc)
            script = ("import json, sys\n"
                      "from prometheus_client.parser import text_string_to_metric_families as f\n"
                      "print(json.dumps([[m.name, m.type, [[s.labels, s.value] for s in m.samples]]"
                      " for m in f(open(sys.argv[1]).read())]))\n")
            parsed = subprocess.run([parser, "-c", script, prom], capture_output=True, text=True, check=True)
            import json
            families = {name: (kind, samples) for name, kind, samples in json.loads(parsed.stdout)}
            with open("/proc/meminfo") as f:
                mem_total = int(next(l for l in f if l.startswith("MemTotal:")).split()[1])
            self.assertEqual(families["tallywick_mem_total"], ("gauge", [[{}, float(mem_total)]]))
            with open("/proc/net/dev") as f:
                interfaces = sorted(l.split(":")[0].strip() for l in f.readlines()[2:])
            kind, samples = families["tallywick_net_rx_packetRate"]
            self.assertEqual(sorted(s[0]["interface"] for s in samples), interfaces)
            self.assertEqual([s[0] for s in families["tallywick_storage_used_filesystem"][1]], [{"mountpoint": "/"}])
            self.assertEqual([s[0] for s in families["tallywick_storage_totalsize_directory"][1]], [{"path": d.path}])

    def test_metrics_file_must_end_in_prom(self):
        with twrun.TempDir() as d:
            cfg = d.write("tw.xml", twrun.config(d.path, one_second_periods(d) +
                                                 "<export><metricsFile>%s/tw.txt</metricsFile></export>" % d.path))
            status, _, _ = twrun.run([cfg])
            self.assertEqual(status, 1)
            self.assertIn("error Tallywick: Invalid value %s/tw.txt for key export/metricsFile: must be a file "
                          "path ending in .prom" % d.path, d.read("log/Tallywick.log"))


if __name__ == "__main__":
    unittest.main()
