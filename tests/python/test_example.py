"""The digits example end to end (in a subprocess, as a user runs it), and the
pieces of it that decide whether a run counts as a match."""

import os
import subprocess
import sys

import numpy as np
import pytest

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
EXAMPLES = os.path.join(REPO, "examples")
DATA = os.path.join(REPO, "data", "digits.csv.gz")
BUILD_DIR = os.environ.get("KIV_BUILD_DIR", os.path.join(REPO, "build"))

sys.path.insert(0, EXAMPLES)
import digits_classifier  # noqa: E402
import digits_model  # noqa: E402


@pytest.fixture(scope="module")
def digits_data():
    if not os.path.isfile(DATA):
        fetched = subprocess.run(["bash", os.path.join(REPO, "scripts", "fetch_data.sh")],
                                 capture_output=True, text=True, timeout=600)
        if fetched.returncode != 0:
            pytest.skip(f"digits data not available and fetching failed: {fetched.stderr.strip()[-300:]}")
    return DATA


def run_example(tmp_path, *args):
    env = dict(os.environ)
    env["KIV_BUILD_DIR"] = BUILD_DIR
    env["PYTHONPATH"] = os.pathsep.join([BUILD_DIR, os.path.join(REPO, "standin_driver", "python")])
    return subprocess.run(
        ["/usr/bin/python3", os.path.join(EXAMPLES, "digits_classifier.py"), "--quick",
         "--out-dir", str(tmp_path), *args],
        capture_output=True, text=True, env=env, timeout=600)


@pytest.mark.parametrize("precision", ["int8", "float32"])
def test_example_runs_and_every_output_matches(tmp_path, digits_data, precision):
    done = run_example(tmp_path, "--precision", precision)
    assert done.returncode == 0, done.stdout + done.stderr
    assert "all outputs match the numpy reference" in done.stdout
    assert "[PY UMD ERROR]" not in done.stderr
    for mode in ("sync", "async", "batch"):
        row = next(line for line in done.stdout.splitlines() if line.startswith(mode + " "))
        samples, accuracy = row.split()[1:3]
        assert samples == "60"
        # A trained network, not chance (10 %): any broken stage shows here.
        assert float(accuracy.rstrip("%")) > 80.0, row
    assert (tmp_path / f"digits_{precision}.zor").is_file()


def test_example_reports_missing_data(tmp_path):
    done = run_example(tmp_path, "--data", str(tmp_path / "absent.csv.gz"))
    assert done.returncode == 2
    assert "fetch_data.sh" in done.stderr


def test_example_fails_on_a_single_differing_output(tmp_path, digits_data, monkeypatch, capsys):
    """The exit status is what CI relies on: one wrong value must fail the run."""
    correct = digits_model.forward_int8

    def off_by_one(qmodel, xq):
        logits = correct(qmodel, xq).copy()
        logits[3, 7] = np.int8(logits[3, 7] + (1 if logits[3, 7] < 127 else -1))
        return logits

    monkeypatch.setattr(digits_model, "forward_int8", off_by_one)
    status = digits_classifier.main(["--quick", "--samples", "8", "--data", digits_data,
                                     "--build-dir", BUILD_DIR, "--out-dir", str(tmp_path)])
    out = capsys.readouterr().out
    assert status == 1
    # Sample 3 differs in each of the three modes.
    assert "MISMATCH: 3 of 24 NPU outputs differ" in out
    assert "all outputs match" not in out


class TestComparison:
    def test_int8_outputs_must_match_exactly(self):
        want = np.array([[1, -2, 3]], dtype=np.int8)
        assert digits_classifier.compare([want[0].copy()], want, "int8") == []
        off_by_one = np.array([1, -2, 4], dtype=np.int8)
        assert digits_classifier.compare([off_by_one], want, "int8") == [0]

    def test_float32_outputs_match_to_rounding_only(self):
        want = np.array([[0.5, -1.25]], dtype=np.float32)
        close = want[0] * np.float32(1 + 1e-7)
        assert digits_classifier.compare([close], want, "float32") == []
        assert digits_classifier.compare([want[0] + np.float32(1e-3)], want, "float32") == [0]

    def test_missing_outputs_count_as_mismatches(self):
        want = np.zeros((2, 3), dtype=np.int8)
        assert digits_classifier.compare([want[0]], want, "int8") == [1]
        assert digits_classifier.compare([np.zeros(4, dtype=np.int8)], want[:1], "int8") == [0]


class TestInt8Reference:
    def test_requantisation_rounds_halves_away_from_zero_and_saturates(self):
        layer = digits_model.QuantLayer(
            w=np.array([[1, -1, 100]], dtype=np.int8),
            bias=np.zeros(3, dtype=np.int32),
            x_scale=np.float32(1.0), w_scale=np.float32(1.0), out_scale=np.float32(2.0))
        # acc = 5 * [1, -1, 100] = [5, -5, 500] -> [2.5, -2.5, 250] -> [3, -3, 127]
        got = digits_model.fully_connected_int8(np.array([[5]], dtype=np.int8), layer)
        np.testing.assert_array_equal(got, [[3, -3, 127]])

    def test_quantised_model_tracks_the_float_model(self):
        rng = np.random.default_rng(1)
        pixels = rng.integers(0, 17, size=(200, 64)).astype(np.float32)
        labels = rng.integers(0, 10, size=200)
        model = digits_model.train(pixels, labels, steps=20)
        qmodel = digits_model.quantise(model, pixels)
        float_logits = digits_model.forward_float(model, digits_model.normalise(pixels))
        int8_logits = digits_model.forward_int8(qmodel, digits_model.quantise_input(pixels))
        dequantised = int8_logits.astype(np.float32) * qmodel.fc2.out_scale
        # Calibrated on the same inputs: no saturation, errors of a few steps.
        assert np.max(np.abs(dequantised - float_logits)) < 8 * qmodel.fc2.out_scale
