"""`python -m bench`: the benchmark run (see the package docstring)."""

import sys

from bench.run import run

sys.exit(run())
