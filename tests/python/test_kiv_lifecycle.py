"""Runtime and Model lifetimes, and KivError for failing statuses."""

import ctypes
import os
import pickle
import random
import shutil
import struct
import subprocess

import numpy as np
import pytest

import kiv
import libkiv
from kiv.container import diagnose
from helpers_kiv import copy_io, copy_model, failing_model, ramp


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
        assert err.detail == missing + ": no such file" and missing in str(err)
        assert runtime.models == []


# A well-formed container with a model version and no subgraph, which zor
# refuses to pack: the root table's offset (12), the root's field table
# (6 bytes, table of 8, the version at +4) and 2 bytes of padding, the root
# table (its field table 8 bytes back, the version 8 bytes on), the version's
# empty field table and the version table (its field table 4 bytes back).
HOLLOW_CONTAINER = struct.pack("<IHHHxxiIHHi", 12, 6, 8, 4, 8, 8, 4, 4, 4)


def _container_files(directory, make_model):
    good = open(copy_model(directory, make_model), "rb").read()
    (directory / "hollow.zor").write_bytes(HOLLOW_CONTAINER)
    (directory / "empty.zor").write_bytes(b"")
    (directory / "random.zor").write_bytes(random.Random(7).randbytes(1000))
    (directory / "truncated.zor").write_bytes(good[: len(good) * 2 // 3])
    # The model's name claims to run far past the end: only a full check of
    # the bytes finds it.
    name = good.index(struct.pack("<I", 4) + b"copy\0")
    (directory / "malformed.zor").write_bytes(good[:name] + struct.pack("<I", 0x7FFF0000) + good[name + 4 :])
    os.rename(make_model(directory, b"", io=copy_io((2, 3))), directory / "no_executable.zor")
    (directory / "folder.zor").mkdir()


@pytest.mark.parametrize(
    "name, status, problem",
    [
        ("folder.zor", 12, "is a directory, not a model container file"),
        ("empty.zor", 69, "is empty, not a model container"),
        ("random.zor", 69, "is not a zor model container"),
        ("truncated.zor", 69, "is truncated"),
        ("hollow.zor", 9, "holds no subgraph, so no NPU executable to load"),
        ("malformed.zor", 69, "is not a well-formed zor model container"),
        ("no_executable.zor", 1, "has no NPU executable"),
    ],
)
def test_unreadable_containers_say_what_is_wrong(tmp_path, make_model, name, status, problem):
    _container_files(tmp_path, make_model)
    with kiv.Runtime() as runtime:
        with pytest.raises(kiv.KivError) as info:
            runtime.load(tmp_path / name)
    assert info.value.code == status
    assert info.value.detail.startswith(
        "%s: %s" % (tmp_path / name, problem)
    )
    assert "unknown status" not in str(info.value)
    # What the file holds is the user's to fix: the text leads with it and
    # blames no runtime; a file that cannot be opened keeps its plain status.
    assert isinstance(info.value, kiv.ModelFormatError) == (status != 12)
    if status != 12:
        assert str(info.value).startswith("%s: %s" % (tmp_path / name, problem))
        assert "internal error" not in str(info.value)
        assert str(pickle.loads(pickle.dumps(info.value))) == str(info.value)
    if name not in ("hollow.zor", "no_executable.zor"):  # zor lists these, and says what they lack
        path = str(tmp_path / name)
        zor = subprocess.run([os.path.join(os.environ["KIV_BUILD_DIR"], "tools", "zor", "zor"), "info", path],
                             capture_output=True, text=True)
        assert (zor.returncode, zor.stdout) == (1, "")
        assert zor.stderr == "zor: %s: %s\n" % (path, diagnose(path))


def _bytes_read():
    """Bytes this process has read so far, from any file."""
    with open("/proc/self/io") as f:
        return int(next(line for line in f if line.startswith("rchar:")).split()[1])


@pytest.mark.parametrize("kind", ["device", "large sparse file"])
def test_diagnosis_reads_only_what_its_verdict_needs(tmp_path, kind):
    path = "/dev/zero"
    if kind != "device":
        path = str(tmp_path / "sparse.zor")
        with open(path, "wb") as f:
            f.truncate(1 << 30)
    before = _bytes_read()
    assert diagnose(path) == "is not a zor model container: its root table has no valid field table"
    assert _bytes_read() - before < 2 << 20  # a bounded prefix at most: no more than a few MiB


def test_runtime_texts_where_the_driver_has_none():
    for code, text in ((64, "invalid runtime context handle"), (66, "could not be loaded"), (69, "internal error")):
        assert text in kiv.errors.status_text(libkiv.NPU(), code)
    assert kiv.errors.status_text(libkiv.NPU(), 3) == "KIV_STATUS_ERROR_OPEN_DEV_FAIL"


def test_arguments_are_checked_where_they_are_given(tmp_path, make_model):
    for args, kwargs, error, text in (
        ((), {"max_idle_jobs": -1}, ValueError, "max_idle_jobs must not be negative"),
        ((), {"max_idle_jobs": "4"}, TypeError, "max_idle_jobs must be a whole number"),
        ((), {"max_idle_jobs": True}, TypeError, "max_idle_jobs"),
        ((), {"driver": 5}, TypeError, "first argument of kiv.Runtime is the driver"),
        ((True,), {}, TypeError, "driver must be None, a path"),
        ((), {"driver": ""}, ValueError, "driver must not be empty"),
        # max_idle_jobs came first up to 0.2.0: a number there is told apart
        ((4,), {}, TypeError, r"first argument of kiv.Runtime is the driver; .*kiv.Runtime\(max_idle_jobs=4\)"),
        (("standin", 4), {}, TypeError, "positional argument"),
    ):
        with pytest.raises(error, match=text):
            kiv.Runtime(*args, **kwargs)
    with kiv.Runtime("standin") as runtime:  # the driver first
        assert runtime.driver.is_standin
    with kiv.Runtime() as runtime:
        with pytest.raises(TypeError, match="path must be a str"):
            runtime.load(5)
        with pytest.raises(ValueError, match="max_idle_jobs"):
            runtime.load(copy_model(tmp_path, make_model), max_idle_jobs=-2)
        assert runtime.models == []


def test_the_runtime_describes_its_device_as_the_driver_reports_it(standin):
    with kiv.Runtime() as runtime:
        assert runtime.device == kiv.Device("KVS_0404MP4", "idle", ((4,),))
        assert runtime.device.cores(0) == 4 and runtime.device.cores(1) is None
        standin.aipu_standin_set_call_status(b"aipu_get_cluster_count", 9)
        assert runtime.device == kiv.Device("KVS_0404MP4", "idle", (None,))
        standin.aipu_standin_set_call_status(b"aipu_get_device_status", 9)
        assert runtime.device.status is None and runtime.device.cores(0) is None
    with pytest.raises(ValueError, match="runtime is closed"):
        runtime.device


# --- which driver runs ----------------------------------------------------------------------------


def test_the_stand_in_runs_only_when_named(build_dir, monkeypatch):
    standin = os.path.join(build_dir, "standin", "libaipudrv.so")
    assert kiv.standin_path() == standin
    with kiv.Runtime(driver="standin") as runtime:
        assert runtime.driver == kiv.DriverInfo(standin, ("1.0.0-standin", "1.0.0-sim"), True)
        assert "stand-in NPU %s" % standin in repr(runtime)
    monkeypatch.delenv("AIPU_LIB_PATH")
    try:
        ctypes.CDLL("libaipudrv.so")
        pytest.skip("a driver library is installed in this system's library search")
    except OSError:
        pass
    with pytest.raises(kiv.KivError) as info:
        kiv.Runtime()
    text = str(info.value)
    assert info.value.code == 66 and "unknown status" not in text
    assert "tried libaipudrv.so (the default name, looked up in the system's library search)" in text
    assert "libaipudrv.so: cannot open shared object file" in text
    assert 'kiv.Runtime(driver="standin") or set AIPU_LIB_PATH=%s' % standin in text
    assert int(libkiv.NPU().kiv_init_context()) == 66  # libkiv alike: the default name is the system's


@pytest.mark.parametrize(
    "library, reason",
    [
        ("testlibs/libaipudrv_without_aipu_finish_job.so", "it lacks the driver entry point aipu_finish_job"),
        ("nowhere/libaipudrv.so", "nowhere/libaipudrv.so: cannot open shared object file"),
    ],
)
def test_an_unusable_driver_is_named_with_the_loaders_reason(build_dir, library, reason):
    path = os.path.join(build_dir, library)
    with pytest.raises(kiv.KivError) as info:
        kiv.Runtime(driver=path)
    assert "no usable NPU driver: tried %s (given to kiv.Runtime): " % path in str(info.value)
    assert reason in str(info.value)


def test_an_empty_aipu_lib_path_is_said_to_be_empty(run_python):
    """The runtime takes an empty AIPU_LIB_PATH as a name, for which the
    loader opens the program itself: kiv's error says so, rather than list
    the entry points the program lacks. (In a process of its own: the
    program's symbols are the test process's.)"""
    result = run_python(
        "import kiv\n"
        "try:\n"
        "    kiv.Runtime(error_lines=False)\n"
        "except kiv.KivError as error:\n"
        "    print(error.code, error)\n",
        env={"AIPU_LIB_PATH": ""},
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.startswith("66 kiv_init_context failed with status 66: "), result.stdout
    assert "no usable NPU driver: AIPU_LIB_PATH is set but empty, and an empty name makes the loader open the " \
        "program itself" in result.stdout
    assert "aipu_" not in result.stdout


def test_the_default_name_goes_through_the_system_search(run_python, build_dir, tmp_path):
    """A library named like the driver on the library search path is the one
    loaded by default; the stand-in shipped beside libkiv.so is not."""
    system = tmp_path / "libaipudrv.so"
    shutil.copy(os.path.join(build_dir, "standin", "libaipudrv.so"), system)
    result = run_python(
        "import kiv\n"
        "with kiv.Runtime() as rt: print(rt.driver.path)\n"
        "with kiv.Runtime(driver='standin') as rt: print(rt.driver.path)\n",
        env={"AIPU_LIB_PATH": None, "LD_LIBRARY_PATH": str(tmp_path)},
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == [str(system), os.path.join(build_dir, "standin", "libaipudrv.so")]


def test_job_exception_raises_and_the_job_is_not_reused(tmp_path, make_model):
    with kiv.Runtime() as runtime, runtime.load(failing_model(tmp_path, make_model)) as model:
        for _ in range(2):
            with pytest.raises(kiv.KivError) as info:
                model.run(np.zeros(4, np.float32))
            assert info.value.status == libkiv.KIV_STATUS_ERROR_JOB_EXCEPTION
            assert info.value.api == "kiv_job_infer_sync"  # the call that ran the job
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
