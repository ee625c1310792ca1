"""kiv bench: every figure, the default length, an interrupt, plots and
traces. And a smoke run of bench/bench_kiv_layer.py --quick: every row is
there, with a figure."""

import csv
import datetime
import json
import os
import pty
import re
import select
import signal
import struct
import subprocess
import time
import zlib

import numpy as np
import pytest

from conftest import PYTHON, SEARCH_PATH
from kiv import __version__ as kiv_version
from test_kiv_cli import kiv, model  # noqa: F401 (a fixture)

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
    rows = [line.split("  ")[0] for line in done.stdout.splitlines()
            if line.startswith(("libkiv:", "kiv:", "Model.run at"))]
    assert rows == [
        "libkiv: load/infer_sync/get, one job (floor)",
        "kiv: Model.run",
        "libkiv: the same, sampled with submit (floor)",
        "libkiv: the same through kiv_job_infer_async and a Python callback",
        "kiv: Model.submit().result()",
        "libkiv: kiv_get_tensor (zero-filled)",
        "kiv: Model.run's output read",
        "Model.run at QoS 0, behind the waiting jobs",
        "Model.run at QoS 1, ahead of them",
    ]
    values = json.loads(figures.read_text())
    assert sorted(values) == ["big_output_gbps", "latency_us", "overlap_s", "priority_s"]
    assert sorted(values["latency_us"]) == ["all_cpus", "one_cpu"]
    tables = [values["overlap_s"], values["big_output_gbps"], values["priority_s"], *values["latency_us"].values()]
    assert all(v > 0 for table in tables for v in table.values())


# --- kiv bench ------------------------------------------------------------------------------------


def check_trace(document, runs, lanes):
    """The trace event format (JSON object form): metadata events name the
    process and lanes; one complete event per job, and a lane's jobs never overlap."""
    events = document["traceEvents"]
    assert all(e["ph"] in ("M", "X") and isinstance(e["pid"], int) and isinstance(e["tid"], int) for e in events)
    assert all(e["name"] in ("process_name", "thread_name") and isinstance(e["args"]["name"], str)
               for e in events if e["ph"] == "M")
    jobs = [e for e in events if e["ph"] == "X"]
    assert len(jobs) == runs
    assert all(isinstance(e["name"], str) and e["ts"] >= 0 and e["dur"] >= 0 for e in jobs)
    assert 1 <= len({e["tid"] for e in jobs}) <= lanes
    for tid in {e["tid"] for e in jobs}:
        lane = sorted((e["ts"], e["ts"] + e["dur"]) for e in jobs if e["tid"] == tid)
        assert all(end <= next_start + 1e-3 for (_, end), (next_start, _) in zip(lane, lane[1:]))


@pytest.mark.parametrize("mode, options, per_run, lanes", [
    ("sync", [], 1, 1),
    ("async", ["--in-flight", "3"], 1, 3),
    ("batch", ["--batch-size", "4"], 4, 1),
])
def test_bench_reports_every_figure_and_traces_every_job(model, tmp_path, mode, options, per_run, lanes):
    trace, table, samples = tmp_path / "trace.json", tmp_path / "runs.csv", tmp_path / "samples"
    samples.mkdir()
    for name in ("a", "b"):
        np.save(samples / ("%s.npy" % name), np.ones((2, 3), np.float32))
    done = kiv("bench", model, "--driver", "standin", "--mode", mode, *options, "--count", "30", "--warmup", "2",
               "--json", "--trace", str(trace), "--csv", str(table), "-i", str(samples), "--percentiles", "95,50")
    assert done.returncode == 0, done.stderr
    figures = json.loads(done.stdout)
    # Self-describing: which kiv, when, what ran where, as asked, on which inputs.
    assert (figures["kiv_version"], figures["command"]) == (kiv_version, "bench")
    assert datetime.datetime.fromisoformat(figures["date"].replace("Z", "+00:00")).tzinfo is not None
    described = json.loads(kiv("info", model, "--driver", "standin", "--json").stdout)
    assert [figures[key] for key in ("model", "driver", "device")] == [described[key] for key in ("model", "driver",
                                                                                                 "device")]
    assert figures["options"] == {
        "mode": mode, "in_flight": 3 if mode == "async" else None, "batch_size": 4 if mode == "batch" else None,
        "count": 30, "duration": None, "warmup": 2, "partition": 0, "core": None, "qos": 0, "profile": False,
        "dump": None, "percentiles": [50.0, 95.0]}
    assert figures["inputs"] == {"given": [str(samples)], "filled": [], "random": None, "seed": 0, "quantize": False,
                                 "sets": 2, "samples": ["a", "b"]}
    lat = figures["latency_ms"]
    assert (figures["runs"], figures["inferences"], figures["inferences_per_run"], figures["partial"]) == (
        30, 30 * per_run, per_run, False)
    assert list(lat) == ["min", "mean", "stdev", "p50", "p95", "max"]
    assert 0 < lat["min"] <= lat["p50"] <= lat["p95"] <= lat["max"]
    assert lat["min"] <= lat["mean"] <= lat["max"] and lat["stdev"] >= 0
    assert figures["load_ms"] > 0 and figures["first_inference_ms"] > 0 and figures["throughput_per_s"] > 0
    assert figures["peak_rss_bytes"] > 10 * 2**20  # an interpreter with numpy holds more than this
    assert figures["files"] == {"trace": str(trace), "csv": str(table)} and figures["notes"] == []
    check_trace(json.loads(trace.read_text()), 30, lanes)
    rows = list(csv.DictReader(table.open()))
    assert sorted(int(row["run"]) for row in rows) == list(range(30))
    starts = [float(row["start_ms"]) for row in rows]
    assert starts == sorted(starts) and starts[0] >= 0
    latencies = sorted(float(row["latency_ms"]) for row in rows)
    assert latencies[0] == pytest.approx(lat["min"], abs=1e-5) and latencies[-1] == pytest.approx(lat["max"], abs=1e-5)
    # Run n takes set n (in batch mode, the batch's first set is n * 4): a and b in turn.
    assert all(row["sample"] == "ab"[int(row["run"]) * per_run % 2] for row in rows)
    text = kiv("bench", model, "--driver", "standin", "--mode", mode, *options, "--duration", "0.2")
    assert text.returncode == 0 and "throughput:" in text.stdout and "first inference" in text.stdout


def test_bench_runs_at_least_100_times_and_for_a_second_by_default(model):
    figures = json.loads(kiv("bench", model, "--driver", "standin", "--json").stdout)
    assert figures["runs"] >= 100 and figures["seconds"] >= 1.0


@pytest.mark.parametrize("mode", ["sync", "async"])
def test_an_interrupted_bench_prints_the_partial_figures(model, mode):
    """Ctrl-C once the timed runs show their progress on a terminal."""
    try:
        leader, follower = pty.openpty()
    except OSError as err:  # a chroot without its own pseudo-terminals (the arm64 root)
        pytest.skip("no pseudo-terminal: %s" % err)
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(SEARCH_PATH))
    child = subprocess.Popen([PYTHON, "-m", "kiv", "bench", model, "--driver", "standin", "--mode", mode,
                              "--duration", "60"], stdout=subprocess.PIPE, stderr=follower, text=True, env=env)
    os.close(follower)
    shown, deadline = b"", time.monotonic() + 60
    while b" runs, " not in shown and time.monotonic() < deadline and child.poll() is None:
        if select.select([leader], [], [], 1)[0]:
            shown += os.read(leader, 1024)
    assert b" runs, " in shown, shown
    child.send_signal(signal.SIGINT)
    out, _ = child.communicate(timeout=60)
    os.close(leader)
    assert child.returncode == 130
    assert "PARTIAL: interrupted" in out.splitlines()[0] and "latency per inference" in out


def png_size(path):
    """(width, height) of a PNG file whose every chunk is intact and whose
    image data decompresses to the size its header gives."""
    data = open(path, "rb").read()
    assert data[:8] == b"\x89PNG\r\n\x1a\n"
    chunks, at = {}, 8
    while at < len(data):
        (length,), kind = struct.unpack(">I", data[at:at + 4]), data[at + 4:at + 8]
        body = data[at + 8:at + 8 + length]
        assert struct.unpack(">I", data[at + 8 + length:at + 12 + length])[0] == zlib.crc32(kind + body)
        chunks[kind] = chunks.get(kind, b"") + body
        at += 12 + length
    width, height, depth, color = struct.unpack(">IIBB", chunks[b"IHDR"][:10])
    channels = {0: 1, 2: 3, 4: 2, 6: 4}[color]
    assert len(zlib.decompress(chunks[b"IDAT"])) == height * (1 + width * channels * depth // 8)
    assert b"IEND" in chunks
    return width, height


def test_bench_plots_the_latencies(model, tmp_path):
    pytest.importorskip("matplotlib")
    plot = tmp_path / "latency.png"
    done = kiv("bench", model, "--driver", "standin", "--count", "50", "--plot", str(plot))
    assert done.returncode == 0, done.stderr
    assert png_size(plot) == (1000, 400)


def test_without_matplotlib_plot_says_which_package_and_the_rest_works(model, tmp_path):
    hidden = "import sys; sys.modules['matplotlib'] = None; from kiv.cli import main; raise SystemExit(main())"
    done = kiv("bench", model, "--driver", "standin", "--plot", str(tmp_path / "p.png"), code=hidden)
    assert done.returncode == 2 and "python3-matplotlib" in done.stderr and not (tmp_path / "p.png").exists()
    assert kiv("bench", model, "--driver", "standin", "--count", "5", code=hidden).returncode == 0
    assert kiv("info", model, "--driver", "standin", code=hidden).returncode == 0


@pytest.mark.parametrize("args, text", [
    (["--in-flight", "2"], "--in-flight applies to --mode async only, not to --mode sync"),
    (["--mode", "async", "--batch-size", "2"], "--batch-size applies to --mode batch only, not to --mode async"),
    (["--count", "0"], "--count must be at least 1"),
    (["--percentiles", "0,50"], "takes numbers above 0 and at most 100, not '0,50'"),
    (["--percentiles", "median"], "takes numbers separated by commas, such as 50,90,99, not 'median'"),
])
def test_bench_refuses_options_that_do_not_apply(model, args, text):
    done = kiv("bench", model, "--driver", "standin", *args)
    assert done.returncode == 2 and text in done.stderr, done.stderr


@pytest.mark.parametrize("count, notes", [
    (1, ["1 run has no standard deviation", "p50 needs at least 2 runs; of 1 it is the slowest",
         "p90 needs at least 10 runs; of 1 it is the slowest", "p99 needs at least 100 runs; of 1 it is the slowest"]),
    (20, ["p99 needs at least 100 runs; of 20 it is the slowest"]),
    (100, []),
])
def test_too_few_runs_for_a_figure_are_noted(model, count, notes):
    figures = json.loads(kiv("bench", model, "--driver", "standin", "--count", str(count), "--json").stdout)
    assert figures["notes"] == notes and (figures["latency_ms"]["stdev"] is None) == (count == 1)
    text = kiv("bench", model, "--driver", "standin", "--count", str(count)).stdout.splitlines()
    assert [line for line in text if line.startswith("note: ")] == ["note: " + note for note in notes]
    # However short, the run's length reads in a unit that shows it.
    assert re.match(r"^\S+: %d runs in [1-9][0-9.]* (us|ms|s) " % count, text[0]), text[0]
    assert ("stdev -" in text[2]) == (count == 1)
