"""tests/typing/user_script.py, the typed user program that scripts/typecheck.sh
checks with mypy --strict, runs as written against a small model."""

import os
import subprocess

from kiv.standin import ProgramBuilder

from conftest import PYTHON, REPO, SEARCH_PATH

SCRIPT = os.path.join(REPO, "tests", "typing", "user_script.py")
SHAPE = [2, 3]


def sum_and_copy_model(tmp_path, make_model):
    """Inputs "a" and "b"; outputs "sum" (a + b) and "copy" (a), after 50 ms."""
    b = ProgramBuilder()
    lhs, rhs = b.input(SHAPE, "float32"), b.input(SHAPE, "float32")
    total, copy = b.output(SHAPE, "float32"), b.output(SHAPE, "float32")
    b.wait_ms(50)
    b.add(total, lhs, rhs)
    b.copy(copy, lhs)
    io = {
        "name": "sum",
        "version": [1, 0, 0],
        "input_tensors": [{"name": "a", "shape": SHAPE}, {"name": "b", "shape": SHAPE}],
        "output_tensors": [{"name": "sum", "shape": SHAPE}, {"name": "copy", "shape": SHAPE}],
    }
    return str(make_model(tmp_path, b, io=io))


def test_the_typed_user_script_runs(tmp_path, make_model):
    model = sum_and_copy_model(tmp_path, make_model)
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(SEARCH_PATH))
    done = subprocess.run([PYTHON, SCRIPT, model], capture_output=True, text=True, timeout=120, env=env)
    assert done.returncode == 0, done.stdout + done.stderr
    # The runtime itself reports the failed load on standard output too.
    printed = [line for line in done.stdout.splitlines() if not line.startswith("Error loading model: ")]
    assert printed == [
        "inputs: a 2x3 float32, b 2x3 float32",
        "outputs: sum 2x3 float32, copy 2x3 float32",
        "run by name: [0.0, 2.0, 4.0, 6.0, 8.0, 10.0]",
        "timeout: 0.001 35",
        "futures: 4",
        "run_async: 4",
        "run_batch: 4",
        "load failure: kiv_load_graph 12 cannot open file",
        "profiled: (1, 65536, ['WAIT_MS', 'ADD', 'COPY'])",
    ]
