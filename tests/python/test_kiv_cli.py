"""The kiv command on small models: info, run (inputs, quantisation, the
reference check), example and their errors. kiv bench: test_kiv_bench.py."""

import fnmatch
import gzip
import json
import os
import re
import subprocess

import numpy as np
import pytest

from conftest import BUILD_DIR, PYTHON, SEARCH_PATH
from kiv.standin.program import DEFAULT_BUILD_VERSION
from test_example import digits_data  # noqa: F401 (a fixture; also puts examples/ on the path)
from helpers_kiv import copy_model, copy_program

import digits_results  # noqa: E402 (from examples/)

ZOR = os.path.join(BUILD_DIR, "tools", "zor", "zor")
INT8 = dict(shape=(1, 10), dtype="int8", scale=0.5, zero_point=3)


@pytest.fixture
def model(tmp_path, make_model):
    return copy_model(tmp_path, make_model, shape=(2, 3))


def kiv(*args, cwd=None, code="from kiv.cli import main; raise SystemExit(main())"):
    """The kiv command (run by `code`) in a child process, zor on PATH as where it is installed."""
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(SEARCH_PATH),
               PATH=os.path.dirname(ZOR) + os.pathsep + os.environ["PATH"])
    return subprocess.run([PYTHON, "-c", code, *args], capture_output=True, text=True, timeout=120, env=env, cwd=cwd)


def test_info_lists_the_tensors_the_container_and_the_driver(model):
    done = kiv("info", model, "--driver", "standin")
    assert done.returncode == 0, done.stderr
    assert kiv("--driver", "standin", "info", model).stdout == done.stdout  # --driver before the command too
    lines = done.stdout.splitlines()
    assert lines[0].startswith("model    copy 1.0.0 (%s, " % model)
    assert lines[1] == "build    version %d" % DEFAULT_BUILD_VERSION
    assert lines[2].startswith("driver   stand-in NPU ") and lines[2].endswith("(1.0.0-standin, 1.0.0-sim)")
    assert lines[3] == "device   KVS_0404MP4, idle; 1 partition, 1 cluster, 4 cores"
    assert lines[4:] == ["inputs", "  src  shape (2, 3)  float32  24 bytes  scale 1, zero point 0",
                         "outputs", "  dst  shape (2, 3)  float32  24 bytes  scale 1, zero point 0"]
    described = json.loads(kiv("info", model, "--driver", "standin", "--json").stdout)
    assert described["inputs"] == [{"name": "src", "shape": [2, 3], "dtype": "float32", "bytes": 24, "scale": 1.0,
                                    "zero_point": 0}]
    assert described["driver"]["standin"] is True and described["model"]["version"] == "1.0.0"
    assert described["model"]["build_version"] == DEFAULT_BUILD_VERSION
    assert described["device"] == {"target": "KVS_0404MP4", "status": "idle", "partitions": 1, "clusters": 1,
                                   "cores": 4, "layout": [[4]]}


@pytest.mark.parametrize("entry_point, layout, text", [
    ("aipu_get_target", ((4,),), "target not reported, idle; 1 partition, 1 cluster, 4 cores"),
    ("aipu_get_core_count", (None,), "KVS_0404MP4, idle; 1 partition, clusters and cores not reported"),
    ("aipu_get_partition_count", None, "KVS_0404MP4, idle; topology not reported"),
])
def test_device_facts_the_driver_does_not_give_are_not_made_up(standin, entry_point, layout, text):
    import kiv
    from kiv.commands.device import device_text, query_device

    with kiv.Runtime() as runtime:
        standin.aipu_standin_set_call_status(entry_point.encode(), 9)
        device = query_device(runtime.npu)
    assert device.layout == layout and device_text(device) == text
    assert device.cores(0) == (None if layout in (None, (None,)) else 4)


@pytest.mark.parametrize("io, name, version", [
    ({"name": "q", "version": [1, 0, 2]}, "q", "1.0.2"),
    ({}, "model", "0.0.0 (draft)"),  # an IO description without a version makes a draft
    (None, "(no name)", "0.0.0"),  # a bare executable: no name, no tensor descriptions
])
def test_zor_and_kiv_use_the_same_labels(tmp_path, make_model, io, name, version):
    if io is not None:
        # zor pack takes an element type by the name both print, or by its code.
        io = dict(io, input_tensors=[{"name": "src", "shape": [1, 10], "dtype": "int8"}],
                  output_tensors=[{"name": "dst", "shape": [1, 10], "dtype": 3}])
    path = make_model(tmp_path, copy_program([1, 10], "int8", scale=0.5, zero_point=3), io)
    listing = subprocess.run([ZOR, "info", path], capture_output=True, text=True, check=True).stdout
    fields = dict(line.split(None, 1) for line in listing.splitlines() if line.startswith(("Model:", "Version:")))
    assert (fields["Model:"], fields["Version:"]) == (name, version)
    described = kiv("info", path, "--driver", "standin").stdout
    assert described.startswith("model    %s %s (" % (name, version)), described
    shape = "(1, 10)" if io is not None else "(10,)"  # without a description, the runtime's byte count
    assert "  shape %s  int8  10 bytes  scale 0.5, zero point 3" % shape in described
    assert ("dtype       int8 (3)" in listing) == (io is not None)
    assert listing.count("shape       (1, 10)\n") == (2 if io is not None else 0)


@pytest.mark.parametrize("name, content, problem", [
    ("text.txt", b"hello\n", "is too short to be a model container (6 bytes)"),
    ("empty.zor", b"", "is empty, not a model container"),
    ("missing.zor", None, "no such file"),
    # An NPU executable, not packed: say how to pack it.
    ("prog.bin", copy_program([1, 4], "float32").build(), "is an NPU executable (a stand-in NPU program), not a model "
                                                          "container: pack it into one with zor pack --bin {path} -o "
                                                          "MODEL.zor"),
    ("zeros.bin", bytes(64), "is not a zor model container: its root table has no valid field table; if it is an NPU "
                             "executable, pack it into one: zor pack --bin {path} -o MODEL.zor"),
])
def test_a_failed_load_is_one_line_on_stderr_and_no_output(tmp_path, name, content, problem):
    path = tmp_path / name
    if content is not None:
        path.write_bytes(content)
    done = kiv("info", str(path), "--json", "--driver", "standin")
    assert (done.returncode, done.stdout) == (1, "")
    assert done.stderr.count("\n") == 1 and done.stderr.startswith("kiv info: "), done.stderr
    assert "%s: %s" % (path, problem.format(path=path)) in done.stderr
    # A file the user must fix is not presented as the runtime's fault.
    assert "internal error" not in done.stderr


def test_run_takes_npy_npz_and_a_directory_of_samples(model, tmp_path):
    x = np.arange(6, dtype=np.float32).reshape(2, 3)
    np.save(tmp_path / "x.npy", x)
    done = kiv("run", model, "--driver", "standin", "-i", "src=%s" % (tmp_path / "x.npy"), "-o", str(tmp_path / "y"))
    assert done.returncode == 0, done.stderr
    assert done.stdout.startswith("wrote %s.npz: dst float32 (2, 3)" % (tmp_path / "y"))  # the file numpy writes
    np.testing.assert_array_equal(np.load(tmp_path / "y.npz")["dst"], x)
    np.savez(tmp_path / "x.npz", src=x)
    printed = kiv("run", model, "--driver", "standin", "-i", str(tmp_path / "x.npz"))
    assert printed.returncode == 0 and printed.stdout.startswith("dst float32 (2, 3)\n")
    samples = tmp_path / "samples"
    samples.mkdir()
    np.save(samples / "a.npy", x)
    np.savez(samples / "b.npz", src=-x)
    done = kiv("run", model, "--driver", "standin", "-i", str(samples), "-o", str(tmp_path / "out"))
    assert done.returncode == 0, done.stderr
    assert sorted(os.listdir(tmp_path / "out")) == ["a.npz", "b.npz"]
    np.testing.assert_array_equal(np.load(tmp_path / "out" / "b.npz")["dst"], -x)
    # Samples run as people count them: a2 before a10, numbers before letters.
    for name in ("a10", "a2", "a2b", "ab"):
        np.save(samples / ("%s.npy" % name), x)
    printed = kiv("run", model, "--driver", "standin", "-i", str(samples)).stdout
    assert [line for line in printed.splitlines() if line.startswith("sample ")] == [
        "sample a", "sample a2", "sample a2b", "sample a10", "sample ab", "sample b"]


def test_run_json_holds_each_sample_with_its_outputs_and_checks(model, tmp_path):
    x = np.arange(6, dtype=np.float32).reshape(2, 3)
    for folder, arrays in (("samples", (x, -x)), ("refs", (x, x))):
        (tmp_path / folder).mkdir()
        for name, array in zip("ab", arrays):
            np.save(tmp_path / folder / ("%s.npy" % name), array)
    (tmp_path / "labels.txt").write_text("2 2 2 0\n")  # a row of scores each: b's rows are -x
    args = ["run", model, "--driver", "standin", "-i", str(tmp_path / "samples"), "--reference", str(tmp_path / "refs"),
            "--labels", str(tmp_path / "labels.txt"), "--json"]
    done = kiv(*args)
    assert done.returncode == 1, done.stderr
    document = json.loads(done.stdout)  # standard output holds the document alone
    assert (document["command"], document["model"]["path"], document["inputs"]["samples"]) == ("run", model, ["a", "b"])
    a, b = document["samples"]
    assert a["outputs"] == [{"name": "dst", "dtype": "float32", "shape": [2, 3], "values": x.tolist()}]
    assert (a["reference"]["match"], b["reference"]["match"]) == (True, False)
    assert b["reference"]["outputs"][0]["mismatches"] == 5 and b["reference"]["outputs"][0]["atol"] == 1e-8
    assert document["summary"] == {"samples": 2, "matching": 1, "accuracy": {
        "labels": 4, "top1": {"hits": 3, "rate": 0.75}}}
    written = json.loads(kiv(*args, "-o", str(tmp_path / "out")).stdout)
    assert written["samples"][1]["outputs"][0]["file"] == str(tmp_path / "out" / "b.npz")


UNIFORM = lambda y: (-1 <= y).all() and (y < 1).all() and abs(y.std() - 3 ** -0.5) < 0.05  # noqa: E731


@pytest.mark.parametrize("random, check", [
    (["--random", "zeros"], lambda y: (y == 0).all()),
    (["--random", "ones"], lambda y: (y == 1).all()),
    (["--random", "-2.5"], lambda y: (y == -2.5).all()),
    # Uniform over [-1, 1) for a float type: a standard deviation of 1/sqrt(3).
    (["--random"], UNIFORM),
    # As kiv bench does, kiv run fills what is not given, and says so.
    ([], UNIFORM),
])
def test_random_fills_the_inputs_as_asked(tmp_path, make_model, random, check):
    model = copy_model(tmp_path, make_model, shape=(40, 25))
    done = kiv("run", model, "--driver", "standin", *random, "-o", str(tmp_path / "y"))
    assert done.returncode == 0, done.stderr
    assert check(np.load(tmp_path / "y.npz")["dst"])
    note = "input src: no -i given, filled with uniform random data (seed 0)"
    assert (done.stdout.splitlines()[0] == note) == (not random)


def test_quantize_and_dequantize_convert_with_each_tensors_scale(tmp_path, make_model):
    model = copy_model(tmp_path, make_model, **INT8)
    real = np.linspace(-3, 3, 10, dtype=np.float32).reshape(1, 10)
    np.save(tmp_path / "x.npy", real)
    refused = kiv("run", model, "--driver", "standin", "-i", str(tmp_path / "x.npy"))
    assert refused.returncode == 2 and "give --quantize" in refused.stderr and "scale 0.5" in refused.stderr
    done = kiv("run", model, "--driver", "standin", "-i", str(tmp_path / "x.npy"), "--quantize", "--dequantize",
               "-o", str(tmp_path / "y.npz"))
    assert done.returncode == 0, done.stderr
    y = np.load(tmp_path / "y.npz")["dst"]
    assert y.dtype == np.float32
    np.testing.assert_array_equal(y, np.round(real * 2) / 2)  # the grid of scale 0.5


@pytest.mark.parametrize("change, status, lines", [
    (lambda ref: ref, 0, ["dst  atol 1e-08  max abs 0  max rel 0  cosine 1.000000  mismatches 0 of 6  top-1 2/2  ok",
                          "all 1 outputs match the reference"]),
    # 6 against 12: relative error 0.5; cosine 127 / sqrt(91 * 199).
    (lambda ref: ref * np.float32([[1, 1, 1], [1, 1, 2]]), 1, [
        "dst  atol 1e-08  max abs 6  max rel 0.5  cosine 0.943749  mismatches 1 of 6  top-1 2/2  MISMATCH",
        "1 of 1 outputs differ from the reference"]),
    (lambda ref: {"other": ref}, 1, ["dst  missing from the reference  MISMATCH",
                                     "not compared (no output of that name): other"]),
])
def test_reference_check(model, tmp_path, change, status, lines):
    x = np.arange(1, 7, dtype=np.float32).reshape(2, 3)
    np.save(tmp_path / "x.npy", x)
    reference = change(x)
    np.savez(tmp_path / "ref.npz", **(reference if isinstance(reference, dict) else {"dst": reference}))
    done = kiv("run", model, "--driver", "standin", "-i", str(tmp_path / "x.npy"), "--reference",
               str(tmp_path / "ref.npz"))
    assert done.returncode == status, done.stderr
    printed = [" ".join(line.split()) for line in done.stdout.splitlines()]
    assert all(" ".join(line.split()) in printed for line in lines), done.stdout


@pytest.mark.parametrize("options, reference, status, row", [
    # Codes against codes: one step is 1.
    ([], lambda q, real: q + 1, 0, "dst atol 1 max abs 1"),
    ([], lambda q, real: q + 2, 1, "dst atol 1 max abs 2"),
    # Real values: the output dequantised, one step its scale; also when --dequantize did it.
    ([], lambda q, real: real + 0.4, 0, "dst atol 0.5 max abs 0.4"),
    (["--dequantize"], lambda q, real: real - 0.6, 1, "dst atol 0.5 max abs 0.6"),
    (["--atol", "0.1"], lambda q, real: real + 0.2, 1, "dst atol 0.1 max abs 0.2"),
])
def test_a_quantised_output_gets_a_tolerance_of_one_step(tmp_path, make_model, options, reference, status, row):
    model = copy_model(tmp_path, make_model, **INT8)
    q = np.arange(-5, 5, dtype=np.int8).reshape(1, 10)
    np.save(tmp_path / "q.npy", q)
    np.save(tmp_path / "ref.npy", reference(q, (q.astype(np.float32) - 3) * 0.5))
    done = kiv("run", model, "--driver", "standin", "-i", str(tmp_path / "q.npy"), "--reference",
               str(tmp_path / "ref.npy"), *options)
    assert done.returncode == status, done.stderr
    printed = [" ".join(line.split()) for line in done.stdout.splitlines()]
    assert any(line.startswith(row) for line in printed), done.stdout
    real_reference = reference(q, q).dtype.kind == "f"
    assert ("dst: int8 output dequantised" in done.stdout) == (real_reference and "--dequantize" not in options)


@pytest.mark.parametrize("args, status, text", [
    (["info", "{model}", "--driver", "{dir}/none.so"], 1, "tried {dir}/none.so (given with --driver): "),
    (["--driver", "{dir}/none.so", "info", "{model}"], 1, "tried {dir}/none.so (given with --driver): "),
    (["run", "{model}", "-i", "src={int_file}"], 2, "{int_file}: input 'src' expects dtype float32, got int32"),
    (["run", "{model}", "-i", "src={wide_file}"], 2, "{wide_file}: input 'src' has shape (2, 3), got (2, 4)"),
    (["run", "{model}", "-i", "src={text_file}"], 2, "{text_file}: is not a .npy or .npz file"),
    (["run", "{model}", "--random", "--atol", "1"], 2, "--atol and --rtol go with --reference"),
    (["run", "{model}", "--random", "--labels", "{text_file}"], 2, "{text_file}: labels must be whole numbers"),
    (["run", "{model}", "--random", "--labels", "{dir}/labels.txt"], 2,
     "{dir}/labels.txt: 3 labels for 1 sample of 2 rows of scores"),
    (["run", "{model}", "--random", "--core", "9"], 2, "--core must be from 0 to 7, got 9"),
    (["bench", "{model}", "--qos", "-1"], 2, "--qos must be from 0 to 15, got -1"),
    (["run", "{model}", "--random", "--core", "4"], 1,
     "invalid core id (job options core=4; partition 0 of the device has cores 0 to 3)"),
    (["bench", "{model}", "--partition", "1"], 1,
     "invalid partition id (job options partition=1; the device has partition 0 only)"),
    (["run", "{model}", "--random", "--qos", "4"], 1, "invalid QoS level (job options qos=4; the driver does not "
                                                      "report the QoS levels the device has)"),
    (["run", "{model}", "--random", "--dump", "{text_file}"], 2, "--dump {text_file}: is a file, not a directory"),
    # Every path the command writes is checked before the first job.
    (["bench", "{model}", "--trace", "{dir}/none/t.json"], 2, "--trace {dir}/none/t.json: cannot be written: No such "
                                                              "file or directory"),
    (["bench", "{model}", "--csv", "{dir}"], 2, "--csv {dir}: is a directory, not a file"),
    (["run", "{model}", "--random", "-o", "{dir}/none/o.npz"], 2, "-o {dir}/none/o.npz: cannot be written"),
    (["run", "{model}", "-i", "{dir}", "-o", "{dir}/single.npz"], 2, "-o {dir}/single.npz: the samples of a "
                                                                     "directory are written one file each"),
    (["info", "{model}", "--bogus"], 2, "usage: kiv info "),
    (["info", "{model}", "--driver", "text.txt"], 1, "where text.txt is a text file, not a shared library"),
    (["info", "{model}", "--driver", "{dir}"], 1, "{dir} is a directory, not a shared library"),
    (["info", "{dir}/missing.zor"], 1, "{dir}/missing.zor: no such file"),
    (["example", "large"], 2, "argument NAME: invalid choice: 'large' (choose from 'small', 'tiny')"),
    (["example", "tiny", "-o", "{dir}/none/t.zor"], 2, "-o {dir}/none/t.zor: cannot be written: No such file"),
])
def test_errors_say_what_to_do(model, tmp_path, args, status, text):
    files = {"model": model, "dir": str(tmp_path), "int_file": str(tmp_path / "int.npy"),
             "wide_file": str(tmp_path / "wide.npy"), "text_file": str(tmp_path / "text.txt")}
    np.save(files["int_file"], np.zeros((2, 3), np.int32))
    np.save(files["wide_file"], np.zeros((2, 4), np.float32))
    (tmp_path / "text.txt").write_text("not an array\n")
    (tmp_path / "labels.txt").write_text("1\n2\n0\n")
    done = kiv(*[arg.format(**files) for arg in args], cwd=tmp_path)
    assert done.returncode == status and text.format(**files) in done.stderr, done.stderr
    assert done.stdout == "" and not os.path.exists(tmp_path / "single.npz")
    # One line per failure: libkiv's own "[PY UMD ERROR]" lines, about a driver or model it could not load or a
    # job it could not create, are left out.
    assert "usage:" in done.stderr or done.stderr.count("\n") == 1, done.stderr
    assert kiv("--version").stdout.startswith("kiv ")


@pytest.mark.parametrize("args", [
    ["run", "{model}", "--random"],
    ["run", "{model}", "--random", "--json"],
    ["bench", "{model}", "--count", "3"],
    ["bench", "{model}", "--mode", "async", "--count", "3"],
    ["bench", "{model}", "--mode", "batch", "--count", "2", "--json"],
])
def test_a_job_that_fails_on_the_device_is_one_line(tmp_path, make_model, args):
    program = copy_program([1, 4], "float32")
    program.raise_exception(2)
    failing = str(make_model(tmp_path, program))
    done = kiv(*[arg.format(model=failing) for arg in args], "--driver", "standin", cwd=tmp_path)
    assert (done.returncode, done.stdout) == (1, "")
    assert done.stderr.count("\n") == 1, done.stderr
    assert re.fullmatch(r"kiv (run|bench): kiv_job_infer_sync failed with status 17: job ended with an exception "
                        r"\(job 0x[0-9a-f]+ ended with job status 2\)\n", done.stderr), done.stderr


@pytest.mark.parametrize("name, x", [("tiny", [[1, 2, -1, 0]]), ("small", [[4, -2, 8, 1]])])
def test_example_writes_a_model_of_the_guides_that_computes_what_they_say(tmp_path, name, x):
    from kiv.examples import SMALL_W, TINY_B, TINY_W
    from kiv.standin.program import reference_fully_connected_quantized

    import kiv as kiv_package

    done = kiv("example", name, cwd=tmp_path)
    assert (done.returncode, done.stdout, done.stderr) == (0, "wrote %s.zor\n" % name, "")
    x = np.array(x, np.float32 if name == "tiny" else np.int8)
    with kiv_package.Runtime(driver="standin") as runtime, runtime.load(str(tmp_path / (name + ".zor"))) as model:
        (y,) = model.run(x)
    if name == "tiny":
        np.testing.assert_allclose(y, np.maximum(x @ TINY_W + TINY_B, 0), rtol=1e-6)
    else:  # y = x @ w in int8, x of scale 0.25, w and y of scale 0.5
        np.testing.assert_array_equal(
            y, reference_fully_connected_quantized(x, SMALL_W, np.zeros(3, np.int32), 0.25, 0, 0.5, 0, 0.5, 0))
    assert kiv("example", name, "-o", str(tmp_path / "again.zor")).stdout == "wrote %s\n" % (tmp_path / "again.zor")
    assert (tmp_path / "again.zor").read_bytes() == (tmp_path / (name + ".zor")).read_bytes()


def test_example_says_what_is_missing_without_the_stand_in_or_zor(tmp_path, monkeypatch):
    # The stand-in's Python side not installed: its import fails as it would.
    code = "import sys; sys.modules['kiv.standin'] = None; from kiv.cli import main; raise SystemExit(main())"
    done = kiv("example", "tiny", cwd=tmp_path, code=code)
    assert (done.returncode, done.stdout) == (1, "") and not os.listdir(tmp_path)
    assert done.stderr == ("kiv example: the example models are programs of the stand-in NPU, which is not installed "
                           "with this kiv package (the libkiv-standin package; for pip, "
                           "KIV_INSTALL_STANDIN_DRIVER=ON)\n")
    # zor neither on PATH nor beside the interpreter.
    import sysconfig

    from kiv import examples

    monkeypatch.setenv("PATH", str(tmp_path))
    monkeypatch.setattr(sysconfig, "get_path", lambda name: str(tmp_path))
    with pytest.raises(FileNotFoundError, match="the zor tool, installed with kiv, is neither on PATH nor beside"):
        examples.write("tiny", tmp_path / "tiny.zor")
    with pytest.raises(ValueError, match="no example model 'large' "):
        examples.write("large")
    assert not os.listdir(tmp_path)


@pytest.mark.parametrize("command, statuses, sections, synopsis", [
    ("kiv", ["0", "1", "2", "130"],
     ["NAME", "SYNOPSIS", "DESCRIPTION", "EXIT STATUS", "COMMANDS", "ENVIRONMENT", "EXAMPLES", "SEE ALSO"],
     ["[-h]", "info", "run", "bench", "serve", "example"]),
    ("zor", ["0", "1", "2"], ["NAME", "SYNOPSIS", "DESCRIPTION", "EXIT STATUS", "COMMANDS", "SEE ALSO"],
     ["COMMAND", "help", "--version"]),
])
def test_help_and_the_manual_page_give_a_synopsis_and_the_exit_statuses(command, statuses, sections, synopsis):
    overview = kiv("--help").stdout if command == "kiv" else subprocess.run(
        [ZOR, "--help"], capture_output=True, text=True).stdout
    paragraph = overview[overview.index("\nExit status:\n"):].split("\n\n")[0]
    assert [line.split()[0] for line in paragraph.splitlines()[2:] if line[:3].strip().isdigit()] == statuses
    if not re.search(r"^KIV_MAN_PAGES:[A-Z]*=ON$", open(os.path.join(BUILD_DIR, "CMakeCache.txt")).read(), re.M):
        pytest.skip("the build makes no manual pages (no help2man when it was configured)")
    page = gzip.open(os.path.join(BUILD_DIR, "man", command + ".1.gz"), "rt").read()
    assert [line[4:].strip('"') for line in page.splitlines() if line.startswith(".SH ")] == sections
    section = {name: text for name, text in re.findall(r'^\.SH "?([A-Z ]+)"?\n(.*?)(?=^\.SH |\Z)', page, re.M | re.S)}
    assert re.findall(r"^\.TP\n(\d+)$", section["EXIT STATUS"], re.M) == statuses
    # A line of the synopsis per usage (zor's from its "Usage:" lines, kiv's from argparse's "usage:", its
    # own and each command's), which the description no longer repeats; what follows the name on each:
    text = "\n".join(line for line in section["SYNOPSIS"].splitlines() if not re.match(r"\.(?!B |br$)", line))
    plain = re.sub(r"\\f[BIR]|\\[,/]", "", text).replace("\\-", "-")
    lines = [line.split() for line in plain.split(".br") if line.strip()]
    assert [words[:2] for words in lines] == [[".B", command]] * len(synopsis)
    assert [words[2] for words in lines] == synopsis, plain
    assert "usage:" not in section["DESCRIPTION"].lower()
    if command == "kiv":
        assert all(name in page for name in ("AIPU_LIB_PATH", "KIV_LOG_LEVEL", "\\f(CW$ kiv bench"))


@pytest.mark.parametrize("args, lines", [
    (["run", "--random", "--core", "2", "--qos", "1", "--profile"],
     ["profile (median of 1 run): job * on core 2", "op name start us duration us", "0 COPY * *"]),
    (["bench", "--count", "20", "--profile", "--mode", "async", "--partition", "0"],
     ["device time over 20 profiled runs on core* *: job median * us, p99 * us", "0 COPY * * * *%"]),
])
def test_job_options_and_profiles_on_the_command_line(model, tmp_path, args, lines):
    args = [arg.format(dir=tmp_path) for arg in args]
    done = kiv(args[0], model, "--driver", "standin", *args[1:], "-o" if args[0] == "run" else "--json",
               *([str(tmp_path / "out.npz")] if args[0] == "run" else []))
    assert done.returncode == 0, done.stderr
    printed = [" ".join(line.split()) for line in done.stdout.splitlines()]
    if args[0] == "bench":
        summary = json.loads(done.stdout)["profile"]
        assert summary["runs"] == 20 and [op["name"] for op in summary["operations"]] == ["COPY"]
        printed = kiv(args[0], model, "--driver", "standin", *args[1:]).stdout.splitlines()
        printed = [" ".join(line.split()) for line in printed]
    for pattern in lines:
        assert any(fnmatch.fnmatch(line, pattern) for line in printed), (pattern, printed)


@pytest.mark.parametrize("args, prefixes", [
    (["run", "--random"], ["run"]),
    (["run", "-i", "{samples}"], ["a", "b"]),
    (["bench", "--count", "3", "--warmup", "1"], ["first", "run0", "run1", "run2", "warmup0"]),
    # A stream's runs share their options: each has a job of its own, whose id keeps its files apart.
    (["bench", "--count", "2", "--warmup", "0", "--mode", "async", "--in-flight", "2"], ["first", "stream"]),
    # A batch queue's files carry its queue id and each set's number after the prefix.
    (["bench", "--count", "2", "--warmup", "0", "--mode", "batch", "--batch-size", "4"], ["first", "run0", "run1"]),
])
def test_dump_makes_its_directory_and_keeps_each_run_apart(model, tmp_path, args, prefixes):
    samples, dumps = tmp_path / "samples", tmp_path / "new" / "dumps"
    samples.mkdir()
    for name in ("a", "b"):
        np.save(samples / ("%s.npy" % name), np.ones((2, 3), np.float32))
    done = kiv(args[0], model, "--driver", "standin", *[a.format(samples=samples) for a in args[1:]],
               "--dump", str(dumps))
    assert done.returncode == 0, done.stderr
    names = os.listdir(dumps)
    runs = {}
    for name in names:
        runs.setdefault(name.split("_")[0], set()).add(name.rsplit("_", 1)[1])
    assert sorted(runs) == prefixes
    assert all(kinds == {"input0.bin", "output0.bin"} for kinds in runs.values()), names
    if "batch" in args:
        # The sets go in rounds, a queue each: one set first, then more, each
        # counted from 0 in its round; by queue and number, the sets in order.
        sets = sorted({tuple(int(part) for part in name.split("_")[1:3]) for name in names
                       if name.startswith("run0_")})
        queues = sorted({queue for queue, _ in sets})
        assert len(sets) == 4 and len(queues) >= 2, names
        assert [number for queue, number in sets if queue == queues[0]] == [0]
        for queue in queues:
            numbers = [number for q, number in sets if q == queue]
            assert numbers == list(range(len(numbers))), names
    if "async" in args:
        assert len([name for name in names if name.startswith("stream_")]) == 4  # two runs, input and output


def test_figures_are_printed_when_a_file_cannot_be_written_after_the_runs(model, tmp_path):
    # The directory goes away after the check; the figures must not.
    unchecked = ("import kiv.commands.bench as b; b.check_file = lambda option, path: None; "
                 "from kiv.cli import main; raise SystemExit(main())")
    done = kiv("bench", model, "--driver", "standin", "--count", "5", "--json", "--trace", str(tmp_path / "gone" / "t"),
               code=unchecked)
    assert done.returncode == 1 and json.loads(done.stdout)["runs"] == 5
    assert done.stderr == "kiv bench: --trace %s: cannot be written: No such file or directory\n" % (
        tmp_path / "gone" / "t")


def test_a_profile_kiv_does_not_know_is_shown_by_its_size():
    from kiv.commands.profiles import profile_summary, profile_text

    assert profile_text(profile_summary([b"\x01\x02\x03"] * 2)) == (
        "profile: 3 bytes per run, in a layout kiv does not know")
    assert profile_text(profile_summary([None])) == "profile: the driver gave none"


# --- the digits model: a quantised classifier checked against real values and labels ---------------


@pytest.fixture(scope="module")
def digits(tmp_path_factory, digits_data):
    """The int8 digits container, 40 test samples as real values (img1 ... img40), their float
    references and labels, and the numpy int8 computation the NPU's outputs equal."""
    import digits_container
    import digits_data as data_set
    import digits_model

    work = tmp_path_factory.mktemp("digits")
    split = data_set.split(*data_set.load_digits(digits_data))
    pixels, labels = split.x_test[:40], split.y_test[:40]
    model = digits_model.train(split.x_train, split.y_train, steps=60)
    qmodel = digits_model.quantise(model, split.x_train)
    io = digits_container.describe_io("int8", qmodel.x_scale, qmodel.fc2.out_scale)
    container = digits_container.pack(str(work), BUILD_DIR, "digits", digits_container.build_int8_program(qmodel), io)
    for name in ("samples", "refs", "refs_labelled"):
        (work / name).mkdir()
    real = digits_model.forward_float(model, digits_model.normalise(pixels))
    for i, (row, logits, label) in enumerate(zip(pixels, real, labels), start=1):
        np.save(work / "samples" / ("img%d.npy" % i), digits_model.normalise(row).reshape(1, -1))
        np.save(work / "refs" / ("img%d.npy" % i), logits.reshape(1, -1))
        np.savez(work / "refs_labelled" / ("img%d.npz" % i), logits=logits.reshape(1, -1), labels=[label])
    (work / "labels.txt").write_text("".join("%d\n" % label for label in labels))
    npu = digits_model.forward_int8(qmodel, digits_model.quantise_input(pixels))
    return dict(work=work, model=container.path, labels=labels, real=real, npu=npu, scale=float(qmodel.fc2.out_scale))


@pytest.mark.parametrize("references, labels_file", [("refs", True), ("refs_labelled", False)])
def test_a_quantised_model_is_checked_in_real_values_with_a_summary_and_accuracy(digits, references, labels_file):
    work = digits["work"]
    done = kiv("run", digits["model"], "--driver", "standin", "-i", str(work / "samples"), "--quantize",
               "--reference", str(work / references), *(["--labels", str(work / "labels.txt")] if labels_file else []))
    # The int8 outputs, dequantised, against the float computation, within one step of the output's scale.
    dequantised = (digits["npu"].astype(np.float64) * np.float32(digits["scale"]))
    close = np.abs(dequantised - digits["real"]) <= digits["scale"] + 1e-5 * np.abs(digits["real"])
    matching = int(close.all(axis=1).sum())
    assert 0 < matching < 40  # both verdicts occur: the check can tell them apart
    assert done.returncode == 1, done.stderr
    lines = done.stdout.splitlines()
    samples = [line.split()[1] for line in lines if line.startswith("sample ")]
    assert samples == ["img%d" % i for i in range(1, 41)]  # in the order of their numbers
    assert lines.count("  logits: int8 output dequantised (scale %g, zero point 0) to meet the reference's real "
                       "values" % digits["scale"]) == 40
    assert "%d of 40 samples match the reference" % matching in lines
    ranked = np.argsort(-digits["npu"].astype(np.int64), axis=1, kind="stable")
    top1, top5 = [int((ranked[:, :k] == digits["labels"][:, None]).any(axis=1).sum()) for k in (1, 5)]
    assert lines[-1] == "accuracy over 40 labels: top-1 %.1f%% (%d/40), top-5 %.1f%% (%d/40)" % (
        top1 * 2.5, top1, top5 * 2.5, top5)
    assert top1 == round(40 * digits_results.accuracy(digits["npu"], digits["labels"]))
