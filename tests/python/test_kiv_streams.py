"""Streams of jobs: Model.map and map_async (order, laziness, errors at
their position, early ends, Ctrl-C, timeouts), out= (the caller's arrays,
checked strictly) and Model.in_flight."""

import asyncio
import gc
import threading
import time

import numpy as np
import pytest

import kiv
from test_kiv_async import ctrl_c_when
from kiv.standin import ProgramBuilder
from helpers_kiv import copy_model, failing_model

WAIT = 10


def frames(count, read):
    """Inputs 0, 1, ... as (4,) float32 arrays; `read` counts those taken."""
    for i in range(count):
        read.append(i)
        yield np.full(4, i, np.float32)


@pytest.fixture
def model(tmp_path, make_model):
    with kiv.Runtime() as runtime, runtime.load(copy_model(tmp_path, make_model, shape=(4,), wait_ms=5)) as model:
        yield model


def context_closed(runtime):
    """Whether the runtime's driver context was closed, waited for a while:
    its close follows the end of the last job still in flight."""
    deadline = time.monotonic() + WAIT
    while runtime._context.life.state != "released" and time.monotonic() < deadline:
        time.sleep(0.01)
    return runtime._context.life.state == "released"


@pytest.mark.parametrize("depth", [None, 1, 3])
def test_map_yields_in_order_and_reads_no_more_than_in_flight_ahead(model, depth):
    read, ahead = [], []
    outputs = []
    for (y,) in model.map(frames(12, read), in_flight=depth):
        ahead.append(len(read) - len(outputs))  # inputs taken but not yet handed back
        outputs.append(y[0])
    assert outputs == list(range(12))
    started_ahead = depth or 8  # twice the stand-in's four cores
    assert ahead == [min(started_ahead, 12 - i) for i in range(12)]
    assert model.in_flight == 0
    created = model.jobs_created
    consume = list(model.map(frames(40, []), in_flight=depth))
    assert len(consume) == 40 and model.jobs_created == created  # the stream's jobs are kept and reused


@pytest.mark.parametrize("bad", [0, -1, 1.5, True])
def test_map_refuses_in_flight_that_is_not_a_positive_whole_number(model, bad):
    with pytest.raises((TypeError, ValueError), match="in_flight"):
        model.map([], in_flight=bad)


def test_an_error_is_raised_at_its_position(model, tmp_path, make_model):
    def inputs():
        yield np.zeros(4, np.float32)
        yield np.zeros(5, np.float32)  # refused: the shape
        yield np.zeros(4, np.float32)

    stream = model.map(inputs())
    assert next(stream)[0].tolist() == [0, 0, 0, 0]
    with pytest.raises(ValueError, match="shape"):
        next(stream)

    def breaking():
        yield np.ones(4, np.float32)
        raise RuntimeError("no more frames")

    stream = model.map(breaking())
    assert next(stream)[0].tolist() == [1, 1, 1, 1]  # what came before the iterable's error
    with pytest.raises(RuntimeError, match="no more frames"):
        next(stream)
    with kiv.Runtime() as runtime, runtime.load(failing_model(tmp_path, make_model)) as failing:
        with pytest.raises(kiv.KivError) as info:
            list(failing.map([np.zeros(4, np.float32)] * 3))
        assert info.value.api == "kiv_job_infer_async"


@pytest.mark.parametrize("end", ["close", "drop", "timeout"])
def test_a_stream_ended_early_leaves_nothing_behind(tmp_path, make_model, end):
    runtime = kiv.Runtime()
    model = runtime.load(copy_model(tmp_path, make_model, shape=(4,), wait_ms=600))
    # Eight in flight on four cores: four still wait when the first result is in.
    stream = model.map((np.full(4, i, np.float32) for i in range(100)), timeout=0.05 if end == "timeout" else None)
    if end == "timeout":
        with pytest.raises(kiv.JobTimeout) as info:
            next(stream)
        assert info.value.api == "Model.map" and info.value.timeout == 0.05
    else:
        assert next(stream)[0].tolist() == [0, 0, 0, 0]
        if end == "close":
            stream.close()
        else:
            del stream
            gc.collect()
    assert 0 < model.in_flight <= 8  # the jobs in flight end on their own
    runtime.close()
    assert context_closed(runtime) and model.in_flight == 0


def test_ctrl_c_while_iterating_leaves_the_model_usable(tmp_path, make_model):
    with kiv.Runtime() as runtime:
        model = runtime.load(copy_model(tmp_path, make_model, shape=(4,), wait_ms=200))
        interrupter = ctrl_c_when(lambda: model.in_flight == 4)
        seen = []
        with pytest.raises(KeyboardInterrupt):
            for (y,) in model.map((np.full(4, i, np.float32) for i in range(100)), in_flight=4):
                seen.append(y[0])
        interrupter.join(WAIT)
        assert seen == list(range(len(seen))) and len(seen) < 100
        assert model.run(np.ones(4, np.float32))[0].tolist() == [1, 1, 1, 1]
    assert context_closed(runtime)


def test_map_async_streams_in_order_lazily_with_errors_in_place(model):
    async def inputs(read):
        for i in range(6):
            read.append(i)
            yield np.full(4, i, np.float32) if i != 4 else np.zeros(3, np.float32)

    async def consume():
        read, got, ahead = [], [], []
        with pytest.raises(ValueError, match="shape"):
            async for (y,) in model.map_async(inputs(read), in_flight=2):
                ahead.append(len(read) - len(got))
                got.append(y[0])
        from_a_list = [y[0] async for (y,) in model.map_async([np.full(4, 7, np.float32)] * 2)]
        return got, ahead, from_a_list

    got, ahead, from_a_list = asyncio.run(consume())
    assert got == [0, 1, 2, 3] and ahead == [2, 2, 2, 2]
    assert from_a_list == [7, 7]


def test_map_async_bounds_each_wait(tmp_path, make_model):
    async def consume(model):
        async for _ in model.map_async([np.zeros(4, np.float32)] * 3, timeout=0.05):
            pass

    with kiv.Runtime() as runtime, runtime.load(copy_model(tmp_path, make_model, shape=(4,), wait_ms=300)) as slow:
        with pytest.raises(kiv.JobTimeout) as info:
            asyncio.run(consume(slow))
        assert info.value.api == "Model.map_async"


def test_in_flight_counts_jobs_started_and_not_yet_ended(tmp_path, make_model, standin):
    with kiv.Runtime() as runtime, runtime.load(copy_model(tmp_path, make_model, shape=(4,), wait_ms=300)) as model:
        standin.aipu_standin_set_completion_fault(1)  # ends held back
        futures = [model.submit(np.ones(4, np.float32)) for _ in range(3)]
        counts = [model.in_flight]
        runner = threading.Thread(target=model.run, args=(np.ones(4, np.float32),))
        runner.start()
        deadline = time.monotonic() + WAIT
        while model.in_flight < 4 and time.monotonic() < deadline:
            time.sleep(0.005)
        counts.append(model.in_flight)
        runner.join(WAIT)
        counts.append(model.in_flight)
        standin.aipu_standin_set_completion_fault(0)
        for future in futures:
            future.result(WAIT)
        counts.append(model.in_flight)
    assert counts == [3, 4, 3, 0]


def test_out_takes_the_callers_arrays_and_returns_them(model, standin):
    mine = np.full(4, 99, np.float32)
    outputs = model.run(np.arange(4, dtype=np.float32), out=[mine])
    assert outputs[0] is mine and mine.tolist() == [0, 1, 2, 3]
    again = model.submit(np.full(4, 5, np.float32), out=outputs).result(WAIT)  # the Outputs of an earlier run
    assert again[0] is mine and mine.tolist() == [5, 5, 5, 5]
    assert model.run(np.full(4, 6, np.float32), out={"dst": mine})["dst"] is mine
    # Nothing is zero-filled first: what a short-writing driver leaves is the caller's own.
    standin.aipu_standin_set_tensor_write_limit(8)
    mine[:] = 99
    model.run(np.full(4, 7, np.float32), out=[mine])
    assert mine.tolist() == [7, 7, 99, 99]


@pytest.mark.parametrize(
    "make_out, error, text",
    [
        (lambda: [np.zeros(4, np.float64)], ValueError,
         r"output 'dst' \(index 0\) is float32; out= gives an array of float64"),
        (lambda: [np.zeros((2, 2), np.float32)], ValueError,
         r"output 'dst' \(index 0\) has shape \(4,\); out= gives shape \(2, 2\)"),
        (lambda: [np.zeros(8, np.float32)[::2]], ValueError, "output 'dst' .* not C-contiguous"),
        (lambda: [np.zeros(4, np.float32).view()], None, None),
        (lambda: [np.frombuffer(bytes(16), np.float32)], ValueError, "output 'dst' .* read-only"),
        (lambda: [np.zeros(4, np.float32)] * 2, ValueError, "the model has 1 output.*; out= gives 2"),
        (lambda: {"y": np.zeros(4, np.float32)}, ValueError, r"unknown output name\(s\) \['y'\]"),
        (lambda: [[0.0] * 4], TypeError, "output 'dst' .* takes numpy arrays, got list"),
    ],
)
def test_out_is_checked_strictly(model, make_out, error, text):
    out = make_out()
    if error is None:  # a view of the right kind is as good as the array
        assert model.run(np.ones(4, np.float32), out=out)[0] is out[0]
        return
    x = np.ones(4, np.float32)
    for run in (lambda: model.run(x, out=out), lambda: model.submit(x, out=out)):
        with pytest.raises(error, match=text):
            run()
    assert model.in_flight == 0


@pytest.fixture
def two_outputs(tmp_path, make_model):
    """A model copying its input to two outputs, 'a' and 'b', of 4 floats each."""
    b = ProgramBuilder()
    src = b.input([4], "float32")
    for _ in range(2):
        b.copy(b.output([4], "float32"), src)
    io = {"name": "twice", "version": [1, 0, 0], "input_tensors": [{"name": "x", "shape": [4]}],
          "output_tensors": [{"name": "a", "shape": [4]}, {"name": "b", "shape": [4]}]}
    with kiv.Runtime() as runtime, runtime.load(make_model(tmp_path, b, io=io)) as model:
        yield model


@pytest.mark.parametrize(
    "make_out",
    [
        lambda: [np.zeros(4, np.float32)] * 2,
        lambda: (lambda one: {"b": one, "a": one})(np.zeros(4, np.float32)),
        lambda: (lambda whole: [whole[:4], whole[2:]])(np.zeros(6, np.float32)),
    ],
    ids=["one array twice", "one array by name", "overlapping views"],
)
def test_out_arrays_that_share_memory_are_refused_naming_both(two_outputs, make_out):
    for run in (two_outputs.run, two_outputs.submit):
        shared = r"outputs 'a' \(index 0\) and 'b' \(index 1\): out= gives arrays that share"
        with pytest.raises(ValueError, match=shared):
            run(np.ones(4, np.float32), out=make_out())
    apart = np.zeros(8, np.float32)
    outputs = two_outputs.run(np.arange(4, dtype=np.float32), out=[apart[:4], apart[4:]])
    assert apart.tolist() == [0, 1, 2, 3] * 2 and outputs[1].base is apart


def test_an_out_array_is_never_written_past_its_end(tmp_path, make_model):
    """numpy refuses to resize an out= array while its job runs, even without
    its reference check; and the runtime writes nothing into a buffer whose
    length is not the output's size."""
    with kiv.Runtime() as runtime, runtime.load(copy_model(tmp_path, make_model, shape=(4,), wait_ms=200)) as model:
        mine = np.zeros(4, np.float32)
        future = model.submit(np.arange(4, dtype=np.float32), out=[mine])
        with pytest.raises(ValueError, match="resize"):
            mine.resize(1, refcheck=False)
        assert future.result(WAIT)[0].tolist() == [0, 1, 2, 3]
        npu = runtime.npu
        _, job_id = npu.kiv_create_job(model.graph_id)
        assert int(npu.kiv_load_tensor(job_id, 0, np.ones(4, np.float32))) == 0
        assert int(npu.kiv_job_infer_sync(job_id)) == 0
        short = np.full(3, 9, np.float32)
        assert kiv._native.read_outputs(npu, job_id, [short], [16]) == (0, None)
        assert short.tolist() == [9, 9, 9]
        npu.kiv_clean_job(job_id)
