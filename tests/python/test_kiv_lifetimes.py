"""kiv's objects through what programs do to objects: a fork, dropping them
without close(), a done-callback that raises anything, a close racing a
load, a storm of Ctrl-C, an exit while the driver hangs. Each case runs in a
process of its own, which must end on time, and reports what it saw."""

import json

import pytest

from helpers_kiv import copy_model

PRELUDE = r"""
import gc, json, os, signal, sys, threading, time
import numpy as np
from kiv.standin import StandinControls
driver = StandinControls()
driver.record_calls()
import kiv, libkiv
path = %r
x = np.arange(4, dtype=np.float32)
"""

TIMEOUT = 120


@pytest.fixture
def run_case(run_python, tmp_path, make_model):
    """run_case(code, wait_ms=0) -> (stdout lines as JSON, CompletedProcess) of
    `code` after PRELUDE, on a model copying 4 floats."""

    def run(code, wait_ms=0):
        path = copy_model(tmp_path, make_model, shape=(4,), wait_ms=wait_ms)
        result = run_python(PRELUDE % path + code, timeout=TIMEOUT)
        assert result.returncode == 0, result.stderr
        return [json.loads(line) for line in result.stdout.splitlines()], result

    return run


@pytest.mark.parametrize("raised", ["SystemExit(3)", "KeyboardInterrupt()", "ValueError('bad')"])
def test_whatever_a_done_callback_raises_is_logged_and_completion_goes_on(run_case, raised):
    code = r"""
ran = []
def bad(_):
    raise %s
with kiv.Runtime() as runtime, runtime.load(path) as model:
    first = model.submit(x)  # slow enough for the callbacks to run on the completion thread
    first.add_done_callback(bad)
    first.add_done_callback(lambda _: ran.append("the next callback"))
    print(json.dumps({"first": first.result(timeout=10)[0].tolist(),
                      "later": model.submit(x).result(timeout=10)[0].tolist(), "ran": ran}))
""" % raised
    (seen,), result = run_case(code, wait_ms=200)
    assert seen == {"first": [0, 1, 2, 3], "later": [0, 1, 2, 3], "ran": ["the next callback"]}
    assert "exception calling callback for" in result.stderr
    assert raised.split("(")[0] in result.stderr


def test_runtimes_and_models_nothing_refers_to_are_closed(run_case):
    code = r"""
def settled(done):
    deadline = time.monotonic() + 10
    while not done() and time.monotonic() < deadline:
        gc.collect()
        time.sleep(0.01)
threads = threading.active_count()
for _ in range(20):
    runtime = kiv.Runtime()
    model = runtime.load(path)
    model.submit(x).result(timeout=10)
    model.run(x)
    del runtime, model
settled(lambda: driver.open_context_count() == 0 and threading.active_count() == threads)
print(json.dumps({"contexts": driver.open_context_count(), "threads": threading.active_count() - threads}))
runtime = kiv.Runtime()
model = runtime.load(path)
graph_id = model.graph_id
model.submit(x).result(timeout=10)
del model
settled(lambda: not runtime.models)
print(json.dumps({"models": len(runtime.models),
                  "unloaded": driver.last_call("aipu_unload_graph")["graph_id"] == graph_id}))
"""
    seen, _ = run_case(code)
    assert seen == [{"contexts": 0, "threads": 0}, {"models": 0, "unloaded": True}]


def test_a_forked_child_refuses_the_parents_runtime_and_runs_its_own(run_case):
    code = r"""
def attempt(call):
    try:
        call()
        return "ok"
    except kiv.KivError as err:
        return str(err)
runtime = kiv.Runtime()
model = runtime.load(path)
model.run(x)
model.submit(x).result(timeout=10)
read_end, write_end = os.pipe()
pid = os.fork()
if pid == 0:
    os.close(read_end)
    npu = runtime.npu
    seen = {call: attempt(lambda: getattr(model, call)(x)) for call in ("run", "submit")}
    seen["load"] = attempt(lambda: runtime.load(path))
    seen["libkiv"] = int(npu.kiv_load_graph(path)[0])
    driver.reset_calls()
    model.close()
    runtime.close()
    del model, runtime
    gc.collect()
    kiv.context._close_at_exit()  # what the exit does: nothing of the parent's is closed
    seen["closed in the child"] = [call for call in ("aipu_unload_graph", "aipu_deinit_context")
                                   if driver.last_call(call) is not None]
    with kiv.Runtime() as own, own.load(path) as mine:
        seen["own"] = [mine.run(x)[0].tolist(), mine.submit(x).result(timeout=10)[0].tolist()]
    seen["contexts"] = driver.open_context_count()
    os.write(write_end, json.dumps(seen).encode())
    sys.exit(0)  # the interpreter's exit runs in the child too
os.close(write_end)
with os.fdopen(read_end) as pipe:
    child = json.loads(pipe.read() or "null")
child_exit = os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1])
print(json.dumps({"child": child, "child exit": child_exit, "parent": model.run(x)[0].tolist(),
                  "contexts": driver.open_context_count()}))
runtime.close()
"""
    (seen,), result = run_case(code)
    refused = ("failed with status 64: the runtime belongs to the parent process "
               "(a child process must open a kiv.Runtime of its own)")
    assert seen == {
        "child": {
            "run": "kiv.Model " + refused,
            "submit": "kiv.Model " + refused,
            "load": "kiv.Runtime " + refused,
            "libkiv": 64,
            "closed in the child": [],
            "own": [[0, 1, 2, 3], [0, 1, 2, 3]],
            "contexts": 0,
        },
        "child exit": 0,
        "parent": [0, 1, 2, 3],
        "contexts": 1,
    }
    assert "[PY UMD ERROR] kiv_load_graph" in result.stderr  # libkiv's object answers as one without a context


def test_a_fork_during_a_libkiv_completion_leaves_the_child_free_to_exit(run_case):
    code = r"""
npu = libkiv.NPU()
npu.kiv_init_context()
_, graph_id = npu.kiv_load_graph(path)
_, job_id = npu.kiv_create_job(graph_id)
npu.kiv_load_tensor(job_id, 0, x)
inside, release = threading.Event(), threading.Event()
def completion(job, status):
    inside.set()
    release.wait(10)
    return 0
npu.kiv_job_infer_async(job_id, completion)
inside.wait(10)
pid = os.fork()
if pid == 0:
    sys.exit(0)  # the completion running in the parent must not hold up the exit here
release.set()
deadline = time.monotonic() + 20
while (waited := os.waitpid(pid, os.WNOHANG))[0] == 0 and time.monotonic() < deadline:
    time.sleep(0.01)
if waited[0] == 0:
    os.kill(pid, signal.SIGKILL)
print(json.dumps({"child exit": os.waitstatus_to_exitcode(waited[1]) if waited[0] else "hung"}))
npu.kiv_deinit_context()
"""
    (seen,), _ = run_case(code)
    assert seen == {"child exit": 0}


@pytest.mark.parametrize("method", ["fork", "forkserver", "spawn"])
def test_multiprocessing_children_open_runtimes_of_their_own(run_case, method):
    code = r"""
import multiprocessing
sys.path.insert(0, %r)
from helpers_kiv import run_copy_in_own_runtime
runtime = kiv.Runtime()
model = runtime.load(path)
model.run(x)
with multiprocessing.get_context(%r).Pool(2) as pool:
    results = pool.map(run_copy_in_own_runtime, [path] * 4)
print(json.dumps({"children": results, "parent": model.submit(x).result(timeout=10)[0].tolist()}))
runtime.close()
""" % (__import__("os").path.dirname(__file__), method)
    (seen,), _ = run_case(code)
    assert seen == {"children": [[0, 1, 2, 3]] * 4, "parent": [0, 1, 2, 3]}


@pytest.mark.parametrize("work", ["jobs", "loads and closes"])
def test_a_storm_of_ctrl_c_loses_no_job_and_close_closes_everything(run_case, work):
    code = r"""
work = %r
runtime = kiv.Runtime()
model = runtime.load(path)
main = threading.main_thread().ident
armed = False
def interrupt(signum, frame):  # Ctrl-C inside submit and run only, never in this loop's own lines
    if armed:
        raise KeyboardInterrupt
signal.signal(signal.SIGINT, interrupt)
def storm():
    for _ in range(10000):
        signal.pthread_kill(main, signal.SIGINT)
        time.sleep(0.0002)
stormer = threading.Thread(target=storm)
stormer.start()
futures, interrupted = [], 0
while stormer.is_alive():
    try:
        armed = True
        if work == "jobs":
            futures.append(model.submit(x))
            model.run(x)
        else:
            runtime.load(path).close()
        armed = False
    except KeyboardInterrupt:
        armed = False
        interrupted += 1
stormer.join()
outputs = [f.result(timeout=10)[0].tolist() for f in futures]
runtime.close()
deadline = time.monotonic() + 10
while driver.open_context_count() and time.monotonic() < deadline:
    time.sleep(0.01)
print(json.dumps({"interrupted": interrupted > 100, "outputs": all(o == [0, 1, 2, 3] for o in outputs),
                  "model closed": model.closed, "contexts": driver.open_context_count()}))
""" % work
    (seen,), _ = run_case(code)
    assert seen == {"interrupted": True, "outputs": True, "model closed": True, "contexts": 0}


def test_a_load_racing_close_never_returns_an_open_model_of_a_closed_runtime(run_case):
    code = r"""
sys.setswitchinterval(1e-6)
returned_open = refused = 0
for _ in range(100):
    runtime = kiv.Runtime()
    other = runtime.load(path)  # a model whose close takes a while, between close()'s steps
    other.run(x)
    loaded = []
    def load():
        try:
            loaded.append(runtime.load(path))
        except ValueError:
            loaded.append(None)
    loader = threading.Thread(target=load)
    loader.start()
    runtime.close()
    loader.join()
    returned_open += loaded[0] is not None and not loaded[0].closed
    del loaded, other
gc.collect()
print(json.dumps({"returned open": returned_open, "contexts": driver.open_context_count()}))
"""
    (seen,), _ = run_case(code)
    assert seen == {"returned open": 0, "contexts": 0}


def test_threads_opening_one_libkiv_object_leave_it_one_context(run_case):
    code = r"""
npu = libkiv.NPU()
npu.kiv_init_context()
for _ in range(50):
    openers = [threading.Thread(target=npu.kiv_init_context) for _ in range(3)]
    for opener in openers:
        opener.start()
    for opener in openers:
        opener.join()
open_before_deinit = driver.open_context_count()
npu.kiv_deinit_context()
print(json.dumps({"open": open_before_deinit, "after deinit": driver.open_context_count()}))
"""
    (seen,), _ = run_case(code)
    assert seen == {"open": 1, "after deinit": 0}


def test_the_exit_does_not_wait_for_a_driver_that_hangs_in_its_close(run_case):
    code = r"""
driver.set_completion_fault(driver.COMPLETION_LATE)  # completions held back, for good
driver.set_close_waits_for_completions(True)  # and the driver's close waits for them
model = kiv.Runtime().load(path)
future = model.submit(x)
print(json.dumps("exiting"))
"""
    seen, result = run_case(code)
    assert seen == ["exiting"]
    assert result.stderr.strip().splitlines()[-1] == (
        "kiv: the driver did not close 1 context within 2 s at exit; left to the end of the process"
    )


def test_a_context_is_not_freed_under_a_wait_that_uses_it(run_case):
    """A wait uses the context handle without the interpreter lock; closing
    the context waits for it before the runtime frees the handle (under
    AddressSanitizer, scripts/test_python_asan.sh, a use after the free is
    reported). One CPU, so that the threads take turns inside the calls."""
    code = r"""
os.sched_setaffinity(0, {min(os.sched_getaffinity(0))})
sys.setswitchinterval(1e-6)
npu = libkiv.NPU()
waiting = True
def wait_on_a_bad_job():
    while waiting:
        kiv._native.run(npu, 0xBAD, 0)
waiter = threading.Thread(target=wait_on_a_bad_job)
waiter.start()
for _ in range(2000):
    npu.kiv_init_context()
    npu.kiv_deinit_context()
waiting = False
waiter.join()
print(json.dumps({"contexts": driver.open_context_count()}))
"""
    (seen,), _ = run_case(code)
    assert seen == {"contexts": 0}


def test_an_npu_closing_on_another_thread_holds_the_exit_until_it_is_done(run_case):
    """A thread that drops an NPU closes its context without the interpreter
    lock; the interpreter's exit must wait for it, or the thread, taking the
    lock back while the interpreter finalizes, is ended inside a destructor
    and the process aborts. The finalization is made long (many objects)."""
    code = r"""
objects = [object() for _ in range(5_000_000)]
closing = threading.Event()
def drop_a_busy_npu():
    npu = libkiv.NPU()
    npu.kiv_init_context()
    _, graph_id = npu.kiv_load_graph(path)
    _, job_id = npu.kiv_create_job(graph_id)
    npu.kiv_load_tensor(job_id, 0, x)
    npu.kiv_job_infer_async(job_id, None)  # its close waits for the job, 400 ms
    closing.set()
    del npu
threading.Thread(target=drop_a_busy_npu, daemon=True).start()
closing.wait(10)
print(json.dumps("exiting"))
"""
    seen, result = run_case(code, wait_ms=400)
    assert seen == ["exiting"] and "terminate" not in result.stderr


def test_a_submit_refused_by_a_close_returns_its_job(run_case):
    """A close that comes between the submit's start and its hand-over (made
    certain here by closing from inside it) refuses the submit, and the job
    it prepared goes back to the driver."""
    code = r"""
runtime = kiv.Runtime()
model = runtime.load(path)
prepared = []
prepare = model._prepare
def prepare_then_close(arrays, use):
    prepared.append(prepare(arrays, use))
    model.close()
    return prepared[-1]
model._prepare = prepare_then_close
driver.reset_calls()
try:
    model.submit(x)
    refused = False
except ValueError as err:
    refused = str(err) == "model %r is closed" % path
cleaned = driver.last_call("aipu_clean_job")
print(json.dumps({"refused": refused, "cleaned": cleaned is not None and cleaned["job_id"] == prepared[0],
                  "unloaded": driver.last_call("aipu_unload_graph") is not None}))
runtime.close()
"""
    (seen,), _ = run_case(code)
    assert seen == {"refused": True, "cleaned": True, "unloaded": True}


def test_nothing_of_a_closed_or_dropped_runtime_stays(run_case):
    code = r"""
import weakref
threads = threading.active_count()
contexts = []
for end in ("close", "drop") * 20:
    runtime = kiv.Runtime()
    with runtime.load(path) as model:
        model.submit(x).result(timeout=10)
    contexts.append(weakref.ref(runtime._context))
    if end == "close":
        runtime.close()
    del runtime, model
deadline = time.monotonic() + 10
while (any(c() for c in contexts) or threading.active_count() != threads) and time.monotonic() < deadline:
    gc.collect()
    time.sleep(0.01)
print(json.dumps({"contexts kept": sum(c() is not None for c in contexts),
                  "threads": threading.active_count() - threads, "open": driver.open_context_count()}))
"""
    (seen,), _ = run_case(code)
    assert seen == {"contexts kept": 0, "threads": 0, "open": 0}


FORKED_CHILD = r"""
def outcome_of_child(pid):
    deadline = time.monotonic() + 20
    while (waited := os.waitpid(pid, os.WNOHANG))[0] == 0 and time.monotonic() < deadline:
        time.sleep(0.01)
    if waited[0] == 0:
        os.kill(pid, signal.SIGKILL)
        os.waitpid(pid, 0)
        return "hung"
    return os.waitstatus_to_exitcode(waited[1])
"""


@pytest.mark.parametrize("held", ["the open contexts' lock", "the runtime's lock", "the job pool's lock"])
def test_a_fork_while_a_kiv_lock_is_held_leaves_the_child_free(run_case, held):
    """Another thread of the parent holds one of kiv's locks at the fork: the
    child still exits, closes the parent's runtime (which does nothing),
    refuses the parent's model, and opens a runtime of its own."""
    code = FORKED_CHILD + r"""
runtime = kiv.Runtime()
model = runtime.load(path)
lock = {"the open contexts' lock": kiv.context._open, "the runtime's lock": runtime,
        "the job pool's lock": model._pool}[%r]._lock
taken, done = threading.Event(), threading.Event()
def hold():
    with lock:
        taken.set()
        done.wait(30)
holder = threading.Thread(target=hold)
holder.start()
taken.wait(10)
pid = os.fork()
if pid == 0:
    runtime.close()
    try:
        model.map([x])
        refused = False
    except kiv.KivError:
        refused = True
    with kiv.Runtime() as own, own.load(path) as mine:
        same = mine.run(x)[0].tolist() == [0, 1, 2, 3]
    sys.exit(0 if refused and same else 1)
done.set()
holder.join()
print(json.dumps({"child": outcome_of_child(pid)}))
runtime.close()
""" % held
    (seen,), _ = run_case(code)
    assert seen == {"child": 0}


@pytest.mark.parametrize("then, status", [("pass", 0), ("sys.exit(3)", 3), ("own_runtime()", 0)])
def test_a_child_forked_in_a_done_callback_exits(run_case, then, status):
    code = FORKED_CHILD + r"""
def own_runtime():
    with kiv.Runtime() as own, own.load(path) as mine:
        print(json.dumps({"own": mine.run(x)[0].tolist()}), flush=True)
children = []
def fork_and(_):
    pid = os.fork()
    if pid == 0:
        %s
    else:
        children.append(pid)
with kiv.Runtime() as runtime, runtime.load(path) as model:
    future = model.submit(x)
    future.add_done_callback(fork_and)
    future.result(timeout=10)
    deadline = time.monotonic() + 10
    while not children and time.monotonic() < deadline:
        time.sleep(0.01)
    print(json.dumps({"child": outcome_of_child(children[0]), "parent": model.run(x)[0].tolist()}))
""" % then
    seen, _ = run_case(code, wait_ms=50)
    assert seen[-1] == {"child": status, "parent": [0, 1, 2, 3]}
    if then == "own_runtime()":
        assert seen[0] == {"own": [0, 1, 2, 3]}
