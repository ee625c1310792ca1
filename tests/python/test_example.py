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
import digits_kiv  # noqa: E402
import digits_model  # noqa: E402
from digits_results import compare  # noqa: E402


@pytest.fixture(scope="module")
def digits_data():
    if not os.path.isfile(DATA):
        fetched = subprocess.run(["bash", os.path.join(REPO, "scripts", "fetch_data.sh")],
                                 capture_output=True, text=True, timeout=600)
        if fetched.returncode != 0:
            pytest.skip(f"digits data not available and fetching failed: {fetched.stderr.strip()[-300:]}")
    return DATA


def run_example(python, tmp_path, *args):
    env = dict(os.environ)
    env["KIV_BUILD_DIR"] = BUILD_DIR
    env["PYTHONPATH"] = os.pathsep.join(
        [BUILD_DIR, os.path.join(REPO, "python")])
    return subprocess.run(
        [python, os.path.join(EXAMPLES, "digits_classifier.py"), "--quick",
         "--out-dir", str(tmp_path), *args],
        capture_output=True, text=True, env=env, timeout=600)


@pytest.mark.parametrize("api", ["kiv", "libkiv"])
@pytest.mark.parametrize("precision", ["int8", "float32"])
def test_example_runs_and_every_output_matches(python, tmp_path, digits_data, precision, api):
    done = run_example(python, tmp_path, "--api", api, "--precision", precision)
    assert done.returncode == 0, done.stdout + done.stderr
    assert "all outputs match the numpy reference" in done.stdout
    assert "[PY UMD ERROR]" not in done.stderr
    for mode in ("sync", "async", "stream", "batch") if api == "kiv" else ("sync", "async", "batch"):
        row = next(line for line in done.stdout.splitlines() if line.startswith(mode + " "))
        samples, accuracy = row.split()[1:3]
        assert samples == "60"
        # A trained network, not chance (10 %): any broken stage shows here.
        assert float(accuracy.rstrip("%")) > 80.0, row
    assert (tmp_path / f"digits_{precision}.zor").is_file()
    # Only the kiv run lists the tensors as kiv describes them.
    tensors = [line.split() for line in done.stdout.splitlines() if line.startswith(("  input ", "  output "))]
    if api == "kiv":
        assert [t[:5] for t in tensors] == [["input", "x", "shape", "(1,", "64)"],
                                            ["output", "logits", "shape", "(1,", "10)"]]
        assert all(t[5] == precision for t in tensors), tensors
    else:
        assert tensors == []


def test_the_container_is_the_same_wherever_it_is_packed(tmp_path):
    """The container keeps its graph description, which names the executable
    by file name, packed in its own directory: no path of the machine's
    gets into the container."""
    import digits_container

    tensors = digits_container.describe_io("int8", x_scale=0.5, out_scale=0.25)
    made = [digits_container.pack(str(tmp_path / where), BUILD_DIR, "m", bytes(range(64)), tensors).path
            for where in ("a", "a/much/longer/way/to/it")]
    with open(made[0], "rb") as first, open(made[1], "rb") as second:
        image = first.read()
        assert image == second.read()
    assert str(tmp_path).encode() not in image
    assert b'"data": "m.bin"' in image


def test_example_defaults_to_the_kiv_layer():
    assert digits_classifier.parse_args([]).api == "kiv"


def test_example_reports_missing_data(python, tmp_path):
    done = run_example(python, tmp_path, "--data", str(tmp_path / "absent.csv.gz"))
    assert done.returncode == 2
    assert "fetch_data.sh" in done.stderr


@pytest.mark.parametrize("api", ["kiv", "libkiv"])
def test_example_fails_on_a_single_differing_output(tmp_path, digits_data, monkeypatch, capsys, api):
    """The exit status is what CI relies on: one wrong value must fail the run."""
    correct = digits_model.forward_int8

    def off_by_one(qmodel, xq):
        logits = correct(qmodel, xq).copy()
        logits[3, 7] = np.int8(logits[3, 7] + (1 if logits[3, 7] < 127 else -1))
        return logits

    monkeypatch.setattr(digits_model, "forward_int8", off_by_one)
    status = digits_classifier.main(["--api", api, "--quick", "--samples", "8", "--data", digits_data,
                                     "--build-dir", BUILD_DIR, "--out-dir", str(tmp_path)])
    out = capsys.readouterr().out
    assert status == 1
    # Sample 3 differs in each mode: four through kiv (a stream too), three through libkiv.
    modes = 4 if api == "kiv" else 3
    assert "MISMATCH: %d of %d NPU outputs differ" % (modes, 8 * modes) in out
    assert "all outputs match" not in out


class TestComparison:
    def test_int8_outputs_must_match_exactly(self):
        want = np.array([[1, -2, 3]], dtype=np.int8)
        assert compare([want[0].copy()], want, "int8") == []
        off_by_one = np.array([1, -2, 4], dtype=np.int8)
        assert compare([off_by_one], want, "int8") == [0]

    def test_float32_outputs_match_to_rounding_only(self):
        want = np.array([[0.5, -1.25]], dtype=np.float32)
        close = want[0] * np.float32(1 + 1e-7)
        assert compare([close], want, "float32") == []
        assert compare([want[0] + np.float32(1e-3)], want, "float32") == [0]

    def test_outputs_of_another_dtype_or_shape_differ(self):
        want = np.array([[1, -2, 3]], dtype=np.int8)
        assert compare([want[0].astype(np.int16)], want, "int8") == [0]
        assert compare([want.copy()], want, "int8") == [0]  # [1, 3] where a row [3] is expected
        assert compare([want.copy()], want, "int8", shape=(1, 3)) == []
        assert compare([want[0].copy()], want, "int8", shape=(1, 3)) == [0]

    def test_missing_outputs_count_as_mismatches(self):
        want = np.zeros((2, 3), dtype=np.int8)
        assert compare([want[0]], want, "int8") == [1]
        assert compare([np.zeros(4, dtype=np.int8)], want[:1], "int8") == [0]


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


class TestKivChecks:
    def test_each_done_callback_must_run_exactly_once(self):
        callbacks = digits_kiv._DoneCallbacks(expected=2, in_flight=2)
        for slot in range(2):
            callbacks.slots.acquire()
        first, second = callbacks.for_sample(0), callbacks.for_sample(1)
        first(None)
        with pytest.raises(digits_kiv.ModelMismatch, match="1 samples without one"):
            callbacks.check_once_each()
        assert not callbacks.all_called.is_set()
        second(None)
        assert callbacks.all_called.is_set()
        callbacks.check_once_each()
        callbacks.slots.acquire()  # a twice-called callback would free a slot never taken
        first(None)
        with pytest.raises(digits_kiv.ModelMismatch, match=r"more than once for \[0\]"):
            callbacks.check_once_each()

    def test_tensors_must_be_what_the_container_was_packed_with(self, tmp_path, build_dir):
        import digits_container
        import kiv

        pixels = np.random.default_rng(2).integers(0, 17, size=(20, 64)).astype(np.float32)
        qmodel = digits_model.quantise(digits_model.train(pixels, np.arange(20) % 10, steps=1), pixels)
        # The runtime reports the scales the program was built with; the description must agree.
        x, y = digits_container.describe_io("int8", qmodel.x_scale, qmodel.fc2.out_scale)
        program = digits_container.build_int8_program(qmodel)
        container = digits_container.pack(str(tmp_path), build_dir, "t", program, (x, y))
        with kiv.Runtime() as runtime, runtime.load(container.path) as model:
            digits_kiv.check_tensors(model, (x, y))
            with pytest.raises(digits_kiv.ModelMismatch):
                digits_kiv.check_tensors(model, (x, dict(y, scale=[0.5])))
            with pytest.raises(digits_kiv.ModelMismatch):
                digits_kiv.check_tensors(model, (dict(x, shape=[64]), y))
