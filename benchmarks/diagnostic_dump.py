"""A realistic diagnostic dump for redaction: nested dicts, lists and tuples of
log lines, headers, settings and metrics, some of them carrying secrets."""

import random

_WORDS = ("worker", "activity", "retry", "timeout", "queue", "approval", "warrant", "tool",
          "started", "finished", "latency", "region", "europe-west1", "status", "ok", "pending")


def _token(rng: random.Random, n: int) -> str:
    alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789_-"
    return "".join(rng.choice(alphabet) for _ in range(n))


def _line(rng: random.Random) -> str:
    words = " ".join(rng.choice(_WORDS) for _ in range(rng.randint(4, 14)))
    roll = rng.random()
    if roll < 0.03:
        return f"{words} Authorization: Bearer {_token(rng, 32)}"
    if roll < 0.05:
        return f"{words} connect with zelto_ct_{_token(rng, 24)}"
    if roll < 0.06:
        return f"{words} client cs_{_token(rng, 20)} tc_{_token(rng, 12)}"
    return f"{words} id={rng.randint(0, 10**9)} took {rng.random() * 100:.2f}ms"


def _record(rng: random.Random, depth: int) -> dict:
    record = {
        "timestamp": f"2026-12-08T18:{rng.randint(0, 59):02d}:{rng.randint(0, 59):02d}Z",
        "level": rng.choice(("INFO", "DEBUG", "WARNING")),
        "message": _line(rng),
        "attempt": rng.randint(1, 5),
        "duration": rng.random(),
        "ok": rng.random() < 0.9,
        "labels": [rng.choice(_WORDS) for _ in range(rng.randint(1, 5))],
        "span": (rng.randint(0, 2**32), rng.randint(0, 2**32)),
    }
    if rng.random() < 0.1:
        record["headers"] = {"Authorization": f"Bearer {_token(rng, 40)}", "X-Request-Id": _token(rng, 16),
                             "X-Api-Token": _token(rng, 30), "Accept": "application/json"}
    if rng.random() < 0.05:
        record["settings"] = {"api_key": _token(rng, 32), "client-secret": _token(rng, 24),
                              "password": "hunter2", "endpoint": "https://api.example.test"}
    if depth > 0 and rng.random() < 0.3:
        record["children"] = [_record(rng, depth - 1) for _ in range(rng.randint(1, 3))]
    return record


def make_dump(target_bytes: int = 1_000_000, seed: int = 7) -> dict:
    rng = random.Random(seed)
    records, size = [], 0
    while size < target_bytes:
        record = _record(rng, depth=3)
        records.append(record)
        size += len(repr(record))
    return {"service": "worker", "version": "1.4.2", "records": records,
            "environment": {"ZELTO_API_KEY": _token(rng, 32), "HOME": "/home/worker"}}


def _with_tokens(value, rng: random.Random):
    """The same structure with a token in every string value."""
    if isinstance(value, str):
        kind = rng.randrange(4)
        token = _token(rng, 24)
        secret = ("Bearer " + token, "zelto_ct_" + token, "tc_" + token, "cs_" + token)[kind]
        return f"{value} {secret}"
    if isinstance(value, dict):
        return {key: _with_tokens(item, rng) for key, item in value.items()}
    if isinstance(value, list):
        return [_with_tokens(item, rng) for item in value]
    if isinstance(value, tuple):
        return tuple(_with_tokens(item, rng) for item in value)
    return value


def make_token_dump(target_bytes: int = 1_000_000, seed: int = 7) -> dict:
    """A dump whose every string value holds a token."""
    return _with_tokens(make_dump(target_bytes, seed), random.Random(seed))


def _plain_line(rng: random.Random) -> str:
    words = " ".join(rng.choice(_WORDS) for _ in range(rng.randint(4, 14)))
    return f"{words} id={rng.randint(0, 10**9)} took {rng.random() * 100:.2f}ms"


# Words and identifiers that come close to every prefix ("be", "bea", "tc",
# "cs_", "ct_") without forming a token.
_NEAR_MISSES = ("about", "number", "beam", "beat", "bears", "abc", "tcp", "docs_url", "object_id",
                "snake_case", "user_id", "request_tc", "be", "between", "table", "the", "and")


def _near_miss_line(rng: random.Random) -> str:
    words = " ".join(rng.choice(_NEAR_MISSES + _WORDS) for _ in range(rng.randint(4, 14)))
    return f"{words} id={rng.randint(0, 10**9)}"


def make_log_text(target_chars: int = 10_000_000, *, kind: str = "tokens", seed: int = 7) -> str:
    """A long log text of the dump's lines: "tokens" keeps the few that hold
    one, "plain" holds none, "near-misses" holds none but is dense with
    words that begin like a token."""
    make_line = {"tokens": _line, "plain": _plain_line, "near-misses": _near_miss_line}[kind]
    rng = random.Random(seed)
    lines, size = [], 0
    while size < target_chars:
        line = make_line(rng)
        lines.append(line)
        size += len(line) + 1
    return "\n".join(lines)[:target_chars]
