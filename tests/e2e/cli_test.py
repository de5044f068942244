"""Command line: byte-exact texts on standard error and exit statuses."""

import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import twrun  # noqa: E402

ERROR_LINE = "error: unrecognized command line options.\n"


class CommandLineTest(unittest.TestCase):
    def test_table(self):
        cases = [
            (["-h"], twrun.usage(twrun.BIN)),
            (["--help"], twrun.usage(twrun.BIN)),
            (["-v"], twrun.VERSION),
            (["--version"], twrun.VERSION),
            ([], ERROR_LINE + twrun.usage(twrun.BIN)),
            (["a.xml", "b.xml"], ERROR_LINE + twrun.usage(twrun.BIN)),
            (["-h", "-v"], ERROR_LINE + twrun.usage(twrun.BIN)),
        ]
        for args, want in cases:
            with self.subTest(args=args):
                status, out, err = twrun.run(args)
                self.assertEqual(status, 1)
                self.assertEqual(out, "")
                self.assertEqual(err, want)

    def test_usage_names_the_invocation_as_typed(self):
        status, _, err = twrun.run(["--help"], argv0="./odd name/tw")
        self.assertEqual(status, 1)
        self.assertEqual(err, twrun.usage("./odd name/tw"))

    def test_other_arguments_are_configuration_paths(self):
        # "-H", "-x" and "-help" are paths; none exists, so start-up fails.
        for arg in ["-H", "-x", "-help", "--h"]:
            with self.subTest(arg=arg), twrun.TempDir() as d:
                status, out, err = twrun.run([arg], prefix=twrun.unprivileged(), cwd=d.path)
                self.assertEqual(status, 1)
                self.assertEqual(out, "")
                self.assertIn("Failed while initializing the app: configuration %s: cannot read the file: "
                              "No such file or directory\n" % arg, err)
                self.assertIn("ms with status=false.\n", err)
                self.assertTrue(err.endswith("info Tallywick: Exiting with status=false.\n"), err)
                self.assertNotIn("Usage", err)


if __name__ == "__main__":
    unittest.main()
