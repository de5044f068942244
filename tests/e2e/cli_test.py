"""Command line: byte-exact texts on standard error and exit statuses."""

import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import twrun  # noqa: E402

ERROR_LINE = "error: unrecognized command line options.\n"


class CommandLineTest(unittest.TestCase):
    def test_table(self):
        odd = "./odd name/tw"  # the usage names the invocation as typed
        cases = [
            (["-h"], None, twrun.usage(twrun.BIN)),
            (["--help"], odd, twrun.usage(odd)),
            (["-v"], None, twrun.VERSION),
            (["--version"], None, twrun.VERSION),
            ([], None, ERROR_LINE + twrun.usage(twrun.BIN)),
            (["a.xml", "b.xml"], None, ERROR_LINE + twrun.usage(twrun.BIN)),
            (["-h", "-v"], None, ERROR_LINE + twrun.usage(twrun.BIN)),
        ]
        for args, argv0, want in cases:
            with self.subTest(args=args):
                self.assertEqual(twrun.run(args, argv0=argv0), (1, "", want))

    def test_other_arguments_are_configuration_paths(self):
        # "-H", "-x" and "-help" are paths; none exists, so start-up fails.
        for arg in ["-H", "-x", "-help", "--h"]:
            with self.subTest(arg=arg), twrun.TempDir() as d:
                status, out, err = twrun.run([arg], prefix=twrun.unprivileged(), cwd=d.path)
                self.assertEqual((status, out), (1, ""))
                self.assertIn("Failed while initializing the app: configuration %s: cannot read the file: "
                              "No such file or directory\n" % arg, err)
                self.assertIn("ms with status=false.\n", err)
                self.assertTrue(err.endswith("info Tallywick: Exiting with status=false.\n"), err)
                self.assertNotIn("Usage", err)


if __name__ == "__main__":
    unittest.main()
