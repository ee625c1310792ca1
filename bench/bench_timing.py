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


def per_job_medians(fns, jobs, blocks):
    """Median wall and CPU seconds per job of each function, called as
    fn(jobs) in blocks taken in turn. CPU time is the process's (user and
    system, every thread), so that work moved to another thread counts."""
    for fn in fns.values():
        fn(max(1, jobs // 10))
    wall = {name: [] for name in fns}
    cpu = {name: [] for name in fns}
    for _ in range(blocks):
        for name, fn in fns.items():
            start, start_cpu = time.perf_counter(), time.process_time()
            fn(jobs)
            wall[name].append((time.perf_counter() - start) / jobs)
            cpu[name].append((time.process_time() - start_cpu) / jobs)
    return ({name: statistics.median(t) for name, t in wall.items()},
            {name: statistics.median(t) for name, t in cpu.items()})
