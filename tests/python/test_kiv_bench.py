"""Smoke run of bench/bench_kiv_layer.py --quick."""

import os
import subprocess

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


def test_quick_benchmark_prints_a_row_per_variant(python, build_dir):
    script = os.path.join(REPO, "bench", "bench_kiv_layer.py")
    done = subprocess.run(
        [python, script, "--quick", "--build-dir", build_dir],
        capture_output=True,
        text=True,
        timeout=300,
    )
    assert done.returncode == 0, done.stderr
    rows = [line for line in done.stdout.splitlines() if line.startswith(("libkiv:", "kiv:"))]
    assert [row.split("  ")[0] for row in rows] == [
        "libkiv: create/load/infer_sync/get/clean",
        "libkiv: load/infer_async+wait/get, one job",
        "kiv: Model.run (job reuse)",
        "kiv: Model.run (new job per run)",
        "kiv: Model.submit().result()",
    ]
    medians = [float(row.split()[-2]) for row in rows]
    ratios = [float(row.split()[-1]) for row in rows]
    assert all(m > 0 for m in medians)
    assert ratios[0] == 1.0
