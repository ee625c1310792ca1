"""Waiting without the interpreter lock: run on slow jobs, futures, asyncio and timeouts."""

import _thread
import asyncio
import threading
import time

import numpy as np
import pytest

import kiv
import libkiv
from test_kiv_helpers import copy_model, ramp

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
    with runtime.load(copy_model(tmp_path, make_model, shape=(3,), wait_ms=50)) as model:
        inputs = [ramp((3,), np.float32, start=10 * i) for i in range(8)]
        futures = [model.submit(x) for x in inputs]
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


def test_run_async_with_asyncio_gather(runtime, tmp_path, make_model):
    with runtime.load(copy_model(tmp_path, make_model, shape=(2,), wait_ms=20)) as model:

        async def main():
            return await asyncio.gather(*(model.run_async(np.full(2, i, np.float32)) for i in range(5)))

        outs = asyncio.run(main())
        assert [o[0].tolist() for o in outs] == [[float(i)] * 2 for i in range(5)]


def test_timeout_raises_and_the_job_is_released_later(runtime, tmp_path, make_model, standin):
    model = runtime.load(copy_model(tmp_path, make_model, shape=(2,), wait_ms=SLOW_MS))
    with pytest.raises(kiv.KivError) as info:
        model.run(np.zeros(2, np.float32), timeout=0.01)
    assert info.value.status == libkiv.KIV_STATUS_ERROR_TIMEOUT
    model.close()  # waits for the abandoned job before unloading
    assert standin.last_call("aipu_unload_graph") is not None


def test_jobs_are_reused_unless_disabled(runtime, tmp_path, make_model):
    path = copy_model(tmp_path, make_model, shape=(2,))
    with runtime.load(path) as reusing, runtime.load(path, max_idle_jobs=0) as fresh:
        for i in range(5):
            for model in (reusing, fresh):
                (out,) = model.run(np.full(2, i, np.float32))
                assert out.tolist() == [i, i]
        assert reusing.jobs_created == 1
        assert fresh.jobs_created == 5


def test_interrupted_wait_still_releases_the_job(runtime, tmp_path, make_model, standin):
    model = runtime.load(copy_model(tmp_path, make_model, shape=(2,), wait_ms=SLOW_MS))
    flushed = threading.Event()

    def interrupt_once_the_job_runs():
        # The job is in flight once the driver has seen the flush.
        for _ in range(WAIT * 100):
            if standin.last_call("aipu_flush_job") is not None:
                break
            time.sleep(0.01)
        flushed.set()
        _thread.interrupt_main()

    standin.aipu_standin_reset_calls()
    interrupter = threading.Thread(target=interrupt_once_the_job_runs)
    interrupter.start()
    returned = False
    with pytest.raises(KeyboardInterrupt):
        model.run(np.zeros(2, np.float32))
        returned = True
        flushed.wait(WAIT)  # let a late interrupt land here rather than elsewhere
    interrupter.join(WAIT)
    assert not returned, "the interrupt came after run had returned"
    model.close()  # must not wait forever for the interrupted job
    assert standin.last_call("aipu_clean_job") is not None
    assert standin.last_call("aipu_unload_graph") is not None
