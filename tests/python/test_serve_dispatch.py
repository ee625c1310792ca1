"""kiv serve's dispatcher on a model double whose jobs the test ends: the
bound on jobs in flight and on requests waiting, places given back on
timeouts, cancellations and unloads, short jobs run on the loop's thread,
and dynamic batching by size and by delay."""

import asyncio
import concurrent.futures
import time

import pytest

from kiv.serve import dispatch
from kiv.serve.dispatch import Dispatcher
from kiv.serve.errors import ServeError, Status
from kiv.serve.metrics import Metrics
from kiv.serve.settings import Batching, ModelSettings
from kiv.serve.statistics import ModelStatistics


class Model:
    """Jobs end when the test says: submit() gives futures kept in `jobs`."""

    def __init__(self):
        self.jobs = []
        self.runs = 0
        self.run_seconds = 0.0
        self.batches = []

    def submit(self, *arrays, out=None):
        future = concurrent.futures.Future()
        self.jobs.append((arrays, future))
        return future

    def run(self, *arrays, out=None, timeout=None):
        self.runs += 1
        time.sleep(self.run_seconds)
        return list(arrays)

    def run_batch(self, sets):
        self.batches.append(len(sets))
        return [list(s) for s in sets]

    def end(self, count=None):
        for arrays, future in self.jobs[:count]:
            if not future.done():
                future.set_result(list(arrays))


def dispatcher(model, in_flight=2, max_queue=2, timeout=5.0, batching=Batching()):
    settings = ModelSettings(in_flight, max_queue, timeout, batching=batching)
    return Dispatcher(model, "m", settings, ModelStatistics(), Metrics(list).for_model("m", "1"))


async def settle():
    for _ in range(5):
        await asyncio.sleep(0.01)


def test_jobs_in_flight_and_waiting_are_bounded():
    async def scenario():
        model = Model()
        d = dispatcher(model)
        requests = [asyncio.create_task(d.run([n], None)) for n in range(4)]
        await settle()
        assert (len(model.jobs), d.in_flight, d.waiting) == (2, 2, 2)
        with pytest.raises(ServeError) as busy:
            await d.run([9], None)
        assert busy.value.status is Status.UNAVAILABLE and busy.value.retry_after == 1.0
        model.end()
        await settle()
        assert (len(model.jobs), d.waiting) == (4, 0)
        model.end()
        assert [r.outputs for r in await asyncio.gather(*requests)] == [[n] for n in range(4)]
        assert d.in_flight == 0

    asyncio.run(scenario())


def test_timeouts_cancellations_and_unloading_give_places_back():
    async def scenario():
        model = Model()
        with pytest.raises(ServeError) as late:
            await dispatcher(model, in_flight=1, timeout=0.05).run([0], None)  # its job never ends
        assert late.value.status is Status.DEADLINE_EXCEEDED
        d = dispatcher(model, in_flight=1, max_queue=3)
        first = asyncio.create_task(d.run([1], None))
        waiting = [asyncio.create_task(d.run([n], None)) for n in (2, 3)]
        await settle()
        waiting[0].cancel()  # a client gone while it waited
        await settle()
        assert (d.in_flight, d.waiting) == (1, 1)
        first.cancel()  # gone while its job runs: the job keeps its place until it ends
        await settle()
        assert (d.in_flight, d.waiting, len(model.jobs)) == (1, 1, 2)
        model.end()
        await settle()
        assert len(model.jobs) == 3  # the one still waiting got the place
        d.close()
        with pytest.raises(ServeError) as unloaded:
            await d.run([4], None)
        assert unloaded.value.status is Status.UNAVAILABLE
        model.end()
        assert (await waiting[1]).outputs == [3]

    asyncio.run(scenario())


def test_short_jobs_of_an_idle_model_run_on_the_loop_thread(monkeypatch):
    # Short is below 50 ms here, so that a busy machine's pauses do not count as long jobs.
    monkeypatch.setattr(dispatch, "INLINE_JOB_NS", 50_000_000)

    async def scenario():
        model = Model()
        d = dispatcher(model)
        first = asyncio.create_task(d.run([0], None))
        await asyncio.sleep(0)
        model.end()
        await first  # a model's first job is submitted, and it was short
        assert (await d.run([1], None)).outputs == [1]
        assert (model.runs, len(model.jobs)) == (1, 1)
        model.run_seconds = 0.1
        await d.run([2], None)  # a long one: the next is submitted
        after_long = asyncio.create_task(d.run([3], None))
        await settle()
        assert (model.runs, len(model.jobs)) == (2, 2)
        model.end()
        assert (await after_long).outputs == [3]

    asyncio.run(scenario())


@pytest.mark.parametrize("count, batches", [(8, [4, 4]), (3, [3])], ids=["by size", "by delay"])
def test_batches_fill_by_size_or_by_delay(count, batches):
    async def scenario():
        model = Model()
        d = dispatcher(model, max_queue=8, batching=Batching(4, 0.05))
        results = await asyncio.gather(*(d.run([n], None) for n in range(count)))
        assert model.batches == batches
        assert [r.outputs for r in results] == [[n] for n in range(count)]
        assert {r.batch_size for r in results} == set(batches)

    asyncio.run(scenario())
