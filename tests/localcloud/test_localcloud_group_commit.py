"""Grouped commits: writes that arrive together wait for one flush of the log, and none is
answered before a flush that covers it has finished."""

from __future__ import annotations

import asyncio
import errno
import functools
import os
import sqlite3
import time

import pytest
import uvloop

from zelto_localcloud import store as store_module
from zelto_localcloud.store import Store


@pytest.fixture(params=["asyncio", "uvloop"])
def run(request):
    """Runs a coroutine to its end on a new event loop: asyncio's own, or the server's."""
    factory = asyncio.new_event_loop if request.param == "asyncio" else uvloop.new_event_loop
    return functools.partial(asyncio.run, loop_factory=factory)


def flushed_writes(tmp_path, monkeypatch, fail_flush=False):
    """A grouping store, the number of commits made when each flush of its log began, and a
    write that checks it is answered only once a flush that began after its commit has finished."""
    store = Store(tmp_path)
    store.group_commits()
    flushes: list[int] = []
    real_fsync = os.fsync

    def counting_fsync(descriptor):
        flushes.append(store._flusher._committed)
        if fail_flush:
            raise OSError(errno.EIO, "Input/output error")
        real_fsync(descriptor)

    monkeypatch.setattr(store_module.os, "fsync", counting_fsync)

    async def write(index: int) -> int:
        with store.transaction():
            store.set_setting(f"s{index}", "v")
        committed = store._flusher._committed
        await store.durable()
        assert any(count >= committed for count in flushes)
        return index

    return store, flushes, write


@pytest.mark.parametrize(
    "writers, fail_flush",
    [(1, False), (64, False), (8, True)],
    ids=["one write", "writes together", "failing flush"],
)
def test_writes_wait_for_a_shared_flush(tmp_path, monkeypatch, run, writers, fail_flush):
    store, flushes, write = flushed_writes(tmp_path, monkeypatch, fail_flush)

    async def writes():
        return await asyncio.gather(*(write(i) for i in range(writers)), return_exceptions=True)

    try:
        results = run(writes())
        if fail_flush:
            assert all(isinstance(r, OSError) and "could not be flushed" in str(r) for r in results)
            with pytest.raises(OSError):  # and every later answer too: the log's state is unknown
                run(store.durable())
        else:
            assert results == list(range(writers))
            assert 1 <= len(flushes) <= max(1, writers // 8)  # together, they share flushes
            assert all(store.setting(f"s{i}") == "v" for i in range(writers))
    finally:
        store.close()


class _CommitRefused:
    """The store's connection, whose first `count` COMMITs fail as on a full disk."""

    def __init__(self, connection, count):
        self._connection, self._count = connection, count

    def execute(self, sql, *args):
        if sql == "COMMIT" and self._count > 0:
            self._count -= 1
            raise _full_disk()
        return self._connection.execute(sql, *args)

    @property
    def in_transaction(self):
        return self._connection.in_transaction


def _full_disk() -> sqlite3.OperationalError:
    error = sqlite3.OperationalError("database or disk is full")
    error.sqlite_errorcode = sqlite3.SQLITE_FULL
    return error


# Each write: (name, what happens inside its transaction). "ok" stores a setting; "refused" raises an error of
# the rules after storing it; "lost" fails the way SQLite fails when it rolls back the whole transaction
# (a full disk in the middle of a statement); "big" needs more pages than the database may have; "alone"
# commits by itself (what came before it first), with a nested write joining it; "twice" writes again a turn
# later. The first `refused` COMMITs fail.
@pytest.mark.parametrize("writes, refused, stored, commits", [
    ([("a", "ok"), ("b", "ok"), ("c", "ok")], 0, {"a", "b", "c"}, 1),
    ([("a", "ok"), ("b", "refused"), ("c", "ok")], 0, {"a", "c"}, 1),
    # SQLite may roll back the statement or the whole transaction: either way what was acknowledged is stored.
    ([("a", "ok"), ("b", "big"), ("c", "ok")], 0, None, 1),
    ([("a", "ok"), ("b", "ok"), ("c", "lost"), ("d", "ok")], 0, {"d"}, 1),
    ([("a", "ok"), ("b", "alone"), ("c", "ok")], 0, {"a", "b", "c"}, 3),
    ([("a", "ok"), ("b", "refused"), ("c", "ok")], 9, set(), 0),
    ([("a", "twice"), ("b", "ok")], 1, set(), 1),  # the later turn's commit does not hide the first's loss
    ([("a", "ok"), ("r", "read")], 1, set(), 0),  # a read that saw the lost write is not answered either
], ids=["together", "one refused", "one too big", "transaction rolled back", "one alone", "commit fails",
        "answer over two turns", "read of a lost write"])
def test_writes_of_one_turn_share_a_transaction_and_each_learns_its_fate(tmp_path, run, writes, refused, stored,
                                                                         commits):
    store = Store(tmp_path)
    store.group_commits()
    statements: list[str] = []
    store._conn.set_trace_callback(statements.append)
    store.execute("PRAGMA max_page_count = {}".format(store.execute("PRAGMA page_count").fetchone()[0] + 16))
    store._flusher._conn = _CommitRefused(store._conn, refused)

    async def write(name: str, kind: str):
        try:
            if kind == "read":
                assert store.setting("a") is not None  # the open transaction's write, not yet committed
                await store.durable()
                return name
            with store.transaction(alone=kind == "alone"), store.transaction():
                store.set_setting(name, "x" * (300_000 if kind == "big" else 10))
                if kind == "refused":
                    raise LookupError("refused by the rules")
                if kind == "lost":
                    store._conn.execute("ROLLBACK")
                    raise _full_disk()
            if kind == "twice":
                await asyncio.sleep(0.01)  # the first turn is committed meanwhile
                with store.transaction():
                    store.set_setting(f"{name}-later", "x")
            await store.durable()
        except (LookupError, sqlite3.OperationalError) as error:
            if not isinstance(error, LookupError):
                assert store_module.storage_failure(error) == "full", error
            return None
        return name

    async def all_writes():
        return await asyncio.gather(*(write(name, kind) for name, kind in writes))

    try:
        acknowledged = {name for name in run(all_writes()) if name is not None}
        # One commit for the turn, none acknowledged that was not stored.
        assert acknowledged == (stored if stored is not None else acknowledged - {"b"})
        assert statements.count("COMMIT") == commits
        store._flusher._conn = store._conn
        assert run(write("after", "ok")) == "after"  # and the store goes on taking writes
    finally:
        store.close()
    again = Store(tmp_path)
    try:
        assert {name for name, _ in writes if again.setting(name) is not None} == acknowledged
        assert again.setting("after") is not None
    finally:
        again.close()


# Before each write: "turn" (the event loop's next turn) or "quiet" (longer than the flushes' spacing);
# then how many flushes there may be at most, and whether the first write must be flushed at once.
@pytest.mark.parametrize("pauses, most_flushes", [
    (["quiet"], 1),
    (["quiet", "turn", "turn", "turn", "turn", "turn"], 2),
    (["quiet", "quiet", "quiet"], 3),
], ids=["after a quiet spell", "successive turns", "quiet between"])
def test_flushes_are_spaced_and_a_lone_write_waits_for_none(tmp_path, monkeypatch, run, pauses, most_flushes):
    spacing = 0.05
    monkeypatch.setattr(store_module, "FLUSH_SPACING", spacing)
    store, flushes, write = flushed_writes(tmp_path, monkeypatch)

    async def turns_until(task) -> int:
        turns = 0
        while not task.done():
            await asyncio.sleep(0)
            turns += 1
        return turns

    async def writes():
        tasks, first_turns = [], None
        for index, pause in enumerate(pauses):
            await asyncio.sleep(spacing * 1.5 if pause == "quiet" else 0)
            tasks.append(asyncio.create_task(write(index)))
            if index == 0:
                first_turns = await turns_until(tasks[0])
        return await asyncio.gather(*tasks), first_turns

    try:
        done, first_turns = run(writes())
        assert done == list(range(len(pauses)))
        assert first_turns < 20  # flushed at the next turns, not held for the spacing
        assert 1 <= len(flushes) <= most_flushes, flushes
        assert all(store.setting(f"s{i}") == "v" for i in range(len(pauses)))
    finally:
        store.close()


def test_flushes_under_steady_writes_keep_their_spacing(tmp_path, monkeypatch, run):
    # The server's loop counts its timers in whole milliseconds: a flush must not come early there either.
    spacing = 0.005
    monkeypatch.setattr(store_module, "FLUSH_SPACING", spacing)
    store = Store(tmp_path)
    store.group_commits()
    flushes: list[tuple[float, float]] = []  # when each flush of the log began and ended
    real_fsync = os.fsync

    def timed_fsync(descriptor):
        began = time.monotonic()
        real_fsync(descriptor)
        flushes.append((began, time.monotonic()))

    monkeypatch.setattr(store_module.os, "fsync", timed_fsync)

    async def a_write_every_turn():
        written = 0
        while len(flushes) < 12:
            with store.transaction():
                store.set_setting(f"s{written}", "v")
            written += 1
            await asyncio.sleep(0)
        await store.durable()
        return written

    try:
        written = run(a_write_every_turn())
        gaps = [later[0] - earlier[1] for earlier, later in zip(flushes, flushes[1:])]
        assert min(gaps) >= spacing, gaps
        assert max(gaps) < spacing + 0.5, gaps  # and it does come
        assert store.setting(f"s{written - 1}") == "v"
    finally:
        store.close()


def _temporary_files() -> set[str]:
    """The unlinked files this process holds open (where SQLite keeps its temporary files)."""
    found = set()
    for descriptor in os.listdir("/proc/self/fd"):
        try:
            target = os.readlink(f"/proc/self/fd/{descriptor}")
        except OSError:
            continue
        if target.endswith(" (deleted)"):
            found.add(target)
    return found


# Each write of one shared transaction rewrites `rows` of the rows stored beforehand (so that its
# savepoint must keep their old pages: hundreds of KiB for the larger ones) and then either stays
# ("ok") or fails and is undone alone ("refused").
@pytest.mark.parametrize("writes", [
    [(2000, "ok")],
    [(2000, "ok"), (2000, "refused"), (2000, "ok")],
    [(2000, "refused"), (50, "ok"), (2000, "refused")],
    [(50, "ok")] * 20 + [(2000, "refused")],
], ids=["one large write", "a large write undone between two", "undone around a small one", "many small, one undone"])
def test_savepoints_of_a_shared_transaction_are_undone_in_memory(tmp_path, run, writes):
    store = Store(tmp_path)
    rows = max(count for count, _ in writes)
    with store.transaction():  # stored before: the shared transaction changes pages already on disk
        for row in range(rows):
            store.set_setting(f"row{row:05d}", "before" + "." * 200)
    store.group_commits()
    before = _temporary_files()
    opened: set[str] = set()

    async def write(index: int, count: int, kind: str) -> bool:
        try:
            with store.transaction():
                for row in range(count):
                    store.set_setting(f"row{row:05d}", f"write{index}" + "." * 200)
                opened.update(_temporary_files() - before)
                if kind == "refused":
                    raise LookupError("refused by the rules")
        except LookupError:
            return False
        await store.durable()
        return True

    async def all_writes():
        return await asyncio.gather(*(write(index, count, kind) for index, (count, kind) in enumerate(writes)))

    try:
        assert run(all_writes()) == [kind == "ok" for _, kind in writes]
        assert not opened, f"the savepoints' journal went to a file: {opened}"
    finally:
        store.close()
    # Each row holds what the last write that stayed wrote to it, or what was stored before.
    again = Store(tmp_path)
    try:
        for row in range(rows):
            kept = [index for index, (count, kind) in enumerate(writes) if kind == "ok" and row < count]
            expected = f"write{kept[-1]}" if kept else "before"
            assert again.setting(f"row{row:05d}") == expected + "." * 200, row
    finally:
        again.close()
