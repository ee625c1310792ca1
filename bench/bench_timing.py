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
