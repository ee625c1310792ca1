"""Wall-clock timing shared by the Python benchmarks."""

import statistics
import time


def median_seconds(fn, samples, warmup=0):
    """Median time of `samples` timed calls of fn, after `warmup` untimed ones."""
    for _ in range(warmup):
        fn()
    times = []
    for _ in range(samples):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def block_medians(fns, samples, blocks=10):
    """Median seconds of each function over `samples` calls, made in blocks
    of back-to-back calls taken in turn: within a block a function runs as a
    program calling it in a loop does (what one call leaves behind, threads
    asleep or awake, falls on the next call of the same kind), and the turns
    let every function see the machine's load of the moment."""
    for fn in fns.values():
        fn()
    times = {name: [] for name in fns}
    per_block = max(1, samples // blocks)
    for _ in range(blocks):
        for name, fn in fns.items():
            for _ in range(per_block):
                start = time.perf_counter()
                fn()
                times[name].append(time.perf_counter() - start)
    return {name: statistics.median(t) for name, t in times.items()}


def interleaved_medians(fns, samples, settle=None):
    """Median seconds of each function, sampled in turn so that every figure
    and its floor share the machine's load of the moment. `settle`, when
    given, runs untimed after each sample: work a sample leaves behind on
    another thread must not fall on the next one."""
    for fn in fns.values():
        fn()
    times = {name: [] for name in fns}
    for _ in range(samples):
        for name, fn in fns.items():
            start = time.perf_counter()
            fn()
            times[name].append(time.perf_counter() - start)
            if settle is not None:
                settle()
    return {name: statistics.median(t) for name, t in times.items()}
