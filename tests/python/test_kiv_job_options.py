"""Job placement and priority, load options, dumps, profiles and build
versions through kiv, against the stand-in NPU, which honours them: one
partition, four cores, QoS levels 0 to 3, memory regions 0 and 1."""

import concurrent.futures
import os
import time
import typing

import numpy as np
import pytest
from kiv.standin import ProgramBuilder

import kiv
import libkiv
from kiv.standin_profile import decode_profile
from helpers_kiv import copy_io

WAIT = 60
X = np.arange(4, dtype=np.float32)


def program_with_weights(wait_ms=0, build_version=7):
    """y = x * w, through a feature map: two constants (weights) and one temporary."""
    b = ProgramBuilder(build_version=build_version)
    x, y, t = b.input([4], "float32"), b.output([4], "float32"), b.temp([4], "float32")
    w = b.constant(np.full(4, 2.0, np.float32))
    b.constant(np.zeros(4, np.float32))
    if wait_ms:
        b.wait_ms(wait_ms)
    b.mul(t, x, w)
    b.copy(y, t)
    return b


@pytest.fixture
def model_path(tmp_path, make_model):
    return make_model(tmp_path, program_with_weights(), io=copy_io((4,)))


@pytest.mark.parametrize(
    "fields, error, text",
    [
        ({"partition": 16}, ValueError, "partition must be from 0 to 15, got 16"),
        ({"core": 8}, ValueError, "core must be from 0 to 7, got 8"),
        ({"core": -1}, ValueError, "core must be from 0 to 7"),
        ({"qos": 16}, ValueError, "qos must be from 0 to 15"),
        ({"memory_region": 99}, ValueError, "memory_region must be from 0 to 15"),
        ({"feature_map_indexes": (1 << 31,)}, ValueError, "feature_map_indexes must be from"),
        ({"feature_map_indexes": 3}, TypeError, "feature_map_indexes must be a sequence"),
        ({"qos": 1.0}, TypeError, "qos must be a whole number"),
        ({"dump": {"input", "bogus"}}, ValueError, r"dump names unknown kinds \['bogus'\]"),
        ({"dump": "input"}, TypeError, "dump must be a set"),
        ({"dump_dir": 3}, TypeError, "dump_dir must be None or a path"),
    ],
)
def test_options_that_do_not_fit_are_refused_naming_the_field(fields, error, text):
    with pytest.raises(error, match=text):
        kiv.JobOptions(**fields)


def test_equal_options_are_one_key():
    a = kiv.JobOptions(core=1, feature_map_indexes=[0], dump_dir=os.curdir, dump={"output"})
    b = kiv.JobOptions(core=1, feature_map_indexes=(0,), dump_dir=os.fspath(os.curdir), dump=frozenset({"output"}))
    assert a == b and hash(a) == hash(b) and {a: 1}[b] == 1
    assert kiv.JobOptions() != kiv.JobOptions(core=0)


def test_options_reach_the_driver_and_jobs_are_reused_per_options(model_path, standin):
    options = kiv.JobOptions(core=3, qos=2, memory_region=1, feature_map_indexes=(0,))
    with kiv.Runtime() as runtime, runtime.load(model_path, job_options=options) as model:
        assert model.run(X)[0].tolist() == (X * 2).tolist()
        config = standin.last_call("aipu_create_job")["config"]
        assert (config["partition_id"], config["dbg_dispatch"], config["dbg_core_id"]) == (0, 1, 3)
        assert (config["qos_level"], config["fm_mem_region"], config["fm_idxes"]) == (2, 1, [0])
        for job_options in (None, options, kiv.JobOptions(qos=1), None):
            model.run(X, job_options=job_options)
        assert model.jobs_created == 2  # the model's options, and qos=1
        assert standin.last_call("aipu_create_job")["config"]["qos_level"] == 1
        model.submit(X, job_options=kiv.JobOptions()).result(WAIT)
        assert standin.last_call("aipu_create_job")["config"] is None  # defaults need no record


@pytest.mark.parametrize(
    "options, status, named",
    [
        (kiv.JobOptions(partition=1), libkiv.KIV_STATUS_ERROR_INVALID_PARTITION_ID, "partition=1"),
        (kiv.JobOptions(core=5), libkiv.KIV_STATUS_ERROR_INVALID_CORE_ID, "core=5"),
        (kiv.JobOptions(qos=9), libkiv.KIV_STATUS_ERROR_INVALID_QOS, "qos=9"),
        (kiv.JobOptions(memory_region=2), libkiv.KIV_STATUS_ERROR_INVALID_CONFIG, "memory_region=2"),
        (kiv.JobOptions(feature_map_indexes=(4,)), libkiv.KIV_STATUS_ERROR_INVALID_TENSOR_ID,
         "feature_map_indexes=(4,)"),
    ],
)
def test_options_the_device_lacks_come_back_naming_the_option(model_path, options, status, named):
    with kiv.Runtime() as runtime, runtime.load(model_path) as model:
        runs = {
            "run": lambda: model.run(X, job_options=options),
            "submit": lambda: model.submit(X, job_options=options).result(WAIT),
            "run_batch": lambda: model.run_batch([X], job_options=options),
        }
        for name, run in runs.items():
            with pytest.raises(kiv.KivError) as info:
                run()
            assert info.value.status == status, name
            assert info.value.message == runtime.npu.kiv_get_error_message(status)
            assert info.value.detail == "job options " + named, name
        assert model.run(X)[0].tolist() == (X * 2).tolist()  # the model itself is unharmed


def test_a_refusal_with_no_option_set_blames_no_option(model_path, standin):
    standin.aipu_standin_set_call_status(b"aipu_create_job", int(libkiv.KIV_STATUS_ERROR_INVALID_GRAPH_ID))
    with kiv.Runtime() as runtime, runtime.load(model_path) as model:
        with pytest.raises(kiv.KivError) as info:
            model.run(X)
    assert info.value.detail is None and "job options" not in str(info.value)


@pytest.mark.parametrize(
    "load_options, status, named",
    [
        ({"weights_region": 1, "weight_indexes": [0, 1]}, 0, None),
        ({"weights_region": 2}, libkiv.KIV_STATUS_ERROR_INVALID_CONFIG, "weights_region=2"),
        ({"weight_indexes": [2]}, libkiv.KIV_STATUS_ERROR_INVALID_TENSOR_ID, "weight_indexes=(2,)"),
        ({"extra_weights": "missing.bin"}, libkiv.KIV_STATUS_ERROR_OPEN_FILE_FAIL, "extra_weights="),
        ({"extra_weights": "weights.bin"}, 0, None),
    ],
)
def test_load_options_reach_the_driver_or_come_back_naming_the_option(
    model_path, tmp_path, standin, load_options, status, named
):
    (tmp_path / "weights.bin").write_bytes(bytes(range(256)))
    if "extra_weights" in load_options:
        load_options = dict(load_options, extra_weights=tmp_path / load_options["extra_weights"])
    with kiv.Runtime() as runtime:
        if status:
            with pytest.raises(kiv.KivError) as info:
                runtime.load(model_path, **load_options)
            assert info.value.status == status
            assert info.value.detail.startswith("%s: load option %s" % (model_path, named))
            return
        with runtime.load(model_path, **load_options) as model:
            assert model.run(X)[0].tolist() == (X * 2).tolist()
        config = standin.last_call("aipu_load_graph_helper")["config"]
        assert config["wt_mem_region"] == load_options.get("weights_region", 0)
        assert config["wt_idxes"] == load_options.get("weight_indexes", [])
        extra = str(load_options["extra_weights"]) if "extra_weights" in load_options else None
        assert config["extra_weight_path"] == extra


def test_profiles_tell_the_core_and_the_time_of_every_operation(tmp_path, make_model):
    path = make_model(tmp_path, program_with_weights(wait_ms=20), io=copy_io((4,)))
    with kiv.Runtime() as runtime, runtime.load(path) as model:
        assert model.run(X).profile is None  # profiling is off
    with kiv.Runtime(profile=True) as runtime, runtime.load(path) as model:
        for core in range(4):
            submitted = time.perf_counter_ns()
            outputs = model.run(X, job_options=kiv.JobOptions(core=core))
            ended = time.perf_counter_ns()
            profile = decode_profile(outputs.profile)
            assert profile.core == core
            # The profile's clock is the host's: the job ran between its submit and its result.
            assert submitted <= profile.start_ns <= profile.start_ns + profile.duration_ns <= ended
            assert [op.name for op in profile.operations] == ["WAIT_MS", "MUL", "COPY"]
            wait = profile.operations[0]
            assert wait.duration_ns >= 20e6 and profile.duration_ns >= wait.duration_ns
            assert profile.operations[1].start_ns >= wait.start_ns + wait.duration_ns
        assert decode_profile(model.submit(X).result(WAIT).profile).operations[2].name == "COPY"
        assert [r.profile for r in model.run_batch([X])] == [None]
        assert model.build_version == 7
    assert decode_profile(b"KVPF" + bytes(20)) is None and decode_profile(bytes(56)) is None


def test_when_every_core_is_busy_a_higher_qos_runs_first(tmp_path, make_model):
    busy = make_model(tmp_path, program_with_weights(wait_ms=500), io=copy_io((4,)))
    quick = make_model(tmp_path, program_with_weights(), io=copy_io((4,)))
    with kiv.Runtime(profile=True) as runtime, runtime.load(busy) as slow, runtime.load(quick) as fast:
        occupying = [slow.submit(X) for _ in range(4)]
        low = fast.submit(X)
        high = fast.submit(X, job_options=kiv.JobOptions(qos=1))
        started = {name: decode_profile(f.result(WAIT).profile).start_ns for name, f in (("low", low), ("high", high))}
        concurrent.futures.wait(occupying, WAIT)
        assert started["high"] < started["low"]


def test_dumps_hold_what_each_run_read_and_wrote(model_path, tmp_path):
    dumps = tmp_path / "dumps"
    dumps.mkdir()
    options = kiv.JobOptions(dump_dir=dumps, dump_prefix="m", dump={"input", "output"})
    with kiv.Runtime() as runtime, runtime.load(model_path, job_options=options) as model:
        model.run(X)
        model.run_batch([X + 1])
        # m_<job>_input0.bin for the run, m_<queue>_<batch>_input0.bin for the batch.
        dumped = {(len(p.name.split("_")), p.name.rsplit("_", 1)[1]): p.read_bytes() for p in dumps.iterdir()}
        assert sorted(dumped) == [(3, "input0.bin"), (3, "output0.bin"), (4, "input0.bin"), (4, "output0.bin")]
        assert all(p.name.startswith("m_") for p in dumps.iterdir())
        for parts, x in ((3, X), (4, X + 1)):
            assert np.frombuffer(dumped[parts, "input0.bin"], np.float32).tolist() == x.tolist()
            assert np.frombuffer(dumped[parts, "output0.bin"], np.float32).tolist() == (x * 2).tolist()
        with pytest.raises(kiv.KivError) as info:
            model.run(X, job_options=kiv.JobOptions(dump_dir=tmp_path / "nowhere"))
        assert info.value.api == "kiv_config_job"
        assert info.value.detail == "job options dump_dir=%r, dump_prefix='', dump=['input', 'output']" % str(
            tmp_path / "nowhere")


def _kiv_types(hint):
    """The classes of the kiv package a type hint names, however nested."""
    if isinstance(hint, type):
        return {hint} if hint.__module__.startswith("kiv.") else set()
    return {t for argument in typing.get_args(hint) for t in _kiv_types(argument)}


def _public_functions(value):
    """A public function itself; of a public class, its constructor and public methods."""
    if not isinstance(value, type):
        return [value] if callable(value) else []
    return [member for name, member in vars(value).items()
            if callable(member) and (name == "__init__" or not name.startswith("_"))]


def test_the_public_api_names_only_exported_types_and_shows_no_internal_helpers():
    exported = [getattr(kiv, name) for name in kiv.__all__]  # RUNTIME_STATUSES, a mapping, is no set member
    named = {t for value in exported for function in _public_functions(value)
             for hint in typing.get_type_hints(function, localns=vars(kiv)).values() for t in _kiv_types(hint)}
    classes = {value for value in exported if isinstance(value, type)}
    assert kiv.JobOptions in named and named <= classes, named - classes
    # The option records build the runtime's records and blame options for kiv alone.
    for record in (kiv.JobOptions, kiv.LoadOptions):
        assert [name for name, value in vars(record).items() if callable(value) and not name.startswith("_")] == []
