"""Property-based fuzzing of the local cloud's API against its OpenAPI document.

Schemathesis reads the document that the cloud serves, generates valid and
invalid calls for every operation (and unsupported methods), follows the
document's links from create to read, approve and deny, and fails on any
server error or any answer the document does not allow. The hooks in
api_fuzz_hooks.py sign creates for real and pick credentials per operation.

The test suite runs a short, bounded round (tests/localcloud/test_openapi.py);
`make fuzz-api` runs a longer one and prints the calls per operation:

    python tests/localcloud/api_fuzz.py [--max-examples N] [--seed N] [--workers N]

Both run only against a local cloud on a loopback port, and stop by themselves.
"""

from __future__ import annotations

import argparse
import collections
import json
import os
import subprocess
import sys
import tempfile
import time
from dataclasses import dataclass
from pathlib import Path

HERE = Path(__file__).resolve().parent
CHECKS = "all"
# A stream of wrong passwords from one address is throttled (429 with Retry-After) before it is answered
# 401, which this check counts as a failure; which credentials each endpoint refuses, and how, is the
# credential table of the API tests.
EXCLUDED_CHECKS = "ignored_auth"
# Valid data may still find a request that has expired (410) or an approver it does not allow (403).
CONFIG = """\
[checks.positive_data_acceptance]
expected-statuses = ["2xx", "401", "403", "404", "409", "410", "429"]
"""


@dataclass
class FuzzRun:
    returncode: int
    output: str
    counts: dict[str, int]  # "METHOD /path/template STATUS" -> calls
    seconds: float

    def calls_per_operation(self) -> dict[str, int]:
        per_operation: collections.Counter = collections.Counter()
        for key, calls in self.counts.items():
            per_operation[key.rsplit(" ", 1)[0]] += calls
        return dict(sorted(per_operation.items()))

    def table(self) -> str:
        by_operation: dict[str, dict[str, int]] = collections.defaultdict(dict)
        for key, calls in sorted(self.counts.items()):
            operation, status = key.rsplit(" ", 1)
            by_operation[operation][status] = calls
        lines = [f"{'calls':>7}  operation  (by status)"]
        for operation, statuses in sorted(by_operation.items()):
            detail = ", ".join(f"{status}: {calls}" for status, calls in sorted(statuses.items()))
            lines.append(f"{sum(statuses.values()):>7}  {operation}  ({detail})")
        lines.append(f"{sum(self.counts.values()):>7}  in all, {self.seconds:.1f} s")
        return "\n".join(lines)


def run(cloud, *, max_examples: int, seed: int = 29, workers: int = 1, phases: str | None = None,
        timeout: float = 600, extra: tuple[str, ...] = ()) -> FuzzRun:
    """Runs Schemathesis against a running LocalCloud; `timeout` only guards against a hang."""
    with tempfile.TemporaryDirectory() as scratch:
        scratch_path = Path(scratch)
        (scratch_path / "schemathesis.toml").write_text(CONFIG)
        counts_path = scratch_path / "counts.json"
        approvers = {name: cloud.approver_password(name) for name in cloud.approvers}
        env = {
            **os.environ,
            "PYTHONPATH": os.pathsep.join([str(HERE), os.environ.get("PYTHONPATH", "")]),
            "SCHEMATHESIS_HOOKS": "api_fuzz_hooks",
            "ZELTO_FUZZ_API_KEY": cloud.api_key,
            "ZELTO_FUZZ_APPROVERS": json.dumps(approvers),
            "ZELTO_FUZZ_CONNECT_TOKENS": json.dumps([cloud.mint_connect_token() for _ in range(3)]),
            "ZELTO_FUZZ_COUNTS": str(counts_path),
            "NO_PROXY": "127.0.0.1,localhost,::1",
        }
        command = [
            str(Path(sys.executable).with_name("schemathesis")), "--config-file", str(scratch_path / "schemathesis.toml"),
            "--no-color", "run", cloud.base_url + "/openapi.json", "--url", cloud.base_url,
            "--checks", CHECKS, "--exclude-checks", EXCLUDED_CHECKS, "--max-examples", str(max_examples), "--seed", str(seed),
            "--workers", str(workers), "--generation-database", "none", "--max-redirects", "0",
            "--request-timeout", "10", "--report-dir", str(scratch_path / "report"),
            *(("--phases", phases) if phases else ()), *extra,
        ]
        started = time.monotonic()
        done = subprocess.run(command, capture_output=True, text=True, env=env, timeout=timeout, cwd=scratch)
        seconds = time.monotonic() - started
        counts = json.loads(counts_path.read_text()) if counts_path.exists() else {}
    return FuzzRun(done.returncode, done.stdout + done.stderr, counts, seconds)


def main(argv: list[str] | None = None) -> int:
    sys.path.insert(0, str(HERE.parent / "helpers"))
    from localcloud_helpers import assert_no_tracebacks
    from zelto_localcloud.testing import LocalCloud

    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--max-examples", type=int, default=300, help="cases per operation and phase")
    parser.add_argument("--seed", type=int, default=int(time.time()))
    parser.add_argument("--workers", type=int, default=2)
    args = parser.parse_args(argv)
    with tempfile.TemporaryDirectory() as data_dir, LocalCloud(data_dir, approvers=["dave"]) as cloud:
        result = run(cloud, max_examples=args.max_examples, seed=args.seed, workers=args.workers, timeout=3600)
        print(result.output)
        print(f"seed {args.seed}, {args.max_examples} examples per operation and phase")
        print(result.table())
        assert_no_tracebacks(cloud)
    return result.returncode


if __name__ == "__main__":
    sys.exit(main())
