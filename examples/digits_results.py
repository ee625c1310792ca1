"""What every inference mode hands back, how its outputs are checked against
the numpy reference, and the table the example prints. Shared by both APIs
(digits_kiv.py and digits_npu.py) so they are judged the same way."""

import time
from dataclasses import dataclass, field

import numpy as np


@dataclass
class RunResult:
    outputs: list  # one numpy array per input, in input order
    latencies: list  # seconds per inference
    wall_seconds: float
    notes: dict = field(default_factory=dict)


def run_in_batches(samples, batch_size, run_chunk):
    """Runs samples batch_size at a time through run_chunk, which returns one
    output per sample of its chunk; each inference is charged an equal share
    of its batch's time."""
    outputs, latencies = [], []
    start = time.perf_counter()
    for first in range(0, len(samples), batch_size):
        chunk = samples[first : first + batch_size]
        t0 = time.perf_counter()
        results = run_chunk(chunk)
        per_inference = (time.perf_counter() - t0) / len(chunk)
        outputs.extend(results)
        latencies.extend([per_inference] * len(chunk))
    return RunResult(outputs, latencies, time.perf_counter() - start, {"batch_size": batch_size})


def accuracy(logits, labels):
    return float(np.mean(np.argmax(logits, axis=-1).reshape(-1) == labels))


def compare(outputs, reference, precision, shape=None):
    """Indexes of the outputs that differ from the reference rows.

    An output must have the reference's dtype and `shape` (default: the
    row's own, one-dimensional) as well as its values: exactly for int8, to
    rounding for float32.
    """
    bad = []
    for i, (got, want) in enumerate(zip(outputs, reference)):
        want = want.reshape(shape if shape is not None else -1)
        if got.shape != want.shape or got.dtype != want.dtype:
            bad.append(i)
            continue
        same = np.array_equal(got, want) if precision == "int8" else np.allclose(got, want, rtol=1e-5, atol=1e-5)
        if not same:
            bad.append(i)
    if len(outputs) != len(reference):
        bad.append(min(len(outputs), len(reference)))
    return bad


def print_header():
    print(f"{'mode':<6} {'samples':>7} {'accuracy':>9} {'median us':>10} {'p99 us':>9} "
          f"{'inferences/s':>12} {'mismatches':>10}")


def print_row(mode, result, labels, mismatches):
    lat_us = np.array(result.latencies) * 1e6
    acc = accuracy(np.stack(result.outputs), labels) if result.outputs else 0.0
    throughput = len(result.outputs) / result.wall_seconds if result.wall_seconds > 0 else 0.0
    extra = "".join(f"  {k} {v}" for k, v in result.notes.items())
    median = np.median(lat_us) if len(lat_us) else 0.0
    p99 = np.percentile(lat_us, 99) if len(lat_us) else 0.0
    print(f"{mode:<6} {len(result.outputs):>7} {acc:>9.1%} {median:>10.0f} "
          f"{p99:>9.0f} {throughput:>12.0f} {len(mismatches):>10}{extra}")


def print_mismatches(mode, result, reference, mismatches, limit=3):
    for i in mismatches[:limit]:
        got = result.outputs[i] if i < len(result.outputs) else None
        want = reference[i].reshape(-1) if i < len(reference) else None
        print(f"  {mode} sample {i}: NPU {got!r}, numpy {want!r}")


def print_verdict(failed, total, precision):
    """Prints the closing lines; returns the exit status (1 on any mismatch)."""
    print()
    print("latency: per inference; in batch mode the batch's time divided by its size")
    if failed:
        print(f"MISMATCH: {failed} of {total} NPU outputs differ from the numpy reference")
        return 1
    exact = "exactly" if precision == "int8" else "to float32 rounding"
    print(f"all outputs match the numpy reference ({total} of {total}, {precision}, {exact})")
    return 0
