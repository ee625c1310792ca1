"""Smoke run of bench/bench_kiv_layer.py --quick: every row is there, with a figure."""

import json
import os
import subprocess

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


def test_quick_benchmark_prints_every_row(python, build_dir, tmp_path):
    script = os.path.join(REPO, "bench", "bench_kiv_layer.py")
    figures = tmp_path / "figures.json"
    done = subprocess.run(
        [python, script, "--quick", "--build-dir", build_dir, "--json", str(figures)],
        capture_output=True,
        text=True,
        timeout=300,
    )
    assert done.returncode == 0, done.stderr
    rows = [line.split("  ")[0] for line in done.stdout.splitlines() if line.startswith(("libkiv:", "kiv:"))]
    assert rows == [
        "libkiv: load/infer_sync/get, one job (floor)",
        "kiv: Model.run",
        "libkiv: the same, sampled with submit (floor)",
        "kiv: Model.submit().result()",
        "libkiv: kiv_get_tensor (zero-filled)",
        "kiv: Model.run's output read",
    ]
    values = json.loads(figures.read_text())
    assert sorted(values) == ["big_output_gbps", "latency_us", "overlap_s"]
    assert sorted(values["latency_us"]) == ["all_cpus", "one_cpu"]
    tables = [values["overlap_s"], values["big_output_gbps"], *values["latency_us"].values()]
    assert all(v > 0 for table in tables for v in table.values())
