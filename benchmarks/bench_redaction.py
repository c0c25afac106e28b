"""Redaction over a ~1 MB diagnostic dump: the native module against the
pure-Python walk, same input, equal results, timed in one run."""

import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import reference_redaction  # noqa: E402
from diagnostic_dump import make_dump  # noqa: E402

from zelto_cloud import redaction  # noqa: E402


def best_of(function, value, rounds: int) -> float:
    best = float("inf")
    for _ in range(rounds):
        start = time.perf_counter()
        function(value)
        best = min(best, time.perf_counter() - start)
    return best


def main() -> None:
    dump = make_dump()
    size = len(repr(dump))
    expected = reference_redaction.redact(dump)
    assert redaction.redact(dump) == expected, "native and reference results differ"
    python_time = best_of(reference_redaction.redact, dump, 5)
    native_time = best_of(redaction.redact, dump, 5)
    print(f"dump: {size / 1e6:.2f} MB repr, {len(dump['records'])} top-level records")
    print(f"pure Python: {python_time * 1e3:8.2f} ms")
    print(f"native:      {native_time * 1e3:8.2f} ms")
    print(f"ratio:       {python_time / native_time:8.1f}x faster (target: 5x)")


if __name__ == "__main__":
    main()
