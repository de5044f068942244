#!/usr/bin/env python3
"""The comparison's floor must read what one service pass reads: the /proc
paths picked out of `strace -f -y -e trace=openat` lines."""
import os
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "bench", "compare"))
import compare  # noqa: E402


class PassFilesTest(unittest.TestCase):
    def test_table(self):
        cases = [
            ("a file under the /proc descriptor",
             ['7 openat(6</proc>, "meminfo", O_RDONLY|O_CLOEXEC) = 12</proc/meminfo>'], ["/proc/meminfo"]),
            ("net/dev resolves to the reader's own pid: kept as /proc/net/dev",
             ['7 openat(6</proc>, "net/dev", O_RDONLY|O_CLOEXEC) = 12</proc/30793/net/dev>'], ["/proc/net/dev"]),
            ("the listed /proc directory gets a final slash",
             ['7 openat(6</proc>, ".", O_RDONLY|O_CLOEXEC|O_DIRECTORY) = 12</proc>'], ["/proc/"]),
            ("the start-up open of the root itself is not part of a pass",
             ['7 openat(AT_FDCWD</tmp>, "/proc", O_RDONLY|O_CLOEXEC|O_PATH|O_DIRECTORY) = 6</proc>'], []),
            ("a failed open reads nothing",
             ['7 openat(6</proc>, "uptime", O_RDONLY|O_CLOEXEC) = -1 ENOENT (No such file or directory)'], []),
            ("files outside /proc are not the floor's",
             ['7 openat(AT_FDCWD</w>, "/w/tw.db", O_RDWR|O_CREAT|O_CLOEXEC, 0644) = 7</w/tw.db>'], []),
            ("every pass opens the same files: each once, in first-seen order",
             ['7 openat(6</proc>, "stat", O_RDONLY|O_CLOEXEC) = 12</proc/stat>',
              '7 openat(6</proc>, "cpuinfo", O_RDONLY|O_CLOEXEC) = 12</proc/cpuinfo>',
              '8 openat(6</proc>, "stat", O_RDONLY|O_CLOEXEC) = 13</proc/stat>'], ["/proc/stat", "/proc/cpuinfo"]),
        ]
        for what, lines, want in cases:
            self.assertEqual(compare.pass_files(lines), want, what)


if __name__ == "__main__":
    unittest.main()
