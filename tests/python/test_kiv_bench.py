"""kiv bench: every figure, the default length, an interrupt, plots and
traces. And a smoke run of bench/bench_kiv_layer.py --quick: every row is
there, with a figure."""

import json
import os
import pty
import select
import signal
import struct
import subprocess
import time
import zlib

import numpy as np
import pytest

from conftest import PYTHON, SEARCH_PATH
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
        "libkiv: kiv_load_graph, kiv_unload_graph (floor)",
        "kiv: Runtime.load, Model.close",
    ]
    values = json.loads(figures.read_text())
    assert sorted(values) == ["big_output_gbps", "latency_us", "loading_s", "overlap_s", "priority_s"]
    assert sorted(values["latency_us"]) == ["all_cpus", "one_cpu"]
    assert sorted(values["loading_s"]) == ["Runtime.load", "kiv_load_graph"]
    tables = [values["overlap_s"], values["big_output_gbps"], values["priority_s"], values["loading_s"],
              *values["latency_us"].values()]
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
    trace, samples = tmp_path / "trace.json", tmp_path / "samples"
    samples.mkdir()
    for name in ("a", "b"):
        np.save(samples / ("%s.npy" % name), np.ones((2, 3), np.float32))
    done = kiv("bench", model, "--driver", "standin", "--mode", mode, *options, "--count", "30", "--warmup", "2",
               "--json", "--trace", str(trace), "-i", str(samples))
    assert done.returncode == 0, done.stderr
    figures = json.loads(done.stdout)
    lat = figures["latency_ms"]
    assert (figures["runs"], figures["inferences"], figures["mode"], figures["partial"]) == (30, 30 * per_run, mode,
                                                                                            False)
    assert figures["input_sets"] == 2
    assert 0 < lat["min"] <= lat["median"] <= lat["p90"] <= lat["p99"] <= lat["max"]
    assert lat["min"] <= lat["mean"] <= lat["max"] and lat["stdev"] >= 0
    assert figures["load_ms"] > 0 and figures["first_inference_ms"] > 0 and figures["throughput_per_s"] > 0
    assert figures["peak_rss_bytes"] > 10 * 2**20  # an interpreter with numpy holds more than this
    check_trace(json.loads(trace.read_text()), 30, lanes)
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
])
def test_bench_refuses_options_that_do_not_apply(model, args, text):
    done = kiv("bench", model, "--driver", "standin", *args)
    assert done.returncode == 2 and text in done.stderr, done.stderr
