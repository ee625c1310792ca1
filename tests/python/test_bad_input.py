"""Bad input from Python, tried systematically: wrong types and out-of-range
values for every method and record property, undersized and read-only
buffers, ids never issued, calls before kiv_init_context and after
kiv_deinit_context, and files that are directories, empty or missing.

Each must give its status and error line, or a Python exception, and leave
the object usable; none may crash the interpreter. docs/reliability.md has
the same cases as a table.
"""

import os

import numpy as np
import pytest

import libkiv
from helpers_models import ADD_BYTES, ADD_IO, add_program

S = libkiv
INPUT = S.KIV_TENSOR_TYPE_INPUT
OUTPUT = S.KIV_TENSOR_TYPE_OUTPUT
NEVER = 0x5EED_0000_0000  # an id no driver call has issued
U64_OVER = 2**64
I32_OVER = 2**31


@pytest.fixture
def model(tmp_path, make_model):
    return make_model(tmp_path, add_program(), ADD_IO)


@pytest.fixture
def graph(npu, model):
    status, graph_id = npu.kiv_load_graph(model)
    assert status == S.KIV_STATUS_SUCCESS
    yield graph_id
    npu.kiv_unload_graph(graph_id)


@pytest.fixture
def job(npu, graph):
    status, job_id = npu.kiv_create_job(graph)
    assert status == S.KIV_STATUS_SUCCESS
    yield job_id
    npu.kiv_clean_job(job_id)


def still_works(npu, graph):
    """The object answers a good call after a refused one."""
    status, count = npu.kiv_get_tensor_count(graph, INPUT)
    assert (status, count) == (S.KIV_STATUS_SUCCESS, 2)


# --- argument conversion: TypeError before the method runs ------------------------------------

# (method, arguments) with `G` and `J` standing for a live graph and job id.
G, J = object(), object()
TYPE_ERRORS = [
    ("kiv_load_graph", (5,)),
    ("kiv_load_graph", (None,)),
    ("kiv_load_graph", (b"bytes path", None, 1)),
    ("kiv_unload_graph", (-1,)),
    ("kiv_unload_graph", (U64_OVER,)),
    ("kiv_unload_graph", (1.5,)),
    ("kiv_unload_graph", ("1",)),
    ("kiv_create_job", (-1,)),
    ("kiv_create_job", (None,)),
    ("kiv_config_job", (J, -1, S.job_config_dump_t())),
    ("kiv_config_job", (J, U64_OVER, S.job_config_dump_t())),
    ("kiv_job_infer_sync", (J, I32_OVER)),
    ("kiv_job_infer_sync", (J, -(2**31) - 1)),
    ("kiv_job_infer_sync", (U64_OVER,)),
    ("kiv_job_infer_async", (J, 5)),
    ("kiv_job_infer_async", (J, "not callable")),
    ("kiv_get_job_status", (J, I32_OVER)),
    ("kiv_clean_job", (-5,)),
    ("kiv_get_tensor_count", (G, 0)),
    ("kiv_get_tensor_count", (G, 99)),
    ("kiv_get_tensor_count", (G, None)),
    ("kiv_get_tensor_descriptor", (G, INPUT, -1)),
    ("kiv_get_tensor_descriptor", (G, INPUT, 2**32)),
    ("kiv_get_tensor_shape", ("m.zor", INPUT, 2**32)),
    ("kiv_get_tensor_shape", ("m.zor", 1, 0)),
    ("kiv_get_tensor_shape", (None, INPUT, 0)),
    ("kiv_load_tensor", (J, -1, b"")),
    ("kiv_load_tensor_from_file", (J, 0, None)),
    ("kiv_load_tensor_from_file", (J, 0, 7)),
    ("kiv_get_tensor", (J, 1, 0)),
    ("kiv_get_tensor", (J, OUTPUT, -1)),
    ("kiv_get_error_message", (-1,)),
    ("kiv_get_error_message", (U64_OVER,)),
    ("kiv_get_error_message", ("0",)),
    ("kiv_ioctl", (77, S.KIV_IOCTL_GET_VERSION)),
    ("kiv_ioctl", (S.npu, -1)),
    ("kiv_ioctl", (S.npu, S.KIV_IOCTL_WRITE_DMABUF, {"fd": 0, "offset": 0, "size": 4}, None)),
    ("kiv_ioctl", (S.npu, S.KIV_IOCTL_WRITE_DMABUF, {"fd": 0, "offset": 0, "size": 4}, 1234)),
    ("kiv_create_batch_queue", (-1,)),
    ("kiv_clean_batch_queue", (G, 2**32)),
    ("kiv_config_batch_dump", (G, -1, 0, S.job_config_dump_t())),
    ("kiv_add_batch", (G, 1, 5, 6)),
    ("kiv_add_batch", (G, 1, [b""], None)),
    ("kiv_finish_batch", (G, -1)),
]


@pytest.mark.parametrize("method,args", TYPE_ERRORS, ids=[f"{m}-{i}" for i, (m, _) in enumerate(TYPE_ERRORS)])
def test_wrong_argument_types_raise_type_error(npu, graph, job, standin, method, args, capfd):
    args = tuple(graph if a is G else job if a is J else a for a in args)
    standin.aipu_standin_reset_calls()
    with pytest.raises(TypeError):
        getattr(npu, method)(*args)
    # Refused before any driver call and without an error line.
    assert capfd.readouterr().err == ""
    still_works(npu, graph)


WRONG_RECORDS = [
    ("kiv_load_graph", lambda m, g, j: (m, 5)),
    ("kiv_load_graph", lambda m, g, j: (m, S.kiv_create_job_cfg_t())),
    ("kiv_create_job", lambda m, g, j: (g, S.kiv_load_graph_cfg_t())),
    ("kiv_create_job", lambda m, g, j: (g, "cfg")),
    ("kiv_config_job", lambda m, g, j: (j, 0, None)),
    ("kiv_config_job", lambda m, g, j: (j, S.KIV_CONFIG_TYPE_SIMULATION, S.job_config_simulation_t())),
    ("kiv_config_batch_dump", lambda m, g, j: (g, 1, 0, {"dump_dir": "/tmp"})),
    ("kiv_finish_batch", lambda m, g, j: (g, 1, S.job_config_dump_t())),
]


@pytest.mark.parametrize("method,make_args", WRONG_RECORDS, ids=[m for m, _ in WRONG_RECORDS])
def test_configuration_objects_of_the_wrong_class_raise(npu, model, graph, job, standin, method, make_args):
    standin.aipu_standin_reset_calls()
    entry = {"kiv_load_graph": "aipu_load_graph_helper", "kiv_create_job": "aipu_create_job",
             "kiv_config_job": "aipu_config_job", "kiv_config_batch_dump": "aipu_config_batch_dump",
             "kiv_finish_batch": "aipu_finish_batch"}[method]
    with pytest.raises((RuntimeError, TypeError)):
        getattr(npu, method)(*make_args(model, graph, job))
    assert standin.last_call(entry) is None
    still_works(npu, graph)


RECORD_PROPERTIES = [
    (S.kiv_load_graph_cfg_t, "wt_mem_region", [-1, 2**32, "x", None]),
    (S.kiv_load_graph_cfg_t, "wt_idxes", [5, ["a"], [2**40], None]),
    (S.kiv_load_graph_cfg_t, "extra_weight_path", [5, None, ["p"]]),
    (S.kiv_create_job_cfg_t, "partition_id", [-1, 2**32, 1.5]),
    (S.kiv_create_job_cfg_t, "qos_level", [-1, 2**32, "high"]),
    (S.kiv_create_job_cfg_t, "fm_idxes", [3, [None], [2**40]]),
    (S.kiv_create_job_cfg_t, "dynshape", [[[1, "a"]], 7, [[2**40]], [[-1]]]),
    (S.job_config_dump_t, "dump_dir", [3, None, [b"x"]]),
    (S.tensor_desc_t, "size", [-1, 2**32, "big"]),
    (S.tensor_desc_t, "scale", ["x", None]),
    (S.tensor_desc_t, "data_type", [3, "KIV_DATA_TYPE_U8"]),
    (S.aipu_global_config_simulation_t, "gm_size", [-1, 2**32]),
    (S.aipu_global_config_simulation_t, "ddr_bw_ratio", ["fast"]),
    (S.aipu_global_config_hw_t, "poll_in_commit_thread", ["yes", [True]]),
]


@pytest.mark.parametrize(
    "record,name,values", RECORD_PROPERTIES, ids=[f"{r.__name__}.{n}" for r, n, _ in RECORD_PROPERTIES]
)
def test_record_properties_refuse_wrong_values_and_keep_the_old_one(record, name, values):
    obj = record()
    before = getattr(obj, name)
    # dynshape converts its elements itself: a cast failure there is a RuntimeError.
    expected = (TypeError, RuntimeError) if name == "dynshape" else TypeError
    for value in values:
        with pytest.raises(expected):
            setattr(obj, name, value)
        assert getattr(obj, name) == before


def test_dynshape_items_that_are_not_lists_are_skipped_with_a_line(capfd):
    cfg = S.kiv_create_job_cfg_t()
    cfg.dynshape = [[1, 3], 5, [2]]
    assert cfg.dynshape == [[1, 3], [2]]
    assert capfd.readouterr().err == "please provide list nest for dynamic input shape, even if there is only 1 input"


def test_text_properties_refuse_embedded_nul_or_keep_it_whole():
    """A NUL inside a path would silently cut the text handed to the driver."""
    cfg = S.job_config_dump_t()
    try:
        cfg.dump_dir = "/tmp/a\0b"
    except (ValueError, TypeError):
        return
    assert cfg.dump_dir == "/tmp/a\0b"


# --- ids never issued --------------------------------------------------------------------------

NEVER_ISSUED = [
    ("kiv_unload_graph", lambda g, j: (NEVER,), S.KIV_STATUS_ERROR_INVALID_GRAPH_ID, None),
    ("kiv_create_job", lambda g, j: (NEVER,), S.KIV_STATUS_ERROR_INVALID_GRAPH_ID, 0),
    ("kiv_config_job", lambda g, j: (NEVER, 0, S.job_config_dump_t()), S.KIV_STATUS_ERROR_INVALID_JOB_ID, None),
    ("kiv_job_infer_sync", lambda g, j: (NEVER,), S.KIV_STATUS_ERROR_INVALID_JOB_ID, None),
    ("kiv_job_infer_async", lambda g, j: (NEVER, lambda *a: 0), S.KIV_STATUS_ERROR_INVALID_JOB_ID, None),
    ("kiv_get_job_status", lambda g, j: (NEVER, 0), S.KIV_STATUS_ERROR_INVALID_JOB_ID, S.KIV_JOB_STATUS_NO_STATUS),
    ("kiv_clean_job", lambda g, j: (NEVER,), S.KIV_STATUS_ERROR_INVALID_JOB_ID, None),
    ("kiv_get_tensor_count", lambda g, j: (NEVER, INPUT), S.KIV_STATUS_ERROR_INVALID_GRAPH_ID, 0),
    ("kiv_load_tensor", lambda g, j: (NEVER, 0, bytes(ADD_BYTES)), None, None),
    ("kiv_load_tensor", lambda g, j: (j, 7, bytes(ADD_BYTES)), S.KIV_STATUS_ERROR_INVALID_TENSOR_ID, None),
    ("kiv_get_tensor", lambda g, j: (NEVER, OUTPUT, 0), None, None),
    ("kiv_get_tensor", lambda g, j: (j, OUTPUT, 7), S.KIV_STATUS_ERROR_INVALID_TENSOR_ID, None),
    ("kiv_create_batch_queue", lambda g, j: (NEVER,), S.KIV_STATUS_ERROR_INVALID_GRAPH_ID, 0),
    ("kiv_clean_batch_queue", lambda g, j: (g, 4242), S.KIV_STATUS_ERROR_NO_BATCH_QUEUE, None),
    ("kiv_finish_batch", lambda g, j: (g, 4242), S.KIV_STATUS_ERROR_NO_BATCH_QUEUE, None),
    ("kiv_add_batch", lambda g, j: (g, 4242, [bytes(ADD_BYTES)] * 2, [bytearray(ADD_BYTES)]),
     S.KIV_STATUS_ERROR_NO_BATCH_QUEUE, None),
]


@pytest.mark.parametrize(
    "method,make_args,expected,second", NEVER_ISSUED, ids=[f"{m}-{i}" for i, (m, *_) in enumerate(NEVER_ISSUED)]
)
def test_ids_never_issued_give_a_status_and_one_error_line(npu, graph, job, method, make_args, expected, second,
                                                           capfd):
    capfd.readouterr()
    result = getattr(npu, method)(*make_args(graph, job))
    status = result[0] if isinstance(result, tuple) else result
    assert status != S.KIV_STATUS_SUCCESS
    if expected is not None:
        assert status == expected
    if isinstance(result, tuple):
        assert result[1] == second
    lines = capfd.readouterr().err.splitlines()
    assert len(lines) == 1 and lines[0].startswith("[PY UMD ERROR] kiv_"), lines
    still_works(npu, graph)


def test_descriptor_of_a_missing_tensor_is_all_zero(npu, graph, capfd):
    desc = npu.kiv_get_tensor_descriptor(graph, OUTPUT, 5)
    assert (desc.id, desc.size, desc.scale, desc.zero_point) == (0, 0, 0.0, 0)
    assert desc.data_type == S.KIV_DATA_TYPE_NONE
    assert capfd.readouterr().err.startswith("[PY UMD ERROR] kiv_get_tensor_descriptor: ")


def test_unknown_ioctl_command_and_unknown_buffers(npu, graph, capfd):
    result = npu.kiv_ioctl(S.npu, 12345)
    assert result[0] == S.KIV_STATUS_ERROR_INVALID_OP
    result = npu.kiv_ioctl(S.npu, S.KIV_IOCTL_FREE_SHARE_BUF, pa=0x1234, size=64)
    assert result[0] != S.KIV_STATUS_SUCCESS
    capfd.readouterr()
    still_works(npu, graph)


# --- buffers -----------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "data",
    [b"", b"123", bytearray(ADD_BYTES - 1), np.zeros(ADD_BYTES // 4 - 1, np.float32), np.zeros((0, 8), np.float32)],
    ids=["empty-bytes", "3-bytes", "short-bytearray", "short-numpy", "empty-numpy"],
)
def test_undersized_inputs_are_refused_before_the_driver(npu, job, standin, data, capfd):
    standin.aipu_standin_reset_calls()
    assert npu.kiv_load_tensor(job, 0, data) == S.KIV_STATUS_ERROR_INVALID_SIZE
    assert standin.last_call("aipu_load_tensor") is None
    assert capfd.readouterr().err == (
        f"[PY UMD ERROR] kiv_load_tensor: input is {len(bytes(data))} bytes, tensor 0 needs {ADD_BYTES}\n"
    )


@pytest.mark.parametrize("data", [5, "text", None, memoryview(bytes(ADD_BYTES)), [0.0] * 8],
                         ids=["int", "str", "None", "memoryview", "list"])
def test_unsupported_input_objects_get_status_14(npu, job, data, capfd):
    assert npu.kiv_load_tensor(job, 0, data) == S.KIV_STATUS_ERROR_READ_FILE_FAIL
    assert "only supports" in capfd.readouterr().err


def test_read_only_inputs_are_fine_and_read_only_outputs_refused(npu, graph, job, standin, capfd):
    frozen = np.frombuffer(bytes(ADD_BYTES), np.float32)
    assert not frozen.flags.writeable
    assert npu.kiv_load_tensor(job, 0, frozen) == S.KIV_STATUS_SUCCESS
    status, queue = npu.kiv_create_batch_queue(graph)
    assert status == S.KIV_STATUS_SUCCESS
    try:
        standin.aipu_standin_reset_calls()
        ro_out = np.zeros(ADD_BYTES // 4, np.float32)
        ro_out.flags.writeable = False
        assert npu.kiv_add_batch(graph, queue, [frozen, frozen], [ro_out]) != S.KIV_STATUS_SUCCESS
        assert npu.kiv_add_batch(graph, queue, [frozen, frozen], [bytes(ADD_BYTES)]) != S.KIV_STATUS_SUCCESS
        assert npu.kiv_add_batch(graph, queue, [frozen, frozen], [bytearray(ADD_BYTES - 1)]) \
            == S.KIV_STATUS_ERROR_INVALID_SIZE
        assert npu.kiv_add_batch(graph, queue, [frozen], [bytearray(ADD_BYTES)]) != S.KIV_STATUS_SUCCESS
        assert standin.last_call("aipu_add_batch") is None
        assert capfd.readouterr().err.count("[PY UMD ERROR] kiv_add_batch") == 4
    finally:
        npu.kiv_clean_batch_queue(graph, queue)


def test_ioctl_data_longer_than_given_is_refused(npu, capfd):
    status = npu.kiv_ioctl(S.npu, S.KIV_IOCTL_WRITE_DMABUF, {"fd": 0, "offset": 0, "size": 400}, b"12")
    assert status == S.KIV_STATUS_ERROR_INVALID_SIZE
    assert capfd.readouterr().err.startswith("[PY UMD ERROR] kiv_ioctl")


# --- files -------------------------------------------------------------------------------------


@pytest.fixture
def bad_files(tmp_path):
    empty = tmp_path / "empty.zor"
    empty.write_bytes(b"")
    junk = tmp_path / "junk.zor"
    junk.write_bytes(b"\xff" * 64)
    return {"directory": str(tmp_path), "empty": str(empty), "junk": str(junk), "missing": str(tmp_path / "no")}


# The runtime's own codes 64..69 have no Python name.
INVALID_HANDLE = 64
INTERNAL = 69
FILE_STATUSES = {
    "directory": S.KIV_STATUS_ERROR_OPEN_FILE_FAIL,
    "missing": S.KIV_STATUS_ERROR_OPEN_FILE_FAIL,
    "empty": INTERNAL,  # read, but not a container
    "junk": INTERNAL,
}


@pytest.mark.parametrize("kind", sorted(FILE_STATUSES))
def test_bad_container_files(npu, bad_files, kind, capfd):
    path = bad_files[kind]
    status, graph_id = npu.kiv_load_graph(path)
    assert int(status) == int(FILE_STATUSES[kind]) and graph_id == 2**64 - 1
    assert "[PY UMD ERROR] kiv_load_graph: " in capfd.readouterr().err
    status, name, shape = npu.kiv_get_tensor_shape(path, INPUT, 0)
    assert int(status) == int(FILE_STATUSES[kind]) and (name, shape) == ("", [])


@pytest.mark.parametrize("kind", ["directory", "empty", "missing"])
def test_bad_tensor_files(npu, job, standin, bad_files, kind, capfd):
    standin.aipu_standin_reset_calls()
    status = npu.kiv_load_tensor_from_file(job, 0, bad_files[kind])
    assert status != S.KIV_STATUS_SUCCESS
    assert standin.last_call("aipu_load_tensor") is None
    assert capfd.readouterr().err.startswith("[PY UMD ERROR] ")


def test_short_tensor_file_is_refused_with_both_sizes(npu, job, tmp_path, capfd):
    short = tmp_path / "short.bin"
    short.write_bytes(bytes(ADD_BYTES - 1))
    assert npu.kiv_load_tensor_from_file(job, 0, str(short)) == S.KIV_STATUS_ERROR_INVALID_SIZE
    err = capfd.readouterr().err
    assert str(short) in err and str(ADD_BYTES - 1) in err and str(ADD_BYTES) in err


# --- lifecycle: before init, after deinit ------------------------------------------------------


def every_context_call(npu, model):
    """One call of every context-taking method with plausible arguments."""
    cfg = S.job_config_dump_t()
    return [
        ("kiv_load_graph", lambda: npu.kiv_load_graph(model)),
        ("kiv_unload_graph", lambda: npu.kiv_unload_graph(1)),
        ("kiv_create_job", lambda: npu.kiv_create_job(1)),
        ("kiv_config_job", lambda: npu.kiv_config_job(1, 0, cfg)),
        ("kiv_job_infer_sync", lambda: npu.kiv_job_infer_sync(1)),
        ("kiv_job_infer_async", lambda: npu.kiv_job_infer_async(1, lambda *a: 0)),
        ("kiv_get_job_status", lambda: npu.kiv_get_job_status(1, 0)),
        ("kiv_clean_job", lambda: npu.kiv_clean_job(1)),
        ("kiv_get_tensor_count", lambda: npu.kiv_get_tensor_count(1, INPUT)),
        ("kiv_load_tensor", lambda: npu.kiv_load_tensor(1, 0, bytes(ADD_BYTES))),
        ("kiv_load_tensor_from_file", lambda: npu.kiv_load_tensor_from_file(1, 0, model)),
        ("kiv_get_tensor", lambda: npu.kiv_get_tensor(1, OUTPUT, 0)),
        ("kiv_ioctl", lambda: npu.kiv_ioctl(S.npu, S.KIV_IOCTL_GET_VERSION)),
        ("kiv_create_batch_queue", lambda: npu.kiv_create_batch_queue(1)),
        ("kiv_clean_batch_queue", lambda: npu.kiv_clean_batch_queue(1, 1)),
        ("kiv_config_batch_dump", lambda: npu.kiv_config_batch_dump(1, 1, 0, cfg)),
        ("kiv_add_batch", lambda: npu.kiv_add_batch(1, 1, [bytes(ADD_BYTES)] * 2, [bytearray(ADD_BYTES)])),
        ("kiv_finish_batch", lambda: npu.kiv_finish_batch(1, 1)),
    ]


def check_refused_without_context(npu, model, standin, capfd):
    standin.aipu_standin_reset_calls()
    for name, call in every_context_call(npu, model):
        capfd.readouterr()
        result = call()
        status = result[0] if isinstance(result, tuple) else result
        assert int(status) == INVALID_HANDLE, (name, status)
    # Nothing reached the driver: the handle was never handed over.
    for entry in ("aipu_load_graph_helper", "aipu_create_job", "aipu_finish_job", "aipu_flush_job",
                  "aipu_load_tensor", "aipu_ioctl", "aipu_add_batch"):
        assert standin.last_call(entry) is None, entry
    with pytest.raises(RuntimeError, match="basic_string"):
        npu.kiv_get_error_message(0)


def test_calls_before_init_context(model, standin, capfd):
    check_refused_without_context(S.NPU(), model, standin, capfd)


def test_calls_after_deinit_context(model, standin, capfd):
    npu = S.NPU()
    assert npu.kiv_init_context() == S.KIV_STATUS_SUCCESS
    assert npu.kiv_deinit_context() == S.KIV_STATUS_SUCCESS
    check_refused_without_context(npu, model, standin, capfd)
    assert int(npu.kiv_deinit_context()) == INVALID_HANDLE  # a second deinit
    assert npu.kiv_init_context() == S.KIV_STATUS_SUCCESS  # the object can start again
    assert npu.kiv_deinit_context() == S.KIV_STATUS_SUCCESS


# --- callbacks at the edges: run in a child interpreter, whose exit status is the verdict ------

CHILD_PROLOGUE = r"""
import os, subprocess, sys, tempfile, threading, time
import libkiv
from kiv.standin import ProgramBuilder
b = ProgramBuilder()
x = b.input([4], "float32")
y = b.output([4], "float32")
b.copy(y, x)
d = tempfile.mkdtemp()
open(d + "/p.bin", "wb").write(b.build())
subprocess.run([os.environ["KIV_BUILD_DIR"] + "/tools/zor/zor", "pack", "--bin", d + "/p.bin", "-o", d + "/m.zor"],
               check=True, capture_output=True)
n = libkiv.NPU()
assert n.kiv_init_context() == 0
st, g = n.kiv_load_graph(d + "/m.zor")
assert st == 0

def run_async(callback, wait=None):
    st, j = n.kiv_create_job(g)
    assert st == 0 and n.kiv_load_tensor(j, 0, bytes(16)) == 0
    assert n.kiv_job_infer_async(j, callback) == 0
    if wait is not None:
        assert wait.wait(120)
        assert n.kiv_clean_job(j) == 0
"""


@pytest.mark.parametrize(
    "entry", ["aipu_init_context", "aipu_deinit_context", "aipu_finish_job", "aipu_add_batch", "aipu_specify_iobuf"]
)
def test_driver_lacking_an_entry_point_is_refused(run_python, build_dir, entry):
    """Whichever entry point a driver library lacks, opening a context fails
    with the load status and the name in the log; nothing crashes later."""
    library = os.path.join(build_dir, "testlibs", "libaipudrv_without_%s.so" % entry)
    result = run_python(
        "import libkiv\n"
        "n = libkiv.NPU()\n"
        "print(int(n.kiv_init_context()))\n"
        "print(int(n.kiv_job_infer_sync(1)), int(n.kiv_add_batch(1, 0, [], [])))\n",
        env={"AIPU_LIB_PATH": library},
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["66", "64", "64"]
    assert "load_aipu_library: Failed to load symbols: " in result.stderr
    assert "undefined symbol: %s\n" % entry in result.stderr


def test_failing_callbacks_go_to_the_unraisable_hook(run_python):
    """A callback that raises or returns no 32-bit int is reported through
    the unraisable hook; the jobs complete and the process exits cleanly."""
    code = CHILD_PROLOGUE + r"""
seen = []
done = threading.Event()
sys.unraisablehook = lambda u: (seen.append(type(u.exc_value).__name__), done.set())
for cb in (lambda j, s: 1 / 0, lambda j, s: "not an int", lambda j, s: 2**40):
    done.clear()
    run_async(cb, done)
print(",".join(seen))
assert n.kiv_deinit_context() == 0
"""
    # The hook runs inside the callback, so the main thread may reach exit
    # while the driver thread still releases the callable: repeated to catch it.
    for _ in range(5):
        result = run_python(code)
        assert result.returncode == 0, result.stderr
        assert result.stdout.split() == ["ZeroDivisionError,TypeError,TypeError"]


def test_completion_during_interpreter_exit_does_not_abort(run_python):
    """A job completing while the interpreter finalizes must not touch
    Python: a driver thread that takes the GIL then is ended by the
    interpreter, which aborted the process from the driver's frames."""
    code = CHILD_PROLOGUE + r"""
warm = threading.Event()
run_async(lambda j, s: warm.set() or 0, warm)

class StartsAJobAtTeardown:
    def __del__(self, sleep=time.sleep, run_async=run_async):
        run_async(lambda job_id, status: 0)
        sleep(0.5)  # the completion arrives while module teardown goes on

keeper = StartsAJobAtTeardown()
print("exiting")
"""
    result = run_python(code)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "exiting"
