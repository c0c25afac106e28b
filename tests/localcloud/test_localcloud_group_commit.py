"""Grouped commits: writes that arrive together wait for one flush of the log, and none is
answered before a flush that covers it has finished."""

from __future__ import annotations

import asyncio
import errno
import os

import pytest

from zelto_localcloud import store as store_module
from zelto_localcloud.store import Store


@pytest.mark.parametrize(
    "writers, fail_flush",
    [(1, False), (64, False), (8, True)],
    ids=["one write", "writes together", "failing flush"],
)
def test_writes_wait_for_a_shared_flush(tmp_path, monkeypatch, writers, fail_flush):
    store = Store(tmp_path)
    store.group_commits()
    flushes: list[int] = []  # the number of commits made when each flush began
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
        # a flush that began after this commit has finished
        assert any(count >= committed for count in flushes)
        return index

    async def run():
        return await asyncio.gather(*(write(i) for i in range(writers)), return_exceptions=True)

    try:
        results = asyncio.run(run())
        if fail_flush:
            assert all(isinstance(r, OSError) and "could not be flushed" in str(r) for r in results)
            with pytest.raises(OSError):  # and every later answer too: the log's state is unknown
                asyncio.run(store.durable())
        else:
            assert results == list(range(writers))
            assert 1 <= len(flushes) <= max(1, writers // 8)  # together, they share flushes
            assert all(store.setting(f"s{i}") == "v" for i in range(writers))
    finally:
        store.close()
