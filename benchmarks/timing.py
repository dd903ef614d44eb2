"""What the harness (CPython 3.7) and the peers (the system's Python 3) share: the timing loop and
the reading of the BLAS a process loaded."""
import math
import statistics
import re
import time
import timeit


# A first call that takes this many blocks is long in itself, not slowed by a first time.
LONG_CALL_BLOCKS = 16


class Loop:
    """A function that makes a given number of calls and returns the seconds they took, with
    timeit's interface."""

    def __init__(self, run):
        self.timeit = run


def measure(entries, block, repeats, clock=time.thread_time, budget=None, settle=False):
    """Seconds per call of each entry: the median over blocks, and every block's figure.

    entries maps a label to (statement, namespace), timed on `clock`, or to a function that
    times its own calls (Loop). Each is first calibrated to a number of calls that takes about
    `block`; then the blocks of all labels take turns, in reversed order every other round, so
    that block i of one label and block i of another ran side by side. With a budget (seconds
    per entry set), calls too long for it get fewer rounds, but never fewer than five. With settle,
    an untimed block of the same label precedes every block: on this machine a copy of megabytes
    that follows another label's takes four or five calls to reach its own pace (a memcpy as
    well), which weighs on a block of ten calls three times as much as on one of thirty."""
    timers, numbers, per_call = {}, {}, {}
    for label, entry in entries.items():
        timer = timeit.Timer(entry[0], timer=clock, globals=entry[1]) if isinstance(entry, tuple) \
            else Loop(entry)
        # The first call warms up. It may fault in memory that the later calls find mapped (a
        # fresh block of megabytes, or code pages that the kernel reclaimed: a first call of a
        # 70 ns function was seen to take over a millisecond): calibrated on it, a block would
        # hold too few calls, so a second call calibrates unless the first took many blocks (a
        # long call, whose blocks then hold one call either way). When that call fills a
        # quarter block, it is the calibration.
        number, elapsed = 1, timer.timeit(1)
        if elapsed < LONG_CALL_BLOCKS * block:
            elapsed = timer.timeit(1)
        while elapsed < block / 4 and number < 1 << 22:
            number *= 4
            elapsed = timer.timeit(number)
        timers[label] = timer
        per_call[label] = max(elapsed, 1e-9) / number
        numbers[label] = max(1, int(math.ceil(block / per_call[label])))
    if budget is not None:
        round_time = sum(numbers[label] * per_call[label] for label in timers)
        repeats = max(5, min(repeats, int(budget / round_time)))
    samples = {label: [] for label in timers}
    order = list(timers)
    for round_ in range(repeats):
        for label in (order if round_ % 2 == 0 else order[::-1]):
            if settle:
                timers[label].timeit(numbers[label])
            samples[label].append(timers[label].timeit(numbers[label]) / numbers[label])
    return {label: {"median": statistics.median(s), "min": min(s), "max": max(s), "calls": numbers[label],
                    "blocks": s}
            for label, s in samples.items()}


def paired_ratio(first, second):
    """The median over rounds of first's block over second's block of the same round: the
    comparison that slow drifts of the machine's load cancel out of."""
    return statistics.median(a / b for a, b in zip(first["blocks"], second["blocks"]))


def mapped_blas_libraries():
    """The BLAS and LAPACK libraries this process has mapped, in the order first seen."""
    mapped = []
    with open("/proc/self/maps") as maps:
        for line in maps:
            path = line.split()[-1] if "/" in line else ""
            if re.search(r"blas|lapack", path) and path not in mapped:
                mapped.append(path)
    return mapped
