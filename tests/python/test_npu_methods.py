"""NPU context, graph and job methods against the stand-in driver: results,
failure values, error lines, the records that reach the driver, callbacks."""

import struct
import sys
import threading
import time

import pytest
from kiv.standin import ProgramBuilder

import libkiv

NO_GRAPH = 18446744073709551615
INVALID_HANDLE = 64
WAIT = 60  # seconds; generous for a loaded machine
COMPLETION_LATE = 1  # the stand-in's completion fault: held back until changed


def copy_program(wait_ms=0):
    b = ProgramBuilder()
    src = b.input([4], "float32")
    dst = b.output([4], "float32")
    if wait_ms:
        b.wait_ms(wait_ms)
    b.copy(dst, src)
    return b


COPY_IO = {
    "name": "copy",
    "version": [1, 0, 0],
    "input_tensors": [{"name": "src", "shape": [4], "dtype": 11}],
    "output_tensors": [{"name": "dst", "shape": [4], "dtype": 11}],
}


@pytest.fixture
def model(tmp_path, make_model):
    return make_model(tmp_path, copy_program(), io=COPY_IO)


@pytest.fixture
def graph(npu, model):
    status, graph_id = npu.kiv_load_graph(model)
    assert status == 0
    yield graph_id
    npu.kiv_unload_graph(graph_id)


@pytest.fixture
def job(npu, graph):
    status, job_id = npu.kiv_create_job(graph)
    assert status == 0
    yield job_id
    npu.kiv_clean_job(job_id)


def error_lines(text):
    return [line for line in text.splitlines(keepends=True) if line.startswith("[PY UMD ERROR] ")]


def expect_one_line(capfd, npu, api, status):
    """The captured stderr holds exactly one error line, with the runtime's text for `status`."""
    lines = error_lines(capfd.readouterr().err)
    assert lines == [f"[PY UMD ERROR] {api}: {npu.kiv_get_error_message(status)}\n"]


class TestContext:
    def test_failed_init_prints_no_line_and_leaves_ctx_empty(self, standin, capfd):
        standin.aipu_standin_set_init_status(3)
        npu = libkiv.NPU()
        status = npu.kiv_init_context()
        assert status == libkiv.KIV_STATUS_ERROR_OPEN_DEV_FAIL
        assert isinstance(status, libkiv.kiv_status_t)
        assert error_lines(capfd.readouterr().err) == []
        standin.aipu_standin_set_init_status(0)
        # Nothing was stored: later calls see an invalid handle.
        status = npu.kiv_unload_graph(1)
        assert status == INVALID_HANDLE
        assert error_lines(capfd.readouterr().err) == ["[PY UMD ERROR] kiv_unload_graph: unknown status 64\n"]

    def test_unnamed_status_comes_back_as_kiv_status_t(self, capfd):
        status = libkiv.NPU().kiv_clean_job(1)
        assert type(status) is libkiv.kiv_status_t
        assert int(status) == INVALID_HANDLE
        assert error_lines(capfd.readouterr().err) == ["[PY UMD ERROR] kiv_clean_job: unknown status 64\n"]

    def test_deinit_forgets_the_handle(self, standin, model, capfd):
        npu = libkiv.NPU()
        assert npu.kiv_init_context() == 0
        opened = standin.aipu_standin_open_context_count()
        assert npu.kiv_deinit_context() == 0
        assert standin.aipu_standin_open_context_count() == opened - 1
        assert npu.kiv_deinit_context() == INVALID_HANDLE
        assert npu.kiv_load_graph(model) == (INVALID_HANDLE, NO_GRAPH)
        assert npu.kiv_create_job(1) == (INVALID_HANDLE, 0)
        err = capfd.readouterr().err
        assert error_lines(err) == [
            "[PY UMD ERROR] kiv_load_graph: unknown status 64\n",
            "[PY UMD ERROR] kiv_create_job: unknown status 64\n",
        ]
        with pytest.raises(RuntimeError, match="^basic_string: construction from null is not valid$"):
            npu.kiv_get_error_message(0)

    def test_deinit_clears_the_handle_even_when_it_fails(self, standin):
        npu = libkiv.NPU()
        assert npu.kiv_init_context() == 0
        standin.aipu_standin_set_deinit_status(5)
        assert npu.kiv_deinit_context() == 5
        standin.aipu_standin_set_deinit_status(0)
        assert npu.kiv_clean_job(1) == INVALID_HANDLE

    def test_no_driver_context_is_left_open(self, standin):
        """A second init closes the first context; an object dropped with its
        context open closes it."""
        base = standin.aipu_standin_open_context_count()
        npu = libkiv.NPU()
        assert npu.kiv_init_context() == 0
        assert npu.kiv_init_context() == 0
        assert standin.aipu_standin_open_context_count() == base + 1
        del npu
        assert standin.aipu_standin_open_context_count() == base

    def test_completions_after_the_object_is_gone_never_reach_python(self, standin, tmp_path, make_model):
        npu = libkiv.NPU()
        assert npu.kiv_init_context() == 0
        status, graph_id = npu.kiv_load_graph(make_model(tmp_path, copy_program()))
        status, job_id = npu.kiv_create_job(graph_id)
        assert status == 0 and npu.kiv_load_tensor(job_id, 0, bytes(16)) == 0
        calls = []
        standin.aipu_standin_set_completion_fault(COMPLETION_LATE)  # held back until the object is gone
        assert npu.kiv_job_infer_async(job_id, lambda j, s: calls.append(j) or 0) == 0
        assert npu.kiv_get_job_status(job_id, WAIT * 1000) == (0, libkiv.KIV_JOB_STATUS_DONE)
        del npu
        standin.aipu_standin_reset_calls()
        standin.aipu_standin_set_completion_fault(0)
        for _ in range(WAIT * 100):
            if standin.last_call("completion") is not None:
                break
            time.sleep(0.01)
        assert standin.last_call("completion") == {"job_id": job_id, "status": 1, "result": -1}
        assert calls == [], "a completion reached Python after its NPU object was gone"

    def test_a_completion_may_drop_its_own_npu(self, run_python, tmp_path, make_model):
        """An object that owns the NPU and clears itself when its job ends:
        the last reference goes inside the NPU's own completion."""
        path = make_model(tmp_path, copy_program())
        result = run_python(
            "import threading, libkiv\n"
            "npu = libkiv.NPU()\n"
            "assert npu.kiv_init_context() == 0\n"
            "status, graph = npu.kiv_load_graph(%r)\n"
            "status, job = npu.kiv_create_job(graph)\n"
            "assert npu.kiv_load_tensor(job, 0, bytes(16)) == 0\n"
            "owner, ended = {'npu': npu}, threading.Event()\n"
            "def drop_own_npu(job_id, status):\n"
            "    owner.clear()\n"
            "    ended.set()\n"
            "    return 0\n"
            "assert npu.kiv_job_infer_async(job, drop_own_npu) == 0\n"
            "del npu\n"
            "print('ended' if ended.wait(%d) else 'stuck')\n" % (path, WAIT),
            timeout=2 * WAIT,
        )
        assert (result.returncode, result.stdout) == (0, "ended\n"), result.stderr

    @pytest.mark.parametrize("close", ["kiv_deinit_context", "kiv_init_context"])
    def test_closing_a_context_lets_its_completions_run(self, run_python, tmp_path, make_model, close):
        """A driver that waits for its completion thread on close: the close
        releases the interpreter lock, which a pending Python completion
        needs; meanwhile the object's handle is already gone."""
        path = make_model(tmp_path, copy_program(wait_ms=2000))
        result = run_python(
            "import libkiv\n"
            "from kiv.standin import StandinControls\n"
            "StandinControls().set_close_waits_for_completions(True)\n"
            "npu = libkiv.NPU()\n"
            "assert npu.kiv_init_context() == 0\n"
            "status, graph = npu.kiv_load_graph(%r)\n"
            "status, job = npu.kiv_create_job(graph)\n"
            "assert npu.kiv_load_tensor(job, 0, bytes(16)) == 0\n"
            "seen = []\n"
            "def completion(job_id, status):\n"
            "    seen.append(int(npu.kiv_get_job_status(job_id)[0]))\n"
            "    return 0\n"
            "assert npu.kiv_job_infer_async(job, completion) == 0\n"
            "print(int(npu.%s()), seen)\n" % (path, close),
            timeout=2 * WAIT,
        )
        assert (result.returncode, result.stdout) == (0, "0 [%d]\n" % INVALID_HANDLE), result.stderr

    def test_error_message(self, npu):
        text = npu.kiv_get_error_message(libkiv.KIV_STATUS_SUCCESS)
        assert isinstance(text, str) and text
        assert npu.kiv_get_error_message(0) == text
        assert npu.kiv_get_error_message(libkiv.KIV_STATUS_ERROR_INVALID_GRAPH_ID) != text
        with pytest.raises(TypeError):
            npu.kiv_get_error_message(-1)


class TestGraph:
    def test_load_and_count(self, npu, graph, capfd):
        assert graph != NO_GRAPH
        assert npu.kiv_get_tensor_count(graph, libkiv.KIV_TENSOR_TYPE_INPUT) == (0, 1)
        assert npu.kiv_get_tensor_count(graph_id=graph, type=libkiv.KIV_TENSOR_TYPE_OUTPUT) == (0, 1)
        assert error_lines(capfd.readouterr().err) == []

    def test_missing_file(self, npu, tmp_path, capfd):
        status, graph_id = npu.kiv_load_graph(str(tmp_path / "missing.zor"))
        assert status != 0 and graph_id == NO_GRAPH
        expect_one_line(capfd, npu, "kiv_load_graph", status)

    def test_unload_and_count_failures(self, npu, capfd):
        status = npu.kiv_unload_graph(424242)
        assert status != 0
        expect_one_line(capfd, npu, "kiv_unload_graph", status)
        status, count = npu.kiv_get_tensor_count(424242, libkiv.KIV_TENSOR_TYPE_INPUT)
        assert status != 0 and count == 0
        expect_one_line(capfd, npu, "kiv_get_tensor_count", status)

    def test_load_without_configuration(self, npu, model, standin):
        status, graph_id = npu.kiv_load_graph(model)
        assert status == 0
        assert load_graph_raw(standin.last_call("aipu_load_graph_helper")) is None
        npu.kiv_unload_graph(graph_id)

    def test_default_configuration_is_all_zero(self, npu, model, standin):
        status, graph_id = npu.kiv_load_graph(model, libkiv.kiv_load_graph_cfg_t())
        assert status == 0
        assert load_graph_raw(standin.last_call("aipu_load_graph_helper")) == bytes(40)
        npu.kiv_unload_graph(graph_id)

    def test_configuration_record_bytes(self, npu, model, standin):
        cfg = libkiv.kiv_load_graph_cfg_t()
        cfg.wt_mem_region = 0x1A  # only the low 4 bits travel
        cfg.wt_idxes = [3, -2]
        cfg.extra_weight_path = "/tmp/extra_weights.bin"
        status, graph_id = npu.kiv_load_graph(graph_bin=model, cfg=cfg)
        # The record reaches the driver whole; the device has no region 10.
        assert status == libkiv.KIV_STATUS_ERROR_INVALID_CONFIG and graph_id == NO_GRAPH
        call = standin.last_call("aipu_load_graph_helper")
        raw = load_graph_raw(call)
        assert len(raw) == 40
        assert raw[0] == 0xA and raw[1:8] == bytes(7)
        assert struct.unpack_from("<Q", raw, 8)[0] != 0
        assert struct.unpack_from("<I", raw, 16)[0] == 2
        assert struct.unpack_from("<Q", raw, 24)[0] != 0
        assert raw[32:40] == bytes(8)
        assert call["config"]["wt_idxes"] == [3, -2]
        assert call["config"]["extra_weight_path"] == "/tmp/extra_weights.bin"
        assert cfg.wt_mem_region == 0x1A  # the object itself is not changed


def job_bits(partition=0, dispatch=0, core=0, qos=0, region=0):
    return partition | dispatch << 4 | core << 5 | qos << 8 | region << 12


class TestCreateJob:
    def test_without_configuration(self, npu, graph, standin):
        status, job_id = npu.kiv_create_job(graph)
        assert status == 0 and job_id != 0
        assert create_job_raw(standin.last_call("aipu_create_job")) is None
        assert npu.kiv_clean_job(job_id) == 0

    def test_option_word_keeps_the_low_bits(self, npu, graph, standin):
        cfg = libkiv.kiv_create_job_cfg_t()
        cfg.partition_id = 17
        cfg.dbg_dispatch = 2  # even: bit 4 must stay clear whatever partition_id holds
        cfg.dbg_core_id = 13
        cfg.qos_level = 0x12
        cfg.fm_mem_region = 0xF7
        status, job_id = npu.kiv_create_job(graph, cfg)
        # The record reaches the driver whole; the device has no partition 1.
        assert (status, job_id) == (libkiv.KIV_STATUS_ERROR_INVALID_PARTITION_ID, 0)
        raw = create_job_raw(standin.last_call("aipu_create_job"))
        assert len(raw) == 56
        assert struct.unpack_from("<H", raw, 0)[0] == job_bits(1, 0, 5, 2, 7)
        assert raw[2:] == bytes(54)  # no feature-map indexes, no dynamic shapes
        assert cfg.partition_id == 17

    def test_feature_map_indexes_and_dynamic_shapes(self, npu, graph, standin):
        cfg = libkiv.kiv_create_job_cfg_t()
        cfg.fm_idxes = [5, -1, 7]
        cfg.dynshape = [[2, 3, 224, 224], [7, 10]]
        status, job_id = npu.kiv_create_job(graph, cfg=cfg)
        # The record reaches the driver whole; the program has no feature map 5.
        assert (status, job_id) == (libkiv.KIV_STATUS_ERROR_INVALID_TENSOR_ID, 0)
        call = standin.last_call("aipu_create_job")
        raw = create_job_raw(call)
        assert struct.unpack_from("<H", raw, 0)[0] == 0 and raw[2:16] == bytes(14)
        assert struct.unpack_from("<Q", raw, 16)[0] != 0
        assert struct.unpack_from("<I", raw, 24)[0] == 3
        assert struct.unpack_from("<Q", raw, 32)[0] != 0
        assert raw[40:56] == bytes(16)
        assert call["config"]["fm_idxes"] == [5, -1, 7]
        assert call["config"]["dynshape_cnt"] == 2
        assert dynshape_items(call) == [(0, 2), (1, 7)]

    def test_failure(self, npu, capfd, standin):
        status, job_id = npu.kiv_create_job(424242, libkiv.kiv_create_job_cfg_t())
        assert status != 0 and job_id == 0
        expect_one_line(capfd, npu, "kiv_create_job", status)


class TestConfigJob:
    def test_dump_texts(self, npu, job, standin, tmp_path):
        types = int(libkiv.KIV_JOB_CONFIG_TYPE_DUMP_INPUT)
        npu.kiv_config_job(job, types, libkiv.job_config_dump_t())
        call = standin.last_call("aipu_config_job")
        assert call["types"] == types
        assert dump_texts(call) == [None, None, None, None]

        cfg = libkiv.job_config_dump_t()
        cfg.output_prefix = "out"
        cfg.misc_prefix = "misc"
        npu.kiv_config_job(job, types, cfg)
        assert dump_texts(standin.last_call("aipu_config_job")) == [None, None, None, None]

        cfg.dump_dir = str(tmp_path)
        npu.kiv_config_job(job_id=job, types=types, cfg=cfg)
        assert dump_texts(standin.last_call("aipu_config_job")) == [str(tmp_path), None, None, None]
        cfg.prefix = "pre"
        assert npu.kiv_config_job(job, types, cfg) == 0
        assert dump_texts(standin.last_call("aipu_config_job")) == [str(tmp_path), "pre", None, None]

    def test_failure(self, npu, capfd):
        status = npu.kiv_config_job(424242, 0, libkiv.job_config_dump_t())
        assert status != 0
        expect_one_line(capfd, npu, "kiv_config_job", status)


class TestRunJob:
    def test_sync_run_passes_the_timeout(self, npu, job, standin, capfd):
        assert npu.kiv_load_tensor(job, 0, bytes(16)) == 0
        assert npu.kiv_job_infer_sync(job) == 0
        assert standin.last_call("aipu_finish_job")["time_out"] == -1
        assert npu.kiv_get_job_status(job) == (0, libkiv.KIV_JOB_STATUS_DONE)
        assert standin.last_call("aipu_get_job_status")["time_out"] == -1
        status, job_status = npu.kiv_get_job_status(job, timeout=1000)
        assert type(job_status) is libkiv.kiv_job_status_t
        assert standin.last_call("aipu_get_job_status")["time_out"] == 1000
        assert error_lines(capfd.readouterr().err) == []

    def test_failures(self, npu, capfd):
        status = npu.kiv_job_infer_sync(424242, time_out=5)
        assert status != 0
        expect_one_line(capfd, npu, "kiv_job_infer_sync", status)
        status, job_status = npu.kiv_get_job_status(424242)
        assert status != 0 and job_status == libkiv.KIV_JOB_STATUS_NO_STATUS
        assert type(job_status) is libkiv.kiv_job_status_t
        expect_one_line(capfd, npu, "kiv_get_job_status", status)
        status = npu.kiv_clean_job(424242)
        assert status != 0
        expect_one_line(capfd, npu, "kiv_clean_job", status)
        status = npu.kiv_job_infer_async(424242, lambda j, s: 0)
        assert status != 0
        expect_one_line(capfd, npu, "kiv_job_infer_async", status)


class TestAsync:
    def start(self, npu, job, callback):
        assert npu.kiv_load_tensor(job, 0, bytes(16)) == 0
        assert npu.kiv_job_infer_async(job, callback) == 0

    def test_callback_runs_on_another_thread(self, npu, job):
        done = threading.Event()
        seen = {}

        def callback(job_id, status):
            seen.update(job_id=job_id, status=status, thread=threading.get_ident())
            done.set()
            return 0

        self.start(npu, job, callback)
        del callback  # the function object keeps the callable alive
        assert done.wait(WAIT)
        assert seen["job_id"] == job and type(seen["job_id"]) is int
        assert seen["status"] == libkiv.KIV_JOB_STATUS_DONE
        assert type(seen["status"]) is libkiv.kiv_job_status_t
        assert seen["thread"] != threading.get_ident()

    def test_without_callback(self, npu, job):
        self.start(npu, job, None)
        assert npu.kiv_get_job_status(job, 30000) == (0, libkiv.KIV_JOB_STATUS_DONE)

    @pytest.mark.parametrize("result,error_type", [(ZeroDivisionError, ZeroDivisionError), ("x", TypeError),
                                                   (1 << 40, TypeError)])
    def test_failing_callback_goes_to_the_unraisable_hook(self, npu, job, monkeypatch, result, error_type):
        reported = []
        hooked = threading.Event()

        def hook(info):
            reported.append(info)
            hooked.set()

        def callback(job_id, status):
            if result is ZeroDivisionError:
                return 1 / 0
            return result

        monkeypatch.setattr(sys, "unraisablehook", hook)
        self.start(npu, job, callback)
        assert hooked.wait(WAIT)
        assert isinstance(reported[0].exc_value, error_type)
        assert reported[0].object is callback
        # The process and the context carry on.
        assert npu.kiv_get_job_status(job, 30000)[0] == 0
        assert npu.kiv_get_error_message(0)


class TestDescriptor:
    def test_copies(self, npu, graph):
        first = npu.kiv_get_tensor_descriptor(graph, libkiv.KIV_TENSOR_TYPE_INPUT, 0)
        second = npu.kiv_get_tensor_descriptor(graph_id=graph, type=libkiv.KIV_TENSOR_TYPE_INPUT, tensor=0)
        assert first is not second
        assert (first.id, first.size, first.data_type) == (0, 16, libkiv.KIV_DATA_TYPE_F32)
        first.size = 99
        assert second.size == 16
        assert npu.kiv_get_tensor_descriptor(graph, libkiv.KIV_TENSOR_TYPE_INPUT, 0).size == 16

    def test_failure_gives_a_zero_descriptor(self, npu, capfd):
        desc = npu.kiv_get_tensor_descriptor(424242, libkiv.KIV_TENSOR_TYPE_OUTPUT, 0)
        assert (desc.id, desc.size, desc.scale, desc.zero_point) == (0, 0, 0.0, 0)
        assert desc.data_type == libkiv.KIV_DATA_TYPE_NONE
        lines = error_lines(capfd.readouterr().err)
        assert len(lines) == 1 and lines[0].startswith("[PY UMD ERROR] kiv_get_tensor_descriptor: ")


# The stand-in's description of a call; the accessors are kept in one place.
def record_raw(call):
    cfg = call.get("config")
    return None if cfg is None else bytes.fromhex(cfg["raw"])


load_graph_raw = record_raw
create_job_raw = record_raw


def dynshape_items(call):
    """(input index, first value) per item: the value arrays carry no length."""
    items = call["config"]["dynshape"]
    for item in items:
        assert struct.unpack_from("<Q", bytes.fromhex(item["raw_item"]), 8)[0] != 0
    return [(item["ds_idx"], item["first_value"]) for item in items]


def dump_texts(call):
    return [call[k] for k in ("dump_dir", "prefix", "output_prefix", "misc_prefix")]
