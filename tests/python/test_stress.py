"""Load from several Python threads through the sync, async and batch paths,
and lifecycles repeated in a loop, with the process's resident memory
watched and every completion callback counted.

The default sizes keep the whole module well under two minutes on a loaded
two-core machine; KIV_STRESS_SCALE=<n> multiplies every count for longer runs.
"""

import collections
import gc
import os
import threading
import weakref

import numpy as np
import pytest

import libkiv
from kiv.standin import ProgramBuilder

pytestmark = pytest.mark.stress

SCALE = max(1, int(os.environ.get("KIV_STRESS_SCALE", "1")))
THREADS = 4
WAIT_S = 120  # for conditions that normally hold within milliseconds
SUCCESS = libkiv.KIV_STATUS_SUCCESS

# Tensors large enough that losing one buffer per job shows in the RSS at
# once: 64 KiB per input, 2 inputs and 2 outputs per job.
ELEMENTS = 16 * 1024
TENSOR_BYTES = ELEMENTS * 4
# Growth tolerated after warm-up: allocator caches and interpreter noise, far
# below what one lost tensor buffer per job adds over the measured rounds.
RSS_BOUND_KIB = 6 * 1024
# ASan keeps freed memory in quarantine and never returns it, so resident
# memory says nothing about leaks there; the loops and counts still run.
UNDER_ASAN = "libasan" in os.environ.get("LD_PRELOAD", "")


def check_rss(before, after, what):
    print(f"\nstress: {what}, RSS {before} -> {after} KiB")
    if not UNDER_ASAN:
        assert after - before < RSS_BOUND_KIB, f"RSS grew from {before} to {after} KiB over {what}"


def vm_rss_kib():
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    raise AssertionError("no VmRSS in /proc/self/status")


def settled_rss_kib():
    gc.collect()
    return vm_rss_kib()


def sum_and_product_program():
    b = ProgramBuilder()
    lhs = b.input([ELEMENTS], "float32")
    rhs = b.input([ELEMENTS], "float32")
    total = b.output([ELEMENTS], "float32")
    product = b.output([ELEMENTS], "float32")
    b.add(total, lhs, rhs)
    b.mul(product, lhs, rhs)
    return b


def inputs_for(seed):
    lhs = np.arange(ELEMENTS, dtype=np.float32) * np.float32(0.5) + np.float32(seed)
    rhs = np.full(ELEMENTS, np.float32(seed % 7 + 1))
    return lhs, rhs


def check_outputs(seed, total, product):
    lhs, rhs = inputs_for(seed)
    np.testing.assert_array_equal(np.frombuffer(bytes(total), np.float32), lhs + rhs)
    np.testing.assert_array_equal(np.frombuffer(bytes(product), np.float32), lhs * rhs)


@pytest.fixture
def graph(npu, tmp_path, make_model):
    status, graph_id = npu.kiv_load_graph(make_model(tmp_path, sum_and_product_program()))
    assert status == SUCCESS
    yield graph_id
    npu.kiv_unload_graph(graph_id)


class Completions:
    """Completion callbacks per job id. Waiters block without the GIL.

    take() removes a job's entry once its single callback has been seen, so
    that the bookkeeping stays constant in size however many jobs run; a late
    second callback for the same job would leave an entry behind, which
    check_all_taken() reports."""

    def __init__(self):
        self.counts = collections.Counter()
        self.statuses = {}
        self.calls = 0
        self.taken = 0
        self.cond = threading.Condition()

    def callback(self, job_id, status):
        with self.cond:
            self.calls += 1
            self.counts[job_id] += 1
            self.statuses[job_id] = status
            self.cond.notify_all()
        return 0

    def wait_for(self, job_id):
        with self.cond:
            assert self.cond.wait_for(lambda: job_id in self.counts, timeout=WAIT_S), f"no callback for job {job_id}"

    def take(self, job_id):
        with self.cond:
            count = self.counts.pop(job_id)
            status = self.statuses.pop(job_id)
            self.taken += 1
        assert count == 1, f"job {job_id} called back {count} times"
        assert status == libkiv.KIV_JOB_STATUS_DONE

    def check_all_taken(self, expected):
        with self.cond:
            assert not self.counts, f"callbacks for jobs already taken: {dict(self.counts)}"
            assert self.calls == self.taken == expected


def sync_job(npu, graph_id, seed):
    status, job_id = npu.kiv_create_job(graph_id)
    assert status == SUCCESS
    lhs, rhs = inputs_for(seed)
    assert npu.kiv_load_tensor(job_id, 0, lhs) == SUCCESS
    assert npu.kiv_load_tensor(job_id, 1, rhs) == SUCCESS
    assert npu.kiv_job_infer_sync(job_id) == SUCCESS
    status, total = npu.kiv_get_tensor(job_id, libkiv.KIV_TENSOR_TYPE_OUTPUT, 0)
    assert status == SUCCESS
    status, product = npu.kiv_get_tensor(job_id, libkiv.KIV_TENSOR_TYPE_OUTPUT, 1)
    assert status == SUCCESS
    check_outputs(seed, total, product)
    assert npu.kiv_clean_job(job_id) == SUCCESS


def async_job(npu, graph_id, seed, completions):
    status, job_id = npu.kiv_create_job(graph_id)
    assert status == SUCCESS
    lhs, rhs = inputs_for(seed)
    assert npu.kiv_load_tensor(job_id, 0, lhs.tobytes()) == SUCCESS
    assert npu.kiv_load_tensor(job_id, 1, bytearray(rhs.tobytes())) == SUCCESS
    assert npu.kiv_job_infer_async(job_id, completions.callback) == SUCCESS
    completions.wait_for(job_id)
    status, total = npu.kiv_get_tensor(job_id, libkiv.KIV_TENSOR_TYPE_OUTPUT, 0)
    assert status == SUCCESS
    status, product = npu.kiv_get_tensor(job_id, libkiv.KIV_TENSOR_TYPE_OUTPUT, 1)
    assert status == SUCCESS
    check_outputs(seed, total, product)
    assert npu.kiv_clean_job(job_id) == SUCCESS
    completions.take(job_id)


def batch_round(npu, graph_id, seeds):
    status, queue_id = npu.kiv_create_batch_queue(graph_id)
    assert status == SUCCESS
    outputs = []
    for seed in seeds:
        outs = [np.zeros(ELEMENTS, np.float32), bytearray(TENSOR_BYTES)]
        assert npu.kiv_add_batch(graph_id, queue_id, list(inputs_for(seed)), outs) == SUCCESS
        outputs.append(outs)
    assert npu.kiv_finish_batch(graph_id, queue_id) == SUCCESS
    for seed, (total, product) in zip(seeds, outputs):
        check_outputs(seed, total, product)
    assert npu.kiv_clean_batch_queue(graph_id, queue_id) == SUCCESS
    return len(seeds)


def run_threads(rounds, work):
    """Runs work(thread_index, round) for every round on THREADS threads;
    re-raises the first failure of any thread."""
    failures = []

    def body(index):
        try:
            for r in range(rounds):
                work(index, r)
        except BaseException as error:  # noqa: BLE001 - handed to the main thread
            failures.append(error)

    threads = [threading.Thread(target=body, args=(i,)) for i in range(THREADS)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=600)
        assert not t.is_alive(), "a stress thread did not finish"
    if failures:
        raise failures[0]


def test_jobs_from_threads_through_every_path_without_growth(npu, graph):
    completions = Completions()
    totals = collections.Counter()
    totals_lock = threading.Lock()

    def work(index, r):
        seed = index * 100003 + r
        sync_job(npu, graph, seed)
        async_job(npu, graph, seed + 1, completions)
        batched = batch_round(npu, graph, [seed + 2, seed + 3, seed + 4])
        with totals_lock:
            totals["sync"] += 1
            totals["async"] += 1
            totals["batch"] += batched

    run_threads(20, work)  # warm-up: allocator pools, numpy, driver threads
    before = settled_rss_kib()
    rounds = 300 * SCALE
    run_threads(rounds, work)
    after = settled_rss_kib()

    jobs = totals["sync"] + totals["async"] + totals["batch"]
    assert jobs == THREADS * (rounds + 20) * 5
    assert jobs >= 2000
    # Every asynchronous job called back exactly once, with DONE; cleaned
    # jobs are never called back again.
    completions.check_all_taken(THREADS * (rounds + 20))
    check_rss(before, after, f"{jobs} jobs ({dict(totals)})")


def test_async_jobs_in_flight_together_call_back_once_each(npu, graph):
    completions = Completions()
    in_flight = 64
    for _ in range(20 * SCALE):
        jobs = []
        for seed in range(in_flight):
            status, job_id = npu.kiv_create_job(graph)
            assert status == SUCCESS
            lhs, rhs = inputs_for(seed)
            assert npu.kiv_load_tensor(job_id, 0, lhs) == SUCCESS
            assert npu.kiv_load_tensor(job_id, 1, rhs) == SUCCESS
            jobs.append(job_id)
        for job_id in jobs:
            assert npu.kiv_job_infer_async(job_id, completions.callback) == SUCCESS
        for job_id in jobs:
            completions.wait_for(job_id)
        for seed, job_id in enumerate(jobs):
            status, total = npu.kiv_get_tensor(job_id, libkiv.KIV_TENSOR_TYPE_OUTPUT, 0)
            assert status == SUCCESS
            status, product = npu.kiv_get_tensor(job_id, libkiv.KIV_TENSOR_TYPE_OUTPUT, 1)
            assert status == SUCCESS
            check_outputs(seed, total, product)
            assert npu.kiv_clean_job(job_id) == SUCCESS
            completions.take(job_id)
    completions.check_all_taken(20 * SCALE * in_flight)


def test_callbacks_dropped_with_their_jobs_release_the_callable(npu, graph):
    """The function object holding the Python callable is let go once the job
    completed: callables do not pile up per job."""

    completions = Completions()

    class Callback:
        def __call__(self, job_id, status):
            return completions.callback(job_id, status)

    refs = []
    for seed in range(200 * SCALE):
        callback = Callback()
        refs.append(weakref.ref(callback))
        status, job_id = npu.kiv_create_job(graph)
        assert status == SUCCESS
        lhs, rhs = inputs_for(seed)
        assert npu.kiv_load_tensor(job_id, 0, lhs) == SUCCESS
        assert npu.kiv_load_tensor(job_id, 1, rhs) == SUCCESS
        assert npu.kiv_job_infer_async(job_id, callback) == SUCCESS
        del callback
        completions.wait_for(job_id)
        assert npu.kiv_clean_job(job_id) == SUCCESS
        completions.take(job_id)
    completions.check_all_taken(200 * SCALE)
    gc.collect()
    # The driver drops its copy after the call returns, on its own thread.
    deadline = threading.Event()
    for _ in range(WAIT_S * 10):
        if all(r() is None for r in refs):
            break
        deadline.wait(0.1)
        gc.collect()
    assert all(r() is None for r in refs)


def test_contexts_opened_and_closed_in_a_loop(standin):
    open_before = standin.aipu_standin_open_context_count()

    def cycle(n):
        for _ in range(n):
            device = libkiv.NPU()
            assert device.kiv_init_context() == SUCCESS
            assert device.kiv_deinit_context() == SUCCESS

    cycle(50)
    before = settled_rss_kib()
    cycle(2000 * SCALE)
    after = settled_rss_kib()
    assert standin.aipu_standin_open_context_count() == open_before
    check_rss(before, after, f"{2000 * SCALE} contexts")


def test_graphs_loaded_and_unloaded_in_a_loop(npu, tmp_path, make_model):
    path = make_model(tmp_path, sum_and_product_program())

    def cycle(n):
        for seed in range(n):
            status, graph_id = npu.kiv_load_graph(path)
            assert status == SUCCESS
            if seed % 10 == 0:
                sync_job(npu, graph_id, seed)
            assert npu.kiv_unload_graph(graph_id) == SUCCESS

    cycle(50)
    before = settled_rss_kib()
    cycle(3000 * SCALE)
    after = settled_rss_kib()
    check_rss(before, after, f"{3000 * SCALE} graph loads")
