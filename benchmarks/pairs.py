"""Timing in pairs: two ways of doing the same work, measured in CPU time of
this process, round by round, alternating which goes first, so that both see
the same spells of a machine shared with other work.

Each round times ``number`` calls of each; the figures are the medians over
the rounds, and the ratio is the median of the per-round ratios (a round in
which one side was disturbed moves one ratio, not the verdict).
"""

from __future__ import annotations

import statistics
import time
from typing import Callable

ROUNDS = 9


def per_call(run: Callable[[int], object], number: int) -> float:
    start = time.process_time()
    run(number)
    return (time.process_time() - start) / number


def alternated(first: Callable[[int], object], second: Callable[[int], object], number: int,
               count: int = ROUNDS) -> tuple[list[float], list[float]]:
    """Seconds per call of each, round by round, alternating which goes first."""
    first(max(1, number // 10))  # warm-up: imports, caches, first-call set-up
    second(max(1, number // 10))
    a, b = [], []
    for index in range(count):
        if index % 2:
            b.append(per_call(second, number))
            a.append(per_call(first, number))
        else:
            a.append(per_call(first, number))
            b.append(per_call(second, number))
    return a, b


def pair(first: Callable[[int], object], second: Callable[[int], object], number: int,
         rounds: int = ROUNDS) -> tuple[float, float, float]:
    """Median seconds per call of each, and the median of second/first over the rounds."""
    a, b = alternated(first, second, number, rounds)
    return statistics.median(a), statistics.median(b), statistics.median(y / x for x, y in zip(a, b))


def added(base: Callable[[int], object], more: Callable[[int], object], number: int) -> tuple[float, float]:
    """Median seconds per call of ``base``, and the median over the rounds of
    what ``more`` costs above it in the same round."""
    a, b = alternated(base, more, number)
    return statistics.median(a), statistics.median(y - x for x, y in zip(a, b))


def us(seconds: float) -> str:
    return f"{seconds * 1e6:9.2f} us"


def report(label: str, native: float, twin: float, ratio: float, target: str) -> None:
    print(f"{label:<44} native {us(native)}  twin {us(twin)}  twin/native {ratio:5.2f}  (target: {target})")
