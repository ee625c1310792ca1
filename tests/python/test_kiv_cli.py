"""The kiv command on a small model: info, run and bench, and its errors."""

import json
import os
import subprocess

import numpy as np
import pytest

from conftest import PYTHON, SEARCH_PATH
from test_kiv_helpers import copy_model


@pytest.fixture
def model(tmp_path, make_model):
    return copy_model(tmp_path, make_model, shape=(2, 3))


def kiv(*args):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(SEARCH_PATH))
    return subprocess.run([PYTHON, "-m", "kiv", *args], capture_output=True, text=True, timeout=120, env=env)


def test_info_lists_the_tensors_the_container_and_the_driver(model):
    done = kiv("info", model, "--driver", "standin")
    assert done.returncode == 0, done.stderr
    lines = done.stdout.splitlines()
    assert lines[0].startswith("model    copy 1.0.0 (%s, " % model)
    assert lines[1].startswith("driver   stand-in NPU ") and lines[1].endswith("(1.0.0-standin, 1.0.0-sim)")
    assert lines[2:] == ["inputs", "  src  shape (2, 3)  float32  24 bytes  scale 1, zero point 0",
                         "outputs", "  dst  shape (2, 3)  float32  24 bytes  scale 1, zero point 0"]
    described = json.loads(kiv("info", model, "--driver", "standin", "--json").stdout)
    assert described["inputs"] == [{"name": "src", "shape": [2, 3], "dtype": "float32", "bytes": 24, "scale": 1.0,
                                    "zero_point": 0}]
    assert described["driver"]["standin"] is True and described["model"]["version"] == "1.0.0"


def test_run_takes_npy_inputs_or_random_data_and_writes_npz(model, tmp_path):
    x = np.arange(6, dtype=np.float32).reshape(2, 3)
    np.save(tmp_path / "x.npy", x)
    done = kiv("run", model, "--driver", "standin", "-i", "src=%s" % (tmp_path / "x.npy"), "-o", str(tmp_path / "y.npz"))
    assert done.returncode == 0, done.stderr
    np.testing.assert_array_equal(np.load(tmp_path / "y.npz")["dst"], x)
    printed = kiv("run", model, "--driver", "standin", "--random")
    assert printed.returncode == 0 and printed.stdout.startswith("dst float32 (2, 3)\n")


@pytest.mark.parametrize("mode", ["sync", "async", "batch"])
def test_bench_reports_latency_and_throughput(model, mode):
    done = kiv("bench", model, "--driver", "standin", "--mode", mode, "--count", "20", "--warmup", "2", "--json")
    assert done.returncode == 0, done.stderr
    figures = json.loads(done.stdout)
    lat = figures["latency_ms"]
    assert figures["runs"] == 20 and figures["mode"] == mode
    assert 0 < lat["min"] <= lat["median"] <= lat["p90"] <= lat["p99"] <= lat["max"]
    assert figures["inferences"] == 20 * (8 if mode == "batch" else 1) and figures["throughput_per_s"] > 0
    text = kiv("bench", model, "--driver", "standin", "--mode", mode, "--duration", "0.2")
    assert text.returncode == 0 and "throughput:" in text.stdout and "latency per " in text.stdout


def test_errors_say_what_to_do(model, tmp_path):
    usage = kiv("run", model, "--driver", "standin")
    assert usage.returncode == 2 and "give -i NAME=FILE.npy or --random" in usage.stderr
    assert kiv("bench", model, "--count", "0").returncode == 2
    no_driver = kiv("info", model, "--driver", str(tmp_path / "libaipudrv.so"))
    assert no_driver.returncode == 1 and "--driver standin" in no_driver.stderr
    assert kiv("info", str(tmp_path / "missing.zor"), "--driver", "standin").returncode == 1
    assert kiv("--version").stdout.startswith("kiv ")
