"""The interpreter layer's native coroutines against the same `async def`:
CPU time per call of a try/finally whose clean-up awaits, driven by hand (no
event loop), pair by pair (pairs.py), and memory left over after many calls."""

import gc
import tracemalloc

from pairs import pair, report
import tests_on_path  # noqa: E402,F401
from probe_build import load  # noqa: E402

probe = load("support_probe")


async def close_after(resource, awaitable):
    try:
        return await awaitable
    finally:
        await resource.close()


class Ready:
    """Completes at once, like a cached response."""

    def __await__(self):
        return iter(())


class Resource:
    async def close(self):
        return None


def drive(coro):
    try:
        coro.send(None)
    except StopIteration as stop:
        return stop.value
    raise AssertionError("suspended")


def calls(function):
    resource, ready = Resource(), Ready()

    def run(count):
        for _ in range(count):
            drive(function(resource, ready))

    return run


def growth(function, count):
    resource, ready = Resource(), Ready()
    gc.collect()
    tracemalloc.start()
    for _ in range(200):
        drive(function(resource, ready))
    gc.collect()
    before = tracemalloc.get_traced_memory()[0]
    for _ in range(count):
        drive(function(resource, ready))
    gc.collect()
    after = tracemalloc.get_traced_memory()[0]
    tracemalloc.stop()
    return after - before


def main():
    report("try/finally with awaited clean-up", *pair(calls(probe.close_after), calls(close_after), 20_000),
           "async def/native >= 1")
    for name, function in (("native", probe.close_after), ("async def", close_after)):
        print(f"{name:10s} memory growth over 20000 calls: {growth(function, 20_000)} bytes (target: none)")


if __name__ == "__main__":
    main()
