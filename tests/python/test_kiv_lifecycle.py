"""Runtime and Model lifetimes, and KivError for failing statuses."""

import pickle

import numpy as np
import pytest

import kiv
import libkiv
from test_kiv_helpers import copy_model, failing_model, ramp


def open_contexts(standin):
    return standin.aipu_standin_open_context_count()


def test_with_blocks_release_the_graph_and_the_context(tmp_path, make_model, standin):
    before = open_contexts(standin)
    path = copy_model(tmp_path, make_model)
    with kiv.Runtime() as runtime:
        assert open_contexts(standin) == before + 1
        with runtime.load(path) as model:
            model.run(ramp((2, 3), np.float32))
            graph_id = model.graph_id
        assert model.closed
        assert standin.last_call("aipu_unload_graph")["graph_id"] == graph_id
        assert runtime.models == []
    assert runtime.closed
    assert open_contexts(standin) == before


def test_resources_are_released_when_the_block_raises(tmp_path, make_model, standin):
    before = open_contexts(standin)
    path = copy_model(tmp_path, make_model)
    with pytest.raises(ZeroDivisionError):
        with kiv.Runtime() as runtime:
            model = runtime.load(path)
            model.run(ramp((2, 3), np.float32))
            1 / 0
    assert model.closed and runtime.closed
    assert standin.last_call("aipu_unload_graph")["graph_id"] == model.graph_id
    assert open_contexts(standin) == before


def test_closing_twice_is_harmless_and_closed_objects_refuse_work(tmp_path, make_model):
    path = copy_model(tmp_path, make_model)
    runtime = kiv.Runtime()
    model = runtime.load(path)
    model.close()
    model.close()
    with pytest.raises(ValueError, match="closed"):
        model.run(ramp((2, 3), np.float32))
    runtime.close()
    runtime.close()
    with pytest.raises(ValueError, match="closed"):
        runtime.load(path)


def test_failing_initialisation_raises_with_the_driver_status(standin):
    standin.aipu_standin_set_init_status(3)
    try:
        with pytest.raises(kiv.KivError) as info:
            kiv.Runtime()
    finally:
        standin.aipu_standin_set_init_status(0)
    err = info.value
    assert err.api == "kiv_init_context"
    assert err.code == 3 and err.status == libkiv.KIV_STATUS_ERROR_OPEN_DEV_FAIL
    assert "kiv_init_context failed with status 3" in str(err)


def test_missing_container_raises_with_status_text_and_path(tmp_path):
    missing = str(tmp_path / "missing.zor")
    with kiv.Runtime() as runtime:
        with pytest.raises(kiv.KivError) as info:
            runtime.load(missing)
        err = info.value
        assert err.api == "kiv_load_graph"
        assert err.status == libkiv.KIV_STATUS_ERROR_OPEN_FILE_FAIL
        assert err.message == runtime.npu.kiv_get_error_message(err.code)
        assert err.detail == missing and missing in str(err)
        assert runtime.models == []


def test_job_exception_raises_and_the_job_is_not_reused(tmp_path, make_model):
    with kiv.Runtime() as runtime, runtime.load(failing_model(tmp_path, make_model)) as model:
        for _ in range(2):
            with pytest.raises(kiv.KivError) as info:
                model.run(np.zeros(4, np.float32))
            assert info.value.status == libkiv.KIV_STATUS_ERROR_JOB_EXCEPTION
            assert info.value.api == "kiv_job_infer_async"
        future = model.submit(np.zeros(4, np.float32))
        with pytest.raises(kiv.KivError) as info:
            future.result(timeout=120)
        assert info.value.status == libkiv.KIV_STATUS_ERROR_JOB_EXCEPTION
        assert model.jobs_created == 3


def test_kiv_error_survives_pickling():
    err = kiv.KivError("kiv_clean_job", 16, "bad job", "job 7")
    copy = pickle.loads(pickle.dumps(err))
    assert (copy.api, copy.code, copy.message, copy.detail, str(copy)) == (
        err.api,
        err.code,
        err.message,
        err.detail,
        str(err),
    )
    assert copy.status == libkiv.KIV_STATUS_ERROR_INVALID_JOB_ID


def test_unnamed_status_codes_are_carried(tmp_path):
    err = kiv.KivError("kiv_load_graph", 69, "internal")
    assert err.code == 69 and int(err.status) == 69


def test_failing_deinit_still_closes_everything_then_raises(tmp_path, make_model, standin):
    runtime = kiv.Runtime()
    model = runtime.load(copy_model(tmp_path, make_model))
    standin.aipu_standin_set_deinit_status(5)
    with pytest.raises(kiv.KivError) as info:
        runtime.close()
    assert (info.value.api, info.value.code) == ("kiv_deinit_context", 5)
    assert model.closed and runtime.closed
    assert standin.last_call("aipu_unload_graph")["graph_id"] == model.graph_id
    runtime.close()  # already closed: nothing left to fail
