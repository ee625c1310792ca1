"""kiv bench: every figure, the default length, an interrupt, plots and
traces. And a smoke run of bench/bench_kiv_layer.py --quick: every row is
there, with a figure."""

import csv
import datetime
import fnmatch
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
from xml.etree import ElementTree

import numpy as np
import pytest

from conftest import PYTHON, SEARCH_PATH
from kiv import __version__ as kiv_version
from test_kiv_cli import kiv, model  # noqa: F401 (a fixture)
from helpers_kiv import copy_model

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
            if line.startswith(("libkiv:", "kiv:", "Model.run at", "Model.map", "submit()", "CPU us", "a 4 MiB",
                                "raw libkiv stream", "Model.submit,"))]
    assert rows == [
        "libkiv: load/infer_sync/get, one job (floor of run)",
        "kiv: Model.run",
        "libkiv: load/infer_async with a Python callable that sets an event/wait/get (floor of submit)",
        "kiv: Model.submit().result()",
        "kiv: Model.submit().result() against the blocking floor (information)",
        "libkiv: kiv_get_tensor (zero-filled)",
        "kiv: Model.run's output read",
        "Model.run at QoS 0, behind the waiting jobs",
        "Model.run at QoS 1, ahead of them",
        "libkiv: kiv_load_graph, kiv_unload_graph (floor)",
        "kiv: Runtime.load, Model.close",
        "Model.map over jobs of 2 ms, jobs/s (floor: 4 cores kept busy)",
        "Model.map, us per job (floor: raw libkiv stream, 8 in flight)",
        "CPU us per job, Model.run (floor: raw blocking sequence)",
        "CPU us per job, submit().result() (floor: raw asynchronous sequence)",
        "CPU us per job, Model.map (floor: raw libkiv stream)",
        "a 4 MiB output with out=, GB/s (floor: copy into touched memory)",
        "Model.map over 3000 jobs from a generator: peak RSS growth after the first 1,000, MiB",
        *["raw libkiv stream (floor)", "Model.submit, a window of futures", "Model.map"] * 2,
    ]
    values = json.loads(figures.read_text())
    assert sorted(values) == ["big_output_gbps", "depths", "latency_us", "loading_s", "overlap_s", "priority_s",
                              "streams"]
    assert all(v > 0 for depth in values["depths"].values() for v in depth["wall"].values())
    assert sorted(values["latency_us"]) == ["all_cpus", "one_cpu"]
    assert sorted(values["loading_s"]) == ["Runtime.load", "kiv_load_graph"]
    streams = values["streams"]
    tables = [values["overlap_s"], values["big_output_gbps"], values["priority_s"], values["loading_s"],
              *values["latency_us"].values(), streams["wall"], streams["cpu"], streams["out_gbps"]]
    assert all(v > 0 for table in tables for v in table.values())
    assert streams["cores"] == 4 and streams["hwm_end_kib"] >= streams["hwm_after_1000_kib"] > 0


# --- kiv bench ------------------------------------------------------------------------------------


def check_trace(document, runs, lanes, cores=0, operations=()):
    """The trace event format (JSON object form): metadata events name every
    process and thread row; one complete event per job, and a row's jobs
    never overlap. With `cores`, the device's process beside the host's: each
    job's span on the row of the core that ran it, within the job's host
    span, and `operations` nested in it, on the same time axis; and a flow
    from each host span to its device span, each end where its span and no
    other slice encloses it (the binding point of "f" the enclosing slice)."""
    events = document["traceEvents"]
    assert all(e["ph"] in ("M", "X", "s", "f") and isinstance(e["pid"], int) and isinstance(e["tid"], int)
               for e in events)
    named = {(e["pid"], e["tid"] if e["name"] == "thread_name" else None) for e in events if e["ph"] == "M"}
    assert all(e["name"] in ("process_name", "thread_name") and isinstance(e["args"]["name"], str)
               for e in events if e["ph"] == "M")
    spans = [e for e in events if e["ph"] == "X"]
    assert all(isinstance(e["name"], str) and e["ts"] >= 0 and e["dur"] >= 0 for e in spans)
    assert all((e["pid"], None) in named and (e["pid"], e["tid"]) in named for e in spans)
    host = {e["name"]: e for e in spans if e["pid"] == 1}
    assert len(host) == runs and 1 <= len({e["tid"] for e in host.values()}) <= lanes
    device = {e["name"]: e for e in spans if e["pid"] == 2 and e["cat"] == "device"}
    rows = {(e["pid"], e["tid"]) for e in [*host.values(), *device.values()]}
    for row in rows:
        lane = sorted((e["ts"], e["ts"] + e["dur"]) for e in [*host.values(), *device.values()]
                      if (e["pid"], e["tid"]) == row)
        assert all(end <= next_start + 1e-3 for (_, end), (next_start, _) in zip(lane, lane[1:]))
    assert len(device) == (runs if cores else 0)
    assert {e["tid"] for e in device.values()} <= set(range(cores))
    for name, job in device.items():
        assert job["args"]["core"] == job["tid"]
        assert host[name]["ts"] <= job["ts"] and job["ts"] + job["dur"] <= host[name]["ts"] + host[name]["dur"] + 1e-3
        nested = sorted((e for e in spans if e["cat"] == "operation" and e["args"]["job"] == name),
                        key=lambda e: e["ts"])
        assert [e["name"] for e in nested] == list(operations)
        assert all((e["pid"], e["tid"]) == (2, job["tid"]) for e in nested)
        assert all(job["ts"] - 1e-3 <= e["ts"] and e["ts"] + e["dur"] <= job["ts"] + job["dur"] + 1e-3
                   for e in nested)
        start, end = ([e for e in events if e["ph"] == phase and e["name"] == name] for phase in "sf")
        assert len(start) == len(end) == 1 and start[0]["id"] == end[0]["id"] and start[0]["cat"] == end[0]["cat"]
        for flow, span, inner in ((start[0], host[name], []), (end[0], job, nested)):
            assert (flow["pid"], flow["tid"]) == (span["pid"], span["tid"])
            assert span["ts"] < flow["ts"] < span["ts"] + span["dur"]
            assert not any(e["ts"] <= flow["ts"] <= e["ts"] + e["dur"] for e in inner)
        assert end[0]["bp"] == "e" and "bp" not in start[0]
    flows = [e for e in events if e["ph"] in "sf"]
    assert len(flows) == 2 * len(device) and len({e["id"] for e in flows}) == len(device)


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
    keys = ("model", "driver", "device")
    assert [figures[key] for key in keys] == [described[key] for key in keys]
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


@pytest.mark.parametrize("suffix", [".png", ".svg", ".PDF"])
def test_bench_plots_the_latencies_in_the_format_its_suffix_names(model, tmp_path, suffix):
    pytest.importorskip("matplotlib")
    plot = tmp_path / ("latency" + suffix)
    done = kiv("bench", model, "--driver", "standin", "--count", "50", "--plot", str(plot))
    assert done.returncode == 0, done.stderr
    if suffix == ".png":
        assert png_size(plot) == (1000, 400)
    elif suffix == ".svg":
        assert ElementTree.parse(plot).getroot().tag == "{http://www.w3.org/2000/svg}svg"
    else:
        assert plot.read_bytes().startswith(b"%PDF-") and plot.read_bytes().rstrip().endswith(b"%%EOF")


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
    (["--plot", "latency.gif"], "--plot latency.gif: the plot is written as PNG, SVG or PDF, as the file's suffix "
                                "says (.png, .svg, .pdf)"),
    (["--mode", "batch", "--profile"], "--profile needs --mode sync or async: a batch queue's jobs give no profile"),
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


@pytest.mark.parametrize("mode", ["sync", "async"])
def test_profile_splits_each_latency_and_times_each_operation(tmp_path, make_model, mode):
    """--profile: the device's side of each job, beside the host's, in the
    figures, the table and the trace."""
    model = copy_model(tmp_path, make_model, wait_ms=2)
    trace, table = tmp_path / "trace.json", tmp_path / "runs.csv"
    done = kiv("bench", model, "--driver", "standin", "--mode", mode, "--count", "20", "--warmup", "1", "--profile",
               "--json", "--trace", str(trace), "--csv", str(table))
    assert done.returncode == 0, done.stderr
    figures = json.loads(done.stdout)
    split, profile = figures["latency_split_us"], figures["profile"]
    assert sorted(split) == ["device", "host", "queue_wait"]
    assert all(0 <= part["median"] <= part["p99"] for part in split.values())
    assert 2000 <= split["device"]["median"] <= figures["latency_ms"]["p50"] * 1e3  # the 2 ms wait is the device's
    assert profile["layout"] == "standin" and profile["runs"] == 20 and set(profile["cores"]) <= {0, 1, 2, 3}
    wait, copy = profile["operations"]
    assert (wait["name"], copy["name"]) == ("WAIT_MS", "COPY")
    assert 2000 <= wait["min_us"] <= wait["median_us"] <= wait["p99_us"] and wait["share"] > 0.9
    assert 0 < wait["share"] + copy["share"] <= 1
    rows = list(csv.DictReader(table.open()))
    assert list(rows[0]) == ["run", "start_ms", "latency_ms", "sample", "core", "queue_wait_ms", "device_ms",
                             "host_ms", "op0_WAIT_MS_ms", "op1_COPY_ms"]
    for row in rows:
        parts = [float(row[key]) for key in ("queue_wait_ms", "device_ms", "host_ms")]
        assert min(parts) >= 0 and sum(parts) == pytest.approx(float(row["latency_ms"]), abs=1e-5)
        assert float(row["op0_WAIT_MS_ms"]) >= 2
    check_trace(json.loads(trace.read_text()), 20, 4 if mode == "async" else 1, cores=4,
                operations=("WAIT_MS", "COPY"))
    text = kiv("bench", model, "--driver", "standin", "--mode", mode, "--count", "5", "--profile").stdout
    lines = [" ".join(line.split()) for line in text.splitlines()]
    for pattern in ("latency split, from the driver's profile:", "queue wait submit to device start * *",
                    "device device start to end * *", "host device end to result * *",
                    "device time over 5 profiled runs on core* *: job median * us, p99 * us",
                    "op name min us median us p99 us share", "0 WAIT_MS * * * *%", "1 COPY * * * *%"):
        assert any(fnmatch.fnmatch(line, pattern) for line in lines), (pattern, lines)


def test_a_profile_kiv_does_not_know_gives_host_times_only():
    from kiv.commands.device_time import profile_figures, profile_lines
    from kiv.commands.timing import Timeline

    timeline = Timeline(profiled=True)
    for run in range(3):
        timeline.add(run, run + 0.5, 0, run, b"\x01\x02\x03")
    profile, split = profile_figures(timeline)
    assert (profile, split) == ({"layout": "unknown", "runs": 3, "bytes": 3}, None)
    assert profile_lines(profile, split) == ["profile: 3 bytes per run, in a layout kiv does not know; host times only"]
    silent = Timeline(profiled=True)
    silent.add(0, 1, 0, 0, None)
    assert profile_lines(*profile_figures(silent)) == ["profile: the driver gave none; host times only"]
