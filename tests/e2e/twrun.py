"""Helpers for the end-to-end tests: run the built service, build configurations,
read its log. Time bounds are generous guards against hangs (the tests also run
under the sanitizers on two cores); no test asserts on how long something took."""

import os
import shutil
import subprocess
import tempfile
import time

BIN = os.environ.get("TALLYWICK_BIN", "build/bin/tallywick")
GUARD_SECONDS = 120

VERSION = "Tallywick, version=1.0, build=17590285\n"


def usage(argv0):
    return (VERSION + "Usage: " + argv0 + " -h | -v | path/to/configfile\n\n"
            "   -h, --help\t\t\tprint this help message and exit.\n"
            "   -v, --version\t\tprint only version information and exit.\n"
            "   path/to/configfile\t\te.g. /etc/norvex/tallywick/tallywick.xml\n")


def unprivileged():
    """The prefix that runs a command as nobody when we are root, so that a run
    whose configuration cannot be read falls back to standard error instead of
    creating the default log directory /var/log/norvex/fenmark."""
    if os.geteuid() != 0:
        return []
    return ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "--"]


class TempDir:
    def __init__(self):
        self.path = tempfile.mkdtemp(prefix="tw-e2e-")
        os.chmod(self.path, 0o777)

    def file(self, name):
        return os.path.join(self.path, name)

    def write(self, name, text):
        with open(self.file(name), "w") as f:
            f.write(text)
        os.chmod(self.file(name), 0o644)
        return self.file(name)

    def read(self, name):
        try:
            with open(self.file(name)) as f:
                return f.read()
        except FileNotFoundError:
            return ""

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        shutil.rmtree(self.path, ignore_errors=True)


def config(dir_path, tallywick=None, extra=""):
    """A valid configuration with everything below dir_path; tallywick replaces
    the content of the "tallywick" node, extra is added at the top level."""
    if tallywick is None:
        tallywick = default_tallywick(dir_path)
    return ("<?xml version=\"1.0\"?>\n<config>\n"
            "  <log><directory>%s/log</directory><level>info</level></log>\n%s"
            "  <tallywick>%s</tallywick>\n</config>\n" % (dir_path, extra, tallywick))


def default_tallywick(dir_path):
    return ("\n    <persistence><engine>sqlite</engine><locator>%s/tw.db</locator>"
            "<statTtlSec>3600</statTtlSec></persistence>\n"
            "    <cpuMemNetSamplingPeriodSec>5</cpuMemNetSamplingPeriodSec>\n"
            "    <storageSizeSamplingPeriodSec>10</storageSizeSamplingPeriodSec>\n"
            "    <health_status_file>%s/health.xml</health_status_file>\n"
            "    <storageSizeProvider>\n"
            "      <filesystems><root><path>/</path><name>root</name></root></filesystems>\n"
            "      <dirs><tmp><path>%s</path><name>tmp</name></tmp></dirs>\n"
            "    </storageSizeProvider>\n  " % (dir_path, dir_path, dir_path))


def run(args, argv0=None, prefix=(), cwd=None):
    """Runs the service to its end; returns (status, stdout, stderr)."""
    cmd = list(prefix) + [argv0 or BIN] + list(args)
    p = subprocess.run(cmd, executable=None if argv0 is None or prefix else BIN, cwd=cwd,
                       capture_output=True, text=True, timeout=GUARD_SECONDS)
    return p.returncode, p.stdout, p.stderr


def wait_for(predicate, what):
    deadline = time.monotonic() + GUARD_SECONDS
    while not predicate():
        if time.monotonic() > deadline:
            raise AssertionError("timed out waiting for " + what)
        time.sleep(0.02)


def messages(log_text):
    """The "<level> <logger>: <message>" part of every log line."""
    return [line.split(" ", 1)[1] for line in log_text.splitlines() if " " in line]
