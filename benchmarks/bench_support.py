"""The interpreter layer's native coroutines against the same `async def`:
time per call of a try/finally whose clean-up awaits, driven by hand (no
event loop), and memory left over after many calls."""

import gc
import time
import tracemalloc

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


def per_call(function, count):
    resource, ready = Resource(), Ready()
    start = time.perf_counter()
    for _ in range(count):
        drive(function(resource, ready))
    return (time.perf_counter() - start) / count * 1e6


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
    count = 100_000
    for name, function in (("native", probe.close_after), ("async def", close_after)):
        print(f"{name:10s} try/finally with awaited clean-up: {per_call(function, count):6.2f} us/call, "
              f"memory growth over 20000 calls: {growth(function, 20_000)} bytes")


if __name__ == "__main__":
    main()
