"""The surface of the libkiv module: names, order, enumerations, method table."""

import inspect
import os
import re
import shutil
import subprocess
import sysconfig

import pytest

import libkiv

TYPES_IN_ORDER = [
    "kiv_context_t", "kiv_device_status_t", "kiv_data_type_t", "tensor_type_t", "tensor_desc_t",
    "kiv_job_status_t", "kiv_config_type_t", "job_config_dump_t", "job_config_simulation_t",
    "aipu_global_config_simulation_t", "aipu_global_config_hw_t", "aipu_core_info_t", "aipu_bin_buildversion_t",
    "aipu_dynshape_num_t", "aipu_dynshape_dim_num_t", "aipu_dynshape_info_t", "kiv_dynshape_param_t",
    "kiv_load_graph_cfg_t", "kiv_create_job_cfg_t", "ioctl_cmd_t", "kiv_ioctl_tickcounter_t", "device_type_t",
    "kiv_status_t", "NPU",
]

STATUS_MEMBERS = [
    ("KIV_STATUS_SUCCESS", 0), ("KIV_STATUS_ERROR_NULL_PTR", 1), ("KIV_STATUS_ERROR_INVALID_CTX", 2),
    ("KIV_STATUS_ERROR_OPEN_DEV_FAIL", 3), ("KIV_STATUS_ERROR_DEV_ABNORMAL", 4), ("KIV_STATUS_ERROR_DEINIT_FAIL", 5),
    ("KIV_STATUS_ERROR_INVALID_CONFIG", 6), ("KIV_STATUS_ERROR_UNKNOWN_BIN", 7),
    ("KIV_STATUS_ERROR_GVERSION_UNSUPPORTED", 8), ("KIV_STATUS_ERROR_INVALID_GBIN", 9),
    ("KIV_STATUS_ERROR_TARGET_NOT_FOUND", 10), ("KIV_STATUS_ERROR_INVALID_GRAPH_ID", 11),
    ("KIV_STATUS_ERROR_OPEN_FILE_FAIL", 12), ("KIV_STATUS_ERROR_MAP_FILE_FAIL", 13),
    ("KIV_STATUS_ERROR_READ_FILE_FAIL", 14), ("KIV_STATUS_ERROR_WRITE_FILE_FAIL", 15),
    ("KIV_STATUS_ERROR_INVALID_JOB_ID", 16), ("KIV_STATUS_ERROR_JOB_EXCEPTION", 17),
    ("KIV_STATUS_ERROR_JOB_TIMEOUT", 18), ("KIV_STATUS_ERROR_OP_NOT_SUPPORTED", 19),
    ("KIV_STATUS_ERROR_INVALID_OP", 20), ("KIV_STATUS_ERROR_INVALID_SIZE", 21),
    ("KIV_STATUS_ERROR_BUF_ALLOC_FAIL", 22), ("KIV_STATUS_ERROR_BUF_FREE_FAIL", 23),
    ("KIV_STATUS_ERROR_INVALID_CORE_ID", 24), ("KIV_STATUS_ERROR_RESERVE_SRAM_FAIL", 25),
    ("KIV_STATUS_ERROR_INVALID_TENSOR_ID", 26), ("KIV_STATUS_ERROR_INVALID_CLUSTER_ID", 27),
    ("KIV_STATUS_ERROR_INVALID_PARTITION_ID", 28), ("KIV_STATUS_ERROR_PRINTF_FAIL", 29),
    ("KIV_STATUS_ERROR_INVALID_TENSOR_TYPE", 30), ("KIV_STATUS_ERROR_INVALID_GM", 31),
    ("KIV_STATUS_ERROR_INVALID_SEGMMU", 32), ("KIV_STATUS_ERROR_INVALID_QOS", 33),
    ("KIV_STATUS_ERROR_INVALID_TENSOR_CNT", 34), ("KIV_STATUS_ERROR_TIMEOUT", 35),
    ("KIV_STATUS_ERROR_NO_BATCH_QUEUE", 36), ("KIV_STATUS_ERROR_MARK_SHARED_TENSOR", 37),
    ("KIV_STATUS_ERROR_SET_SHARED_TENSOR", 38), ("KIV_STATUS_ERROR_DMABUF_SHARED_IO", 39),
    ("KIV_STATUS_ERROR_GET_SHAPE_FAILED", 40), ("KIV_STATUS_ERROR_SET_SHAPE_FAILED", 41),
    ("KIV_STATUS_ERROR_NOT_CONFIG_SHAPE", 48), ("KIV_STATUS_ERROR_UNMATCH_OUT_SHAPE", 49),
    ("KIV_STATUS_ERROR_ZERO_TENSOR_SIZE", 50), ("KIV_STATUS_ERROR_ALLOC_GRIP_ID", 51),
    ("KIV_STATUS_ERROR_ALLOC_GROUP_ID", 52), ("KIV_STATUS_ERROR_NOT_FOUND_IN_HASHTABLE", 53),
    ("KIV_STATUS_ERROR_INVALID_COREDUMP", 54), ("KIV_STATUS_ERROR_JOB_DISPATCH_FAIL", 55), ("KIV_STATUS_MAX", 56),
    ("KIV_STATUS_ERROR_UNKNOWN_ERROR", 512), ("KIV_STATUS_ERROR_KEYBOARD_INTERRUPT", 768),
    ("KIV_STATUS_ERROR_SYSTEM_ERR", 769), ("KIV_STATUS_ERROR_OUT_OF_SPEC", 896),
    ("KIV_STATUS_ERROR_OUT_OF_AIFF_SPEC", 897), ("KIV_STATUS_ERROR_OUT_OF_TPC_SPEC", 898),
    ("KIV_STATUS_ERROR_OUT_OF_DMA_SPEC", 899), ("KIV_STATUS_ERROR_OUT_OF_MEM_RANGE", 1024),
    ("KIV_STATUS_ERROR_OUT_OF_SRAM_RANGE", 1025), ("KIV_STATUS_ERROR_OUT_OF_LSRAM0_RANGE", 1026),
    ("KIV_STATUS_ERROR_OUT_OF_LSRAM1_RANGE", 1027), ("KIV_STATUS_ERROR_OUT_OF_GSRAM0_RANGE", 1029),
    ("KIV_STATUS_ERROR_OUT_OF_GSRAM1_RANGE", 1030), ("KIV_STATUS_ERROR_ARITHMETIC_ERR", 1152),
    ("KIV_STATUS_ERROR_FLOAT_POINT_ERR", 1153), ("KIV_STATUS_ERROR_UNDERFLOW_ERR", 1154),
    ("KIV_STATUS_ERROR_OVERFLOW_ERR", 1155), ("KIV_STATUS_ERROR_NOT_A_NUMBER_ERR", 1156),
    ("KIV_STATUS_ERROR_INFINITY_ERR", 1157), ("KIV_STATUS_ERROR_STRING_LENGTH_ERR", 1158),
    ("KIV_STATUS_ERROR_ZERO_DIVISION_ERR", 1159),
]

ENUMS = {
    "kiv_device_status_t": [("KIV_DEV_IDLE", 0), ("KIV_DEV_BUSY", 1), ("KIV_DEV_EXCEPTION", 2)],
    "kiv_data_type_t": [
        ("KIV_DATA_TYPE_NONE", 0), ("KIV_DATA_TYPE_BOOL", 1), ("KIV_DATA_TYPE_U8", 2), ("KIV_DATA_TYPE_S8", 3),
        ("KIV_DATA_TYPE_U16", 4), ("KIV_DATA_TYPE_S16", 5), ("KIV_DATA_TYPE_U32", 6), ("KIV_DATA_TYPE_S32", 7),
        ("KIV_DATA_TYPE_U64", 8), ("KIV_DATA_TYPE_S64", 9), ("KIV_DATA_TYPE_F16", 10), ("KIV_DATA_TYPE_F32", 11),
        ("KIV_DATA_TYPE_F64", 12), ("KIV_DATA_TYPE_BF16", 13), ("KIV_DATA_TYPE_ALIGNED_U4", 18),
        ("KIV_DATA_TYPE_ALIGNED_S4", 19), ("KIV_DATA_TYPE_ALIGNED_U12", 20), ("KIV_DATA_TYPE_ALIGNED_S12", 21),
        ("KIV_DATA_TYPE_COMPACT_U4", 32), ("KIV_DATA_TYPE_COMPACT_S4", 33), ("KIV_DATA_TYPE_COMPACT_U12", 34),
        ("KIV_DATA_TYPE_COMPACT_S12", 35),
    ],
    "tensor_type_t": [
        ("KIV_TENSOR_TYPE_INPUT", 0), ("KIV_TENSOR_TYPE_OUTPUT", 1), ("KIV_TENSOR_TYPE_INTER_DUMP", 2),
        ("KIV_TENSOR_TYPE_PRINTF", 3), ("KIV_TENSOR_TYPE_PROFILER", 4), ("KIV_TENSOR_TYPE_LAYER_COUNTER", 5),
        ("KIV_TENSOR_TYPE_ERROR_CODE", 6), ("KIV_TENSOR_TYPE_OUT_TENSOR_SHAPE", 7),
    ],
    "kiv_job_status_t": [("KIV_JOB_STATUS_NO_STATUS", 0), ("KIV_JOB_STATUS_DONE", 1), ("KIV_JOB_STATUS_EXCEPTION", 2)],
    "kiv_config_type_t": [
        ("KIV_JOB_CONFIG_TYPE_DUMP_TEXT", 1), ("KIV_JOB_CONFIG_TYPE_DUMP_WEIGHT", 2),
        ("KIV_JOB_CONFIG_TYPE_DUMP_RODATA", 4), ("KIV_JOB_CONFIG_TYPE_DUMP_DESCRIPTOR", 8),
        ("KIV_JOB_CONFIG_TYPE_DUMP_INPUT", 16), ("KIV_JOB_CONFIG_TYPE_DUMP_OUTPUT", 32),
        ("KIV_JOB_CONFIG_TYPE_DUMP_REUSE", 64), ("KIV_JOB_CONFIG_TYPE_DUMP_TCB_CHAIN", 128),
        ("KIV_JOB_CONFIG_TYPE_DUMP_EMULATION", 256), ("KIV_JOB_CONFIG_TYPE_DUMP_PROFILE", 512),
        ("KIV_CONFIG_TYPE_SIMULATION", 1 << 16), ("KIV_CONFIG_TYPE_HW", 1 << 17),
        ("KIV_GLOBAL_CONFIG_TYPE_DISABLE_VER_CHECK", 1 << 24), ("KIV_GLOBAL_CONFIG_TYPE_ENABLE_VER_CHECK", 1 << 25),
    ],
    "ioctl_cmd_t": [
        ("KIV_IOCTL_SET_PROFILE", 255), ("KIV_IOCTL_GET_KIVBIN_BUILDVERSION", 256), ("KIV_IOCTL_GET_DS_NUM", 257),
        ("KIV_IOCTL_GET_DS_DIM_NUM", 258), ("KIV_IOCTL_GET_DS_INFO", 259), ("KIV_IOCTL_ALLOC_SHARE_BUF", 263),
        ("KIV_IOCTL_FREE_SHARE_BUF", 264), ("KIV_IOCTL_ALLOC_DMABUF", 265), ("KIV_IOCTL_FREE_DMABUF", 266),
        ("KIV_IOCTL_WRITE_DMABUF", 268), ("KIV_IOCTL_READ_DMABUF", 269), ("KIV_IOCTL_ATTACH_DMABUF", 270),
        ("KIV_IOCTL_DETACH_DMABUF", 271), ("KIV_IOCTL_GET_VERSION", 272),
    ],
    "kiv_ioctl_tickcounter_t": [("AIPU_IOCTL_EN_TICK_COUNTER", 0), ("AIPU_IOCTL_DI_TICK_COUNTER", 1)],
    "device_type_t": [("cpu", 0), ("npu", 1), ("gpu", 2)],
    "kiv_status_t": STATUS_MEMBERS,
}

# (name, "parameter: type = default" text of the generated signature)
METHODS = [
    ("kiv_init_context", []),
    ("kiv_deinit_context", []),
    ("kiv_get_error_message", ["status: int"]),
    ("kiv_load_graph", ["graph_bin: str", "cfg: object = None"]),
    ("kiv_unload_graph", ["graph_id: int"]),
    ("kiv_create_job", ["graph_id: int", "cfg: object = None"]),
    ("kiv_config_job", ["job_id: int", "types: int", "cfg: object"]),
    ("kiv_job_infer_sync", ["job_id: int", "time_out: int = -1"]),
    ("kiv_job_infer_async", ["job_id: int", "py_cb: object = None"]),
    ("kiv_get_job_status", ["job_id: int", "timeout: int = -1"]),
    ("kiv_clean_job", ["job_id: int"]),
    ("kiv_get_tensor_count", ["graph_id: int", "type: libkiv.tensor_type_t"]),
    ("kiv_get_tensor_shape", ["zor_model: str", "type: libkiv.tensor_type_t", "index: int"]),
    ("kiv_get_tensor_descriptor", ["graph_id: int", "type: libkiv.tensor_type_t", "tensor: int"]),
    ("kiv_load_tensor_from_file", ["job_id: int", "tensor: int", "filename: str"]),
    ("kiv_load_tensor", ["job_id: int", "tensor: int", "hdl: object"]),
    ("kiv_get_tensor", ["job_id: int", "type: libkiv.tensor_type_t", "tensor: int"]),
    ("kiv_ioctl", None),
    ("kiv_create_batch_queue", ["graph_id: int"]),
    ("kiv_clean_batch_queue", ["graph_id: int", "queue_id: int"]),
    ("kiv_config_batch_dump", ["graph_id: int", "queue_id: int", "types: int", "dump_cfg: object = {}"]),
    ("kiv_add_batch", ["graph_id: int", "queue_id: int", "inputs: sequence", "outputs: sequence"]),
    ("kiv_finish_batch", ["graph_id: int", "queue_id: int", "cfg: object = None"]),
]


def signature_params(doc, name):
    """Parameter texts after `self` of the first signature line for `name`."""
    match = re.search(re.escape(name) + r"\(self: libkiv\.NPU(?:, )?(.*)\) -> ", doc)
    assert match, doc
    params = match.group(1)
    return [p.strip() for p in re.split(r", (?=[a-z_]+: )", params)] if params else []


class TestModule:
    def test_doc_string(self):
        assert libkiv.__doc__ == "ZOR KIV UMD python APIs"

    def test_types_come_into_being_in_registration_order(self):
        types = [name for name, value in vars(libkiv).items() if isinstance(value, type)]
        assert types == TYPES_IN_ORDER

    def test_no_module_level_functions(self):
        callables = [n for n, v in vars(libkiv).items() if callable(v) and not isinstance(v, type)]
        assert callables == []


# An embedding program whose own Py_GetVersion takes precedence over the
# interpreter's when the module looks the version up at import time.
EMBED_SOURCE = r"""
#include <Python.h>
#include <stdlib.h>
const char* Py_GetVersion(void) { return getenv("KIV_TEST_PY_VERSION"); }
int main(void) {
    Py_Initialize();
    int rc = PyRun_SimpleString(
        "try:\n"
        "    import libkiv\n"
        "    print('imported', libkiv.NPU.__name__)\n"
        "except ImportError as e:\n"
        "    print('ImportError:', e)\n");
    Py_Finalize();
    return rc;
}
"""


@pytest.fixture(scope="module")
def embedder(tmp_path_factory, build_dir):
    # The config tool of the interpreter running the tests, which is the one
    # that imports libkiv; whatever pythonX.Y-config comes first on PATH may
    # belong to another.
    config = os.path.join(sysconfig.get_config_var("BINDIR"), f"python{sysconfig.get_python_version()}-config")
    if not (shutil.which("gcc") and os.path.exists(config)):
        pytest.skip(f"needs gcc and {config}")
    flags = subprocess.run([config, "--includes", "--ldflags", "--embed"], capture_output=True, text=True,
                           check=True).stdout.split()
    directory = tmp_path_factory.mktemp("embed")
    source = directory / "embed.c"
    source.write_text(EMBED_SOURCE)
    program = directory / "embed"
    subprocess.run(["gcc", str(source), *flags, "-rdynamic", "-o", str(program)], check=True, timeout=300)

    def run(version):
        env = dict(os.environ, KIV_TEST_PY_VERSION=version, PYTHONPATH=build_dir)
        return subprocess.run([str(program)], env=env, capture_output=True, text=True, timeout=120).stdout

    return run


@pytest.mark.parametrize("version", ["3.11.9 (main) [GCC 12.2.0]", "3.11.2"])
def test_import_under_a_3_11_interpreter(embedder, version):
    assert embedder(version) == "imported NPU\n"


@pytest.mark.parametrize("version", ["3.12.0 (main) [GCC 12.2.0]", "3.110", "2.7.18"])
def test_import_refuses_other_versions(embedder, version):
    assert embedder(version) == (f"ImportError: Python version mismatch: module was compiled for Python 3.11, "
                                 f"but the interpreter version is incompatible: {version}.\n")


class TestEnumerations:
    @pytest.mark.parametrize("name", sorted(ENUMS))
    def test_members_values_and_order(self, name):
        enum = getattr(libkiv, name)
        assert [(k, int(v)) for k, v in enum.__members__.items()] == ENUMS[name]

    @pytest.mark.parametrize("name", sorted(ENUMS))
    def test_members_are_exported_to_the_module(self, name):
        enum = getattr(libkiv, name)
        for member_name, member in enum.__members__.items():
            assert getattr(libkiv, member_name) is member

    def test_status_has_72_members(self):
        assert len(libkiv.kiv_status_t.__members__) == 72

    def test_member_behaviour(self):
        assert int(libkiv.KIV_STATUS_SUCCESS) == 0
        assert libkiv.KIV_STATUS_SUCCESS == 0
        assert libkiv.KIV_TENSOR_TYPE_OUTPUT == 1
        assert libkiv.npu is libkiv.device_type_t.npu
        assert libkiv.KIV_IOCTL_GET_VERSION.name == "KIV_IOCTL_GET_VERSION"
        assert libkiv.KIV_IOCTL_GET_VERSION.value == 272
        assert libkiv.kiv_data_type_t(11) == libkiv.KIV_DATA_TYPE_F32
        assert [0, 1, 2][libkiv.KIV_DEV_EXCEPTION] == 2  # usable as an index

    def test_no_bitwise_operators(self):
        with pytest.raises(TypeError):
            libkiv.KIV_JOB_CONFIG_TYPE_DUMP_TEXT | libkiv.KIV_JOB_CONFIG_TYPE_DUMP_INPUT
        flags = int(libkiv.KIV_JOB_CONFIG_TYPE_DUMP_TEXT) | int(libkiv.KIV_JOB_CONFIG_TYPE_DUMP_INPUT)
        assert flags == 17

    def test_unnamed_status_value(self):
        status = libkiv.kiv_status_t(64)
        assert int(status) == 64
        assert isinstance(status, libkiv.kiv_status_t)
        assert status not in libkiv.kiv_status_t.__members__.values()


class TestNpuClass:
    def test_methods_in_registration_order(self):
        names = [n for n in vars(libkiv.NPU) if n.startswith("kiv_")]
        assert names == [m for m, _ in METHODS]

    @pytest.mark.parametrize("name,params", [m for m in METHODS if m[1] is not None])
    def test_parameter_names_types_and_defaults(self, name, params):
        method = getattr(libkiv.NPU, name)
        assert signature_params(method.__doc__, name) == params

    def test_ioctl_overloads_in_order(self):
        doc = libkiv.NPU.kiv_ioctl.__doc__
        first = doc.index("1. kiv_ioctl(self: libkiv.NPU, device: libkiv.device_type_t, cmd: int, **kwargs) -> tuple")
        second = doc.index("2. kiv_ioctl(self: libkiv.NPU, device: libkiv.device_type_t, cmd: int, "
                           "py_arg: Dict[str, int], data: object) -> libkiv.kiv_status_t")
        assert first < second

    def test_constructor_takes_no_arguments(self):
        libkiv.NPU()
        with pytest.raises(TypeError):
            libkiv.NPU(1)

    def test_enumeration_parameters_refuse_plain_ints(self):
        npu = libkiv.NPU()
        with pytest.raises(TypeError):
            npu.kiv_get_tensor_count(0, 1)
        with pytest.raises(TypeError):
            npu.kiv_ioctl(1, 255)

    def test_integer_parameters_check_their_width(self):
        npu = libkiv.NPU()
        for bad in ((-1,), (1 << 64,), (1.0,), ("1",)):
            with pytest.raises(TypeError):
                npu.kiv_unload_graph(*bad)
        with pytest.raises(TypeError):
            npu.kiv_job_infer_sync(1, 1 << 31)
        with pytest.raises(TypeError):
            npu.kiv_get_tensor_descriptor(0, libkiv.KIV_TENSOR_TYPE_INPUT, 1 << 32)

    def test_not_callable_callback_is_a_type_error(self, standin):
        npu = libkiv.NPU()
        with pytest.raises(TypeError):
            npu.kiv_job_infer_async(1, 5)
        assert standin.last_call("aipu_flush_job") is None

    def test_methods_are_instance_methods(self):
        assert inspect.isroutine(libkiv.NPU.kiv_init_context)
        with pytest.raises(TypeError):
            libkiv.NPU.kiv_init_context()
