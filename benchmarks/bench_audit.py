"""Checking an exported audit log of 1,000,000 rows, as `zelto-localcloud audit verify FILE` does.

Target: under 10 s of CPU time. The floor beside it is the least any check
must do: read the file and hash every line once.

    .venv/bin/python benchmarks/bench_audit.py [ROWS]
"""

import hashlib
import sys
import tempfile
import time
from pathlib import Path

from zelto_localcloud import audit

TARGET_SECONDS = 10.0


def write_log(path: Path, rows: int) -> str:
    prev = audit.GENESIS
    with open(path, "w") as out:
        for seq in range(1, rows + 1):
            text = audit.row_text(
                prev, seq, 1_765_000_000.0 + seq / 10, ("create", "decision", "notification", "receipt")[seq % 4],
                request_id=f"apr_{seq // 3:020x}", request_hash="ab" * 32, actor="alice", channel="dashboard",
                display_hash="cd" * 32, outcome="approved", detail={"status": "approved"},
            )
            prev, line = audit.seal(text)
            out.write(line + "\n")
    return prev


def cpu_seconds(function) -> tuple[float, object]:
    start = time.process_time()
    result = function()
    return time.process_time() - start, result


def main() -> None:
    rows = int(sys.argv[1]) if len(sys.argv) > 1 else 1_000_000
    with tempfile.TemporaryDirectory() as folder:
        path = Path(folder) / "audit.jsonl"
        head = write_log(path, rows)
        size = path.stat().st_size

        def verify():
            with open(path, "rb") as handle:
                return audit.verify_lines(handle, head)

        def floor():
            sha256 = hashlib.sha256
            with open(path, "rb") as handle:
                for line in handle:
                    sha256(line).digest()

        runs = [cpu_seconds(verify) for _ in range(3)]
        best, verdict = min(runs, key=lambda run: run[0])
        assert verdict.ok and verdict.rows == rows, verdict
        floor_best = min(cpu_seconds(floor)[0] for _ in range(3))
    print(f"audit verify, {rows:,} rows ({size / 1e6:.0f} MB), best of 3, CPU time:")
    print(f"  verify  {best:6.2f} s   target < {TARGET_SECONDS:g} s  {'ok' if best < TARGET_SECONDS else 'MISSED'}")
    print(f"  floor   {floor_best:6.2f} s   (read and SHA-256 every line; verify / floor = {best / floor_best:.1f}x)")


if __name__ == "__main__":
    main()
