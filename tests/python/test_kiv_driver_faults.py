"""The kiv layer against a misbehaving driver: failure statuses from entry
points, and completions that come late, twice or never, while a program
runs, submits, awaits, batches and closes. Each case runs in a process of
its own, which must end on time, without a crash or a traceback, with every
step either correct or failing with one of the layer's documented errors."""

import json

import pytest

from helpers_kiv import copy_model

LATE, TWICE, NEVER = 1, 2, 3  # the stand-in's completion faults

CHILD = r"""
import asyncio, atexit, json

# Registered before kiv is imported, so that it runs after kiv's own exit hook.
atexit.register(lambda: print(json.dumps({"contexts open at exit": driver.open_context_count()})))

import numpy as np
import kiv
from kiv.standin import StandinControls

driver = StandinControls()

path, fault, entry_point, status = %r
x = np.arange(4, dtype=np.float32)


def outcome(step):
    try:
        outputs = step()
    except (kiv.KivError, TimeoutError) as err:  # the layer's documented failures
        return type(err).__name__
    return "ok" if outputs is None or all(np.array_equal(o[0], x) for o in outputs) else "wrong outputs"


runtime = kiv.Runtime()
model = runtime.load(path)
driver.set_completion_fault(fault)
if entry_point:
    driver.set_call_status(entry_point, status)
submitted = []


def submit():
    submitted.append(model.submit(x))
    return [submitted[0].result(timeout=1)]


steps = {
    "run": outcome(lambda: [model.run(x, timeout=10)]),
    "submit": outcome(submit),
    "run_async": outcome(lambda: [asyncio.run(asyncio.wait_for(model.run_async(x), 1))]),
    "run_batch": outcome(lambda: model.run_batch([x, x])),
}
steps["close"] = outcome(runtime.close)
# A close that waited for the jobs left running would never return while
# their completions are held back.
steps["jobs pending when close returned"] = sum(not f.done() for f in submitted)
driver.set_completion_fault(0)
driver.set_call_status(None, 0)
steps["submitted, after the close"] = outcome(lambda: [f.result(timeout=10) for f in submitted])
print(json.dumps(steps))
"""

OK = {"run": "ok", "submit": "ok", "run_async": "ok", "run_batch": "ok", "close": "ok"}
TIMED_OUT = {"submit": "TimeoutError", "run_async": "TimeoutError", "jobs pending when close returned": 1}


@pytest.mark.parametrize(
    "fault, entry_point, status, differences",
    [
        (0, None, 0, {}),
        (LATE, None, 0, TIMED_OUT),
        (TWICE, None, 0, {}),
        (NEVER, None, 0, dict(TIMED_OUT, **{"submitted, after the close": "TimeoutError"})),
        (0, "aipu_flush_job", 50, {"submit": "KivError", "run_async": "KivError"}),
        (0, "aipu_finish_job", 50, {"run": "KivError"}),
        (0, "aipu_get_job_status", 2, {"run": "KivError"}),
        (0, "aipu_load_tensor", 16, {"run": "KivError", "submit": "KivError", "run_async": "KivError"}),
        (0, "aipu_get_tensor", 16, {"run": "KivError", "submit": "KivError", "run_async": "KivError",
                                    "submitted, after the close": "KivError"}),
        (0, "aipu_create_job", 11, {"run": "KivError", "submit": "KivError", "run_async": "KivError"}),
        (0, "aipu_add_batch", 36, {"run_batch": "KivError"}),
        (0, "aipu_finish_batch", 17, {"run_batch": "KivError"}),
        (0, "aipu_clean_job", 16, {"close": "KivError"}),
        (0, "aipu_unload_graph", 11, {"close": "KivError"}),
    ],
    ids=["none", "late", "twice", "never", "refused", "sync-fails", "status-fails", "load-fails", "read-fails",
         "create-fails", "add-batch-fails", "finish-batch-fails", "clean-fails", "unload-fails"],
)
def test_a_misbehaving_driver_gives_errors_not_crashes_or_hangs(
    run_python, tmp_path, make_model, fault, entry_point, status, differences
):
    # Longer than a slice of Model.run's wait, so that its status query runs too.
    path = copy_model(tmp_path, make_model, shape=(4,), wait_ms=50)
    result = run_python(CHILD % ((path, fault, entry_point, status),), timeout=120)
    assert result.returncode == 0 and "Traceback" not in result.stderr, result.stderr
    steps, at_exit = (json.loads(line) for line in result.stdout.splitlines())
    expected = dict(OK, **{"jobs pending when close returned": 0, "submitted, after the close": "ok"})
    expected.update(differences)
    assert steps == expected
    assert at_exit == {"contexts open at exit": 0}


STATUS_QUERY_CHILD = r"""
import json, threading, time
from kiv.standin import StandinControls

driver = StandinControls()
driver.record_calls()
import numpy as np
import kiv

path, case = %r
x = np.arange(4, dtype=np.float32)
runtime = kiv.Runtime()
model = runtime.load(path)
seen = {}
if case == "fails":
    # The query fails once the job is under way: run must not take the job
    # for one that never started, nor clean it while it runs.
    driver.set_call_status("aipu_get_job_status", 2)
    try:
        model.run(x)
    except kiv.KivError as err:
        seen["api"] = err.api
    driver.set_call_status(None, 0)
    job_id = driver.last_call("aipu_finish_job")["job_id"]
    status, job_status = runtime.npu.kiv_get_job_status(job_id, 1)
    seen["after the error"] = "running" if (int(status), int(job_status)) == (0, 0) else "cleaned"
else:
    # Queries answered at once, whatever their time-out: no spin in the
    # wait, at most one query a millisecond of the job's 500.
    driver.set_status_queries_wait(False)
    before = driver.status_query_count()
    seen["outputs"] = model.run(x)[0].tolist()
    seen["queries"] = "at most 1/ms" if driver.status_query_count() - before <= 500 else "a spin"
runtime.close()
deadline = time.monotonic() + 10
while driver.open_context_count() and time.monotonic() < deadline:
    time.sleep(0.01)
seen["contexts"] = driver.open_context_count()
print(json.dumps(seen))
"""


@pytest.mark.parametrize(
    "case, expected",
    [
        ("fails", {"api": "kiv_get_job_status", "after the error": "running"}),
        ("answers at once", {"outputs": [0, 1, 2, 3], "queries": "at most 1/ms"}),
    ],
)
def test_a_misbehaving_status_query_neither_cleans_a_running_job_nor_spins(
    run_python, tmp_path, make_model, case, expected
):
    path = copy_model(tmp_path, make_model, shape=(4,), wait_ms=500)
    result = run_python(STATUS_QUERY_CHILD % ((path, case),), timeout=120)
    assert result.returncode == 0 and "Traceback" not in result.stderr, result.stderr
    assert json.loads(result.stdout) == dict(expected, contexts=0)
