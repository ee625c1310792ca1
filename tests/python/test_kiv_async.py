"""Waiting without the interpreter lock: run on slow jobs, futures, asyncio and timeouts."""

import asyncio
import concurrent.futures
import gc
import itertools
import signal
import threading
import time

import numpy as np
import pytest

import kiv
import libkiv
from helpers_kiv import copy_model, ramp

SLOW_MS = 3000
WAIT = 120  # generous upper bound for any single wait, in seconds


@pytest.fixture
def runtime():
    with kiv.Runtime() as rt:
        yield rt


def test_other_threads_run_while_run_waits_on_a_slow_job(runtime, tmp_path, make_model):
    with runtime.load(copy_model(tmp_path, make_model, shape=(4,), wait_ms=SLOW_MS)) as model:
        events = []
        go = threading.Event()

        def other_thread():
            go.wait(WAIT)
            for _ in range(10):  # a little work, far shorter than the job
                time.sleep(0.005)
            events.append("other thread finished")

        worker = threading.Thread(target=other_thread)
        worker.start()
        go.set()
        (out,) = model.run(ramp((4,), np.float32))
        events.append("run returned")
        worker.join(WAIT)
        np.testing.assert_array_equal(out, ramp((4,), np.float32))
        # Had run held the interpreter lock during the 3 s job, the other
        # thread could only have finished afterwards.
        assert events == ["other thread finished", "run returned"]


def test_concurrent_submissions_each_get_their_own_outputs(runtime, tmp_path, make_model):
    """Each future gets its own job's outputs, also with several threads
    waiting for one future, over reused job ids."""
    with runtime.load(copy_model(tmp_path, make_model, shape=(3,), wait_ms=50)) as model:
        for round_ in range(3):
            inputs = [ramp((3,), np.float32, start=10 * i + round_) for i in range(8)]
            futures = [model.submit(x) for x in inputs]
            with pytest.raises(concurrent.futures.TimeoutError):
                futures[-1].result(timeout=0.001)
            # Several threads wait for the same future: each sees the outputs once collected.
            with concurrent.futures.ThreadPoolExecutor(3) as pool:
                seen = list(pool.map(lambda _: futures[0].result(timeout=WAIT)[0], range(3)))
            for out in seen:
                np.testing.assert_array_equal(out, inputs[0])
            for x, future in zip(inputs, futures):
                (out,) = future.result(timeout=WAIT)
                np.testing.assert_array_equal(out, x)


def test_run_from_many_threads_at_once(runtime, tmp_path, make_model):
    with runtime.load(copy_model(tmp_path, make_model, shape=(3,), wait_ms=20)) as model:
        results, errors = {}, []

        def worker(i):
            try:
                for n in range(5):
                    results[(i, n)] = model.run(ramp((3,), np.float32, start=100 * i + n))[0]
            except Exception as err:  # pragma: no cover - reported below
                errors.append(err)

        threads = [threading.Thread(target=worker, args=(i,)) for i in range(4)]
        for t in threads:
            t.start()
        for t in threads:
            t.join(WAIT)
        assert errors == []
        for (i, n), out in results.items():
            np.testing.assert_array_equal(out, ramp((3,), np.float32, start=100 * i + n))
        assert len(results) == 20


def unloaded(standin, graph_id):
    """True once the driver's last graph unload was that of `graph_id`
    (models of earlier tests may still be unloaded in the background)."""
    call = standin.last_call("aipu_unload_graph")
    return call is not None and call["graph_id"] == graph_id


def await_unload(standin, graph_id):
    deadline = time.monotonic() + WAIT
    while not unloaded(standin, graph_id) and time.monotonic() < deadline:
        time.sleep(0.01)
    assert unloaded(standin, graph_id)


def test_run_async_with_asyncio_gather(runtime, tmp_path, make_model):
    with runtime.load(copy_model(tmp_path, make_model, shape=(2,), wait_ms=20)) as model:

        async def main():
            return await asyncio.gather(*(model.run_async(np.full(2, i, np.float32)) for i in range(5)))

        outs = asyncio.run(main())
        assert [o[0].tolist() for o in outs] == [[float(i)] * 2 for i in range(5)]


def test_timeout_raises_and_the_job_is_released_later(runtime, tmp_path, make_model, standin):
    model = runtime.load(copy_model(tmp_path, make_model, shape=(2,), wait_ms=SLOW_MS))
    with pytest.raises(kiv.JobTimeout) as info:
        model.run(np.zeros(2, np.float32), timeout=0.01)
    assert info.value.status == libkiv.KIV_STATUS_ERROR_TIMEOUT and isinstance(info.value, TimeoutError)
    assert str(info.value).startswith("Model.run failed with status 35: job ") and "timeout of 0.01s" in str(info.value)
    for bad, error in ((-1, ValueError), (float("nan"), ValueError), ("1", TypeError)):
        with pytest.raises(error, match="timeout"):
            model.run(np.zeros(2, np.float32), timeout=bad)
    model.close()  # returns at once: the graph is unloaded when the abandoned job ends
    assert not unloaded(standin, model.graph_id)
    await_unload(standin, model.graph_id)
    assert model not in runtime.models


@pytest.mark.parametrize("timeout", [float("inf"), 1e10, 2.0**63])
def test_timeouts_too_long_to_wait_out_mean_no_limit(runtime, tmp_path, make_model, timeout):
    with runtime.load(copy_model(tmp_path, make_model, shape=(2,), wait_ms=100)) as model:
        assert model.run(np.ones(2, np.float32), timeout=timeout)[0].tolist() == [1.0, 1.0]


def test_a_wait_at_exit_ends_within_its_timeout(run_python, tmp_path, make_model):
    """A wait in an exit handler that runs after kiv's own (registered before
    kiv was imported) gets a clear error for a job still running: the wait
    ends before the job does (it would get the outputs otherwise, well within
    its timeout)."""
    path = copy_model(tmp_path, make_model, shape=(2,), wait_ms=SLOW_MS)
    result = run_python(
        "import atexit, time\n"
        "def wait_for_the_job():\n"
        "    try:\n"
        "        print(future.result(timeout=%d))\n"
        "    except Exception as err:\n"
        "        print('%%s: %%s' %% (type(err).__name__, err))\n"

        "atexit.register(wait_for_the_job)\n"

        "import numpy as np, kiv\n"
        "model = kiv.Runtime().load(%r)\n"
        "future = model.submit(np.zeros(2, np.float32))\n" % (WAIT, path),
        timeout=WAIT,
    )
    assert result.returncode == 0, result.stderr
    (error,) = result.stdout.splitlines()
    assert error.startswith("KivError: kiv_job_infer_async failed with status 17: ")
    assert "the job had not ended when the interpreter exited" in error


def test_jobs_are_reused_unless_disabled(runtime, tmp_path, make_model):
    path = copy_model(tmp_path, make_model, shape=(2,))
    with runtime.load(path) as reusing, runtime.load(path, max_idle_jobs=0) as fresh:
        for i in range(5):
            for model in (reusing, fresh):
                (out,) = model.run(np.full(2, i, np.float32))
                assert out.tolist() == [i, i]
        assert reusing.jobs_created == 1
        assert fresh.jobs_created == 5


def test_a_full_pool_makes_room_for_the_run_at_hand(runtime, tmp_path, make_model, standin):
    with runtime.load(copy_model(tmp_path, make_model, shape=(2,)), max_idle_jobs=4) as model:
        standin.aipu_standin_set_completion_fault(1)  # held back: four jobs in flight at once
        futures = [model.submit(np.full(2, i, np.float32)) for i in range(4)]
        standin.aipu_standin_set_completion_fault(0)
        assert [f.result(timeout=WAIT)[0].tolist() for f in futures] == [[i, i] for i in range(4)]
        assert model.jobs_created == 4  # the pool is full of jobs last run asynchronously
        options = (kiv.JobOptions(), kiv.JobOptions(qos=1))
        for i in range(100):
            assert model.run(np.full(2, i, np.float32), job_options=options[i % 2])[0].tolist() == [i, i]
        assert model.jobs_created == 6  # one per kind of run and options, each reused


def still_running(runtime, job_id):
    """Whether the driver still runs the job: an order of events that a
    loaded machine cannot turn round, unlike a bound on elapsed time."""
    status, job_status = runtime.npu.kiv_get_job_status(job_id, 0)
    return int(status) == 0 and job_status == libkiv.KIV_JOB_STATUS_NO_STATUS


def ctrl_c_when(condition):
    """A thread that sends SIGINT to the main thread, as Ctrl-C does, once
    `condition()` holds; returns it."""

    def interrupt():
        for _ in range(WAIT * 100):
            if condition():
                break
            time.sleep(0.01)
        # Let the main thread reach its wait first: a signal that lands just
        # before the interpreter blocks on a lock is only seen once the lock
        # is taken (the interpreter's own race, not the layer's).
        time.sleep(0.2)
        signal.pthread_kill(threading.main_thread().ident, signal.SIGINT)

    thread = threading.Thread(target=interrupt)
    thread.start()
    return thread


def test_interrupted_wait_still_releases_the_job(runtime, tmp_path, make_model, standin):
    model = runtime.load(copy_model(tmp_path, make_model, shape=(2,), wait_ms=SLOW_MS))
    standin.aipu_standin_reset_calls()
    # The job is in flight once the driver was asked to run it.
    interrupter = ctrl_c_when(lambda: standin.last_call("aipu_finish_job") is not None)
    with pytest.raises(KeyboardInterrupt):
        model.run(np.zeros(2, np.float32))
    job_id = standin.last_call("aipu_finish_job")["job_id"]
    assert still_running(runtime, job_id), "run did not answer Ctrl-C while waiting"
    interrupter.join(WAIT)
    model.close()  # answers at once; the job left running is released when it ends
    assert still_running(runtime, job_id)
    assert not unloaded(standin, model.graph_id)  # never while the driver still runs the job
    await_unload(standin, model.graph_id)
    assert standin.last_call("aipu_clean_job") is not None


@pytest.mark.parametrize("left_by", ["timeout", "interrupt"])
def test_a_run_left_running_while_another_thread_closes_the_model_keeps_it(
    runtime, tmp_path, make_model, standin, left_by
):
    """The close comes while the run waits; the run's job, left running by its
    timeout or Ctrl-C, keeps the model in use until it has ended and been
    cleaned, and the caller gets the timeout or the interrupt."""
    model = runtime.load(copy_model(tmp_path, make_model, shape=(2,), wait_ms=SLOW_MS // 3))
    standin.aipu_standin_reset_calls()
    main = threading.main_thread().ident

    def close_while_it_runs():
        while standin.last_call("aipu_finish_job") is None:
            time.sleep(0.005)
        model.close()
        if left_by == "interrupt":
            time.sleep(0.1)
            signal.pthread_kill(main, signal.SIGINT)

    closer = threading.Thread(target=close_while_it_runs)
    closer.start()
    with pytest.raises(kiv.JobTimeout if left_by == "timeout" else KeyboardInterrupt):
        model.run(np.zeros(2, np.float32), timeout=0.3 if left_by == "timeout" else None)
    closer.join(WAIT)
    job_id = standin.last_call("aipu_finish_job")["job_id"]
    assert still_running(runtime, job_id) and model.in_flight == 1
    assert not unloaded(standin, model.graph_id)  # never while the driver still runs the job
    await_unload(standin, model.graph_id)
    assert standin.last_call("aipu_clean_job")["job_id"] == job_id and model.in_flight == 0


def test_a_job_left_running_is_released_while_other_jobs_keep_ending(runtime, tmp_path, make_model):
    """The completion thread asks about a job a timeout left running each
    20 ms, also while the ends of other jobs keep it busy."""
    slow = runtime.load(copy_model(tmp_path, make_model, shape=(2,), wait_ms=200))
    fast = runtime.load(copy_model(tmp_path, make_model, shape=(2,), wait_ms=1))
    with pytest.raises(kiv.JobTimeout):
        slow.run(np.zeros(2, np.float32), timeout=0.01)
    deadline = time.monotonic() + 3
    for _ in fast.map(itertools.repeat(np.zeros(2, np.float32)), in_flight=8):
        if slow.in_flight == 0 or time.monotonic() > deadline:
            break
    assert slow.in_flight == 0


def settled_context_count(standin):
    """The contexts open once those of earlier tests are done closing: some
    only the collector releases (a stream left in a reference cycle), and
    then only after the jobs they still run; one closing later would look
    like the context a test waits for."""
    gc.collect()
    count, deadline = standin.aipu_standin_open_context_count(), time.monotonic() + WAIT
    while time.monotonic() < deadline:
        time.sleep(0.2)
        count, before = standin.aipu_standin_open_context_count(), count
        if count == before:
            break
    return count


def test_closing_with_jobs_running_returns_at_once_and_loses_nothing(tmp_path, make_model, standin):
    before = settled_context_count(standin)
    runtime = kiv.Runtime()
    model = runtime.load(copy_model(tmp_path, make_model, shape=(2,), wait_ms=SLOW_MS // 3))
    future = model.submit(np.array([3.0, 4.0], np.float32))
    runtime.close()
    assert not future.done() and model.closed and runtime.closed  # returned before the job ended
    assert future.result(timeout=WAIT)[0].tolist() == [3.0, 4.0]  # the running job's outputs still arrive
    await_unload(standin, model.graph_id)
    deadline = time.monotonic() + WAIT
    while standin.aipu_standin_open_context_count() != before and time.monotonic() < deadline:
        time.sleep(0.01)
    assert standin.aipu_standin_open_context_count() == before  # the context closes after its last model


def test_run_batch_answers_ctrl_c_between_rounds(tmp_path, make_model, standin):
    with kiv.Runtime() as runtime, runtime.load(copy_model(tmp_path, make_model, shape=(2,), wait_ms=100)) as model:
        standin.aipu_standin_reset_calls()
        first_queue = []

        def first_round_finishing():
            call = standin.last_call("aipu_finish_batch")
            if call is not None and not first_queue:
                first_queue.append(call["queue_id"])
            return call is not None

        interrupter = ctrl_c_when(first_round_finishing)
        with pytest.raises(KeyboardInterrupt):
            model.run_batch([np.zeros(2, np.float32)] * 40)  # one set a round, four seconds in all
        interrupter.join(WAIT)
        # Queue ids count up: none after the last one cleaned is left behind,
        # and the interrupt stopped the batch before its last round.
        cleaned = standin.last_call("aipu_clean_batch_queue")["queue_id"]
        assert cleaned - first_queue[0] + 1 < 40, "run_batch did not answer Ctrl-C between rounds"
        assert int(runtime.npu.kiv_clean_batch_queue(model.graph_id, cleaned + 1)) == 36
        results = model.run_batch([np.array([i, -i], np.float32) for i in range(3)])
        assert [r[0].tolist() for r in results] == [[0.0, 0.0], [1.0, -1.0], [2.0, -2.0]]


def test_runs_after_submits_on_reused_jobs_compute_anew(runtime, tmp_path, make_model):
    """A job last run asynchronously would hand a blocking run its old result:
    the pool never gives it to one."""
    with runtime.load(copy_model(tmp_path, make_model, shape=(2,)), max_idle_jobs=1) as model:
        for i in range(3):
            assert model.submit(np.full(2, i, np.float32)).result(timeout=WAIT)[0].tolist() == [i, i]
            assert model.run(np.full(2, 10 + i, np.float32))[0].tolist() == [10 + i, 10 + i]


def test_exit_with_jobs_still_running_is_clean(run_python, tmp_path, make_model):
    """A job that a timed-out run or a submit left running ends while the
    interpreter exits: its waiter must not take the interpreter lock back
    then (the interpreter would end that thread, and the process aborted)."""
    path = copy_model(tmp_path, make_model, shape=(2,), wait_ms=300)
    code = (
        "import numpy as np, kiv\n"
        "rt = kiv.Runtime()\n"
        "m = rt.load(%r)\n"
        "try:\n"
        "    m.run(np.zeros(2, np.float32), timeout=0.01)\n"
        "except kiv.JobTimeout:\n"
        "    pass\n"
        "m.submit(np.zeros(2, np.float32))\n"
        "print('exiting')\n" % path
    )
    for _ in range(3):
        result = run_python(code)
        assert (result.returncode, result.stdout) == (0, "exiting\n"), result.stderr


@pytest.mark.parametrize("cancel_by", ["cancel", "wait_for"])
def test_a_cancelled_run_async_returns_once_the_runtime_is_done_with_out(runtime, tmp_path, make_model, cancel_by):
    """With out=, the CancelledError (or wait_for's TimeoutError) comes once the
    caller's array holds the job's outputs; without it, at once."""
    model = runtime.load(copy_model(tmp_path, make_model, shape=(2,), wait_ms=800))

    async def cancelled(out):
        task = asyncio.ensure_future(model.run_async(np.array([3.0, 4.0], np.float32), out=out))
        await asyncio.sleep(0.05)
        if cancel_by == "cancel":
            task.cancel()
            with pytest.raises(asyncio.CancelledError):
                await task
        else:
            with pytest.raises(asyncio.TimeoutError):
                await asyncio.wait_for(task, 0.01)
        return model.in_flight

    mine = np.zeros(2, np.float32)
    assert asyncio.run(cancelled([mine])) == 0 and mine.tolist() == [3.0, 4.0]
    assert asyncio.run(cancelled(None)) == 1  # the job runs on, nobody's array in it


def test_kiv_futures_take_their_outcome_from_the_job_only(runtime, tmp_path, make_model):
    model = runtime.load(copy_model(tmp_path, make_model, shape=(2,), wait_ms=100))
    future = model.submit(np.ones(2, np.float32))
    for settle in (lambda: future.set_result([]), lambda: future.set_exception(ValueError("mine"))):
        with pytest.raises(RuntimeError, match="set by the runtime"):
            settle()
    assert not future.cancel()  # the job is on the device
    assert future.result(timeout=WAIT)[0].tolist() == [1.0, 1.0]
