"""Puts the test tree's shared code on the import path of a benchmark run as a script.

The module twins (tests/twins), the shared helpers (tests/helpers) and the
test-only native modules' builder (tests/support) live with the tests; the
benchmarks import them by the same names the suite does.
"""

import sys
from pathlib import Path

TESTS = Path(__file__).resolve().parent.parent / "tests"

for folder in (TESTS / "support", TESTS / "helpers", TESTS):
    if str(folder) not in sys.path:
        sys.path.insert(1, str(folder))
