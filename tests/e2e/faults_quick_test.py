"""The short fault runs (tests/faults/faults.py --quick) as part of the test suite."""
import os
import subprocess
import sys

here = os.path.dirname(os.path.abspath(__file__))
sys.exit(subprocess.call([sys.executable, os.path.join(here, "..", "faults", "faults.py"), "--quick"]))
