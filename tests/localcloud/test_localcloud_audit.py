"""The audit log's chain: `audit verify` names the first row that was changed or removed."""

from __future__ import annotations

import hashlib
import json

import pytest
from zelto_localcloud import audit, cli
from zelto_localcloud.store import Store

# Every test here runs on SQLite and on PostgreSQL.
pytestmark = pytest.mark.usefixtures("database_backend")

ROWS = 6


def _edit(index: int, key: str, value):
    def edit(lines: list[str]) -> list[str]:
        row = json.loads(lines[index])
        row[key] = value
        lines[index] = json.dumps(row, separators=(",", ":"))
        return lines

    return edit


def _rehash(index: int):
    """Changes a row and recomputes its own hash, as someone who knows the format would."""
    def edit(lines: list[str]) -> list[str]:
        text = lines[index][:lines[index].rindex(',"hash":')] + "}"
        text = text.replace('"outcome":"denied"', '"outcome":"approved"')
        lines[index] = audit.seal(text)[1]
        return lines

    return edit


def _delete(index: int):
    return lambda lines: lines[:index] + lines[index + 1:]


# Each case: how the exported file is changed, whether the head hash is given, the line named (None: intact).
CASES = {
    "untouched": (lambda lines: lines, False, None),
    "an outcome changed": (_edit(2, "outcome", "approved"), False, 3),
    "an approver changed": (_edit(4, "actor", "mallory"), False, 5),
    "a time changed": (_edit(0, "at", "2020-01-01T00:00:00.000000Z"), False, 1),
    "a row's hash changed": (_edit(3, "hash", "f" * 64), False, 4),
    "a row's prev changed": (_edit(1, "prev", "0" * 64), False, 2),
    "a seq changed": (_edit(3, "seq", 9), False, 4),
    "a row changed and re-hashed": (_rehash(2), False, 4),
    "the first row deleted": (_delete(0), False, 1),
    "a middle row deleted": (_delete(3), False, 4),
    "two rows swapped": (lambda lines: [lines[0], lines[2], lines[1], *lines[3:]], False, 2),
    "a line of garbage": (lambda lines: lines[:2] + ["{not json"] + lines[2:], False, 3),
    "the last row deleted, head known": (_delete(ROWS - 1), True, ROWS),
}


@pytest.fixture(scope="module")
def exported(tmp_path_factory) -> tuple[list[str], str]:
    folder = tmp_path_factory.mktemp("audit")
    store = Store(folder / "data")
    events = ["create", "notification", "decision", "notification", "receipt", "decision"]
    for seq, event in enumerate(events, 1):
        audit.append(store, event, 1_765_000_000.25 + seq, request_id="apr_1", request_hash="ab" * 32,
                     actor="alice", channel="dashboard", display_hash=audit.digest({"tool": "t"}),
                     outcome="denied", detail={"n": seq, "text": "naïve \u2028 <b>"})
    store.close()
    assert cli.main(["audit", "export", "--data-dir", str(folder / "data"), "--output", str(folder / "log")]) == 0
    lines = (folder / "log").read_text().splitlines()
    head = json.loads(lines[-1])["hash"]
    return lines, head


@pytest.mark.parametrize("change,with_head,named", CASES.values(), ids=CASES.keys())
def test_verify_names_the_first_broken_row(exported, tmp_path, capsys, change, with_head, named):
    lines, head = exported
    assert len(lines) == ROWS and json.loads(lines[0])["prev"] == audit.GENESIS
    assert all(hashlib.sha256((line[:line.rindex(',"hash":')] + "}").encode()).hexdigest() == json.loads(line)["hash"]
               for line in lines)
    changed = tmp_path / "changed.jsonl"
    changed.write_text("\n".join(change(list(lines))) + "\n")
    status = cli.main(["audit", "verify", str(changed), *(["--head", head] if with_head else [])])
    printed = capsys.readouterr().out
    if named is None:
        assert status == 0 and printed == f"ok: {ROWS} rows, head {head}\n"
    else:
        assert status == 1 and printed.startswith(f"broken: line {named} "), printed


# Times written one after another, as rows come: within a second, across one, and back (a clock set back).
@pytest.mark.parametrize("times, written", [
    ([1765300000.25, 1765300000.999999], ["2025-12-09T17:06:40.250000Z", "2025-12-09T17:06:40.999999Z"]),
    ([1765300000.5, 1765300001.0, 1765300001.5],
     ["2025-12-09T17:06:40.500000Z", "2025-12-09T17:06:41.000000Z", "2025-12-09T17:06:41.500000Z"]),
    ([1765300059.75, 1765299999.5, 1765300059.75],
     ["2025-12-09T17:07:39.750000Z", "2025-12-09T17:06:39.500000Z", "2025-12-09T17:07:39.750000Z"]),
    ([0.0, 86399.5], ["1970-01-01T00:00:00.000000Z", "1970-01-01T23:59:59.500000Z"]),
], ids=["one second", "the next second", "set back", "the first day"])
def test_each_row_is_written_its_own_time(times, written):
    """The date and time of day are worked out once a second: a row of another second must never
    carry the one before's."""
    assert [audit.row_text(audit.GENESIS, 1, at, "create")[len('{"prev":"') + 64:].split('"at":"')[1][:27]
            for at in times] == written


# Encoders made once must write what json.dumps writes with the options each place used: stored JSON
# (ASCII), the audit's canonical and row JSON (hashed, so a byte's difference breaks every chain check), a
# list summary and an API answer (UTF-8 as is).
_STORED = dict(ensure_ascii=True, allow_nan=False)
_CANONICAL = dict(sort_keys=True, separators=(",", ":"), ensure_ascii=True)
_ROW = dict(separators=(",", ":"), ensure_ascii=True, allow_nan=False)
_UNESCAPED = dict(ensure_ascii=False)
_ANSWER = dict(ensure_ascii=False, allow_nan=False, separators=(",", ":"))


def _answer_bytes(value) -> bytes:
    from zelto_localcloud.api import JSONResponse
    return JSONResponse(value).body


@pytest.mark.parametrize("made_once, options, utf8", [
    (lambda value: __import__("zelto_localcloud.store", fromlist=["x"]).json_or_none(value), _STORED, False),
    (lambda value: audit.digest(value), _CANONICAL, None),
    (lambda value: audit._row_json(value), _ROW, False),
    (lambda value: __import__("zelto_localcloud.paging", fromlist=["x"])._short_json(value, 10**6), _UNESCAPED, False),
    (_answer_bytes, _ANSWER, True),
], ids=["stored", "digest", "row", "summary", "answer"])
@pytest.mark.parametrize("value", [
    {"b": 1, "a": [True, None, 1.5, -0.0]}, "zürich €", {"k": "\ud800"}, {"n": float("nan")},
    {"deep": [[{"x": "\u2028"}]]}, 10**30, {"é": {"z": 1, "a": 2}}, [],
], ids=["mixed", "non-ascii", "lone surrogate", "nan", "nested", "big int", "non-ascii key", "empty"])
def test_encoders_made_once_write_what_json_dumps_writes(made_once, options, utf8, value):
    try:
        expected = json.dumps(value, **options)
    except ValueError as error:
        with pytest.raises(ValueError):
            made_once(value)
        assert "not JSON compliant" in str(error)
        return
    if utf8 is None:  # a digest of the JSON, or of text as it is
        expected = hashlib.sha256((value if isinstance(value, str) else expected).encode()).hexdigest()
    elif utf8:
        try:
            expected = expected.encode("utf-8")
        except UnicodeEncodeError:
            with pytest.raises(UnicodeEncodeError):
                made_once(value)
            return
    assert made_once(value) == expected
