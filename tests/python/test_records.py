"""Record classes: defaults, property conversion rules, dynshape, wrong classes."""

import pytest

import libkiv

U8 = (0, 255)
U32 = (0, 4294967295)
S32 = (-2147483648, 2147483647)
U64 = (0, 18446744073709551615)

DEFAULTS = {
    "tensor_desc_t": {"id": 0, "size": 0, "scale": 0.0, "zero_point": 0, "data_type": libkiv.KIV_DATA_TYPE_NONE},
    "job_config_dump_t": {"dump_dir": "", "prefix": "", "output_prefix": "", "misc_prefix": ""},
    "job_config_simulation_t": {"data_dir": ""},
    "aipu_global_config_simulation_t": {
        "simulator": "", "log_file_path": "", "npu_arch_desc": "", "plugin_name": "", "json_filename": "",
        "log_level": 0, "gm_size": 0, "verbose": False, "enable_avx": False, "enable_calloc": False,
        "en_eval": False, "en_l2d": False, "en_fast_perf": False, "freq_mhz": 1000, "ddr_latency_rd": 0,
        "ddr_latency_wr": 0, "ddr_bw": 256, "ddr_bw_ratio": 1.0, "perf_report": "",
    },
    "aipu_global_config_hw_t": {"poll_in_commit_thread": False},
    "aipu_core_info_t": {"reg_base": 0},
    "aipu_bin_buildversion_t": {"graph_id": 0, "aipubin_buildversion": 0},
    "aipu_dynshape_num_t": {"graph_id": 0, "ds_num": 0},
    "aipu_dynshape_dim_num_t": {"graph_id": 0, "ds_idx": 0, "max_threshhold": False, "ds_dim_num": []},
    "aipu_dynshape_info_t": {"graph_id": 0, "ds_idx": 0, "max_threshhold": False, "ds_data": []},
    "kiv_dynshape_param_t": {"shape_items": []},
    "kiv_load_graph_cfg_t": {"wt_mem_region": 0, "wt_idxes": [], "extra_weight_path": ""},
    "kiv_create_job_cfg_t": {
        "partition_id": 0, "dbg_dispatch": 0, "dbg_core_id": 0, "qos_level": 0, "fm_mem_region": 0,
        "fm_idxes": [], "dynshape": [],
    },
}

INTEGER_PROPERTIES = [
    ("tensor_desc_t", "id", U32), ("tensor_desc_t", "size", U32), ("tensor_desc_t", "zero_point", S32),
    ("aipu_global_config_simulation_t", "log_level", U32), ("aipu_global_config_simulation_t", "freq_mhz", U32),
    ("aipu_core_info_t", "reg_base", U64), ("aipu_bin_buildversion_t", "graph_id", U64),
    ("aipu_bin_buildversion_t", "aipubin_buildversion", U32), ("aipu_dynshape_num_t", "ds_num", U32),
    ("aipu_dynshape_dim_num_t", "ds_idx", U32), ("kiv_load_graph_cfg_t", "wt_mem_region", U8),
    ("kiv_create_job_cfg_t", "partition_id", U8), ("kiv_create_job_cfg_t", "dbg_dispatch", U8),
    ("kiv_create_job_cfg_t", "dbg_core_id", U8), ("kiv_create_job_cfg_t", "qos_level", U8),
    ("kiv_create_job_cfg_t", "fm_mem_region", U8),
]

LIST_PROPERTIES = [
    ("aipu_dynshape_dim_num_t", "ds_dim_num", U32), ("aipu_dynshape_info_t", "ds_data", U32),
    ("kiv_load_graph_cfg_t", "wt_idxes", S32), ("kiv_create_job_cfg_t", "fm_idxes", S32),
]


class TestDefaults:
    def test_every_record_class_is_covered(self):
        records = [n for n, v in vars(libkiv).items()
                   if isinstance(v, type) and not hasattr(v, "__members__") and n != "NPU"]
        assert sorted(records) == sorted(list(DEFAULTS) + ["kiv_context_t"])

    @pytest.mark.parametrize("name", sorted(DEFAULTS))
    def test_defaults_and_property_names(self, name):
        record = getattr(libkiv, name)()
        values = {prop: getattr(record, prop) for prop in DEFAULTS[name]}
        assert values == DEFAULTS[name]
        declared = [n for n, v in vars(type(record)).items() if isinstance(v, property)]
        assert declared == list(DEFAULTS[name])

    @pytest.mark.parametrize("name", sorted(DEFAULTS) + ["kiv_context_t"])
    def test_constructor_takes_no_arguments(self, name):
        with pytest.raises(TypeError):
            getattr(libkiv, name)(0)

    def test_context_handle_has_no_properties(self):
        handle = libkiv.kiv_context_t()
        assert [n for n, v in vars(libkiv.kiv_context_t).items() if isinstance(v, property)] == []
        assert isinstance(handle, libkiv.kiv_context_t)

    def test_records_are_independent(self):
        a, b = libkiv.kiv_create_job_cfg_t(), libkiv.kiv_create_job_cfg_t()
        a.qos_level = 3
        assert b.qos_level == 0


class TestScalarProperties:
    @pytest.mark.parametrize("cls,prop,bounds", INTEGER_PROPERTIES)
    def test_integer_range(self, cls, prop, bounds):
        record = getattr(libkiv, cls)()
        low, high = bounds
        for value in (low, high):
            setattr(record, prop, value)
            assert getattr(record, prop) == value
        setattr(record, prop, 7)
        for bad in (low - 1, high + 1, 7.5, 1.0, "3", None):
            with pytest.raises(TypeError):
                setattr(record, prop, bad)
            assert getattr(record, prop) == 7

    def test_integer_takes_enumeration_member(self):
        cfg = libkiv.kiv_create_job_cfg_t()
        cfg.qos_level = libkiv.KIV_DEV_EXCEPTION
        assert cfg.qos_level == 2
        assert type(cfg.qos_level) is int

    def test_value_stored_unchanged_beyond_bit_width(self):
        cfg = libkiv.kiv_create_job_cfg_t()
        cfg.partition_id = 17
        assert cfg.partition_id == 17

    def test_float_properties(self):
        sim = libkiv.aipu_global_config_simulation_t()
        sim.ddr_bw_ratio = 2
        assert sim.ddr_bw_ratio == 2.0
        sim.ddr_bw_ratio = 0.5
        assert sim.ddr_bw_ratio == 0.5
        with pytest.raises(TypeError):
            sim.ddr_bw_ratio = "1.0"
        desc = libkiv.tensor_desc_t()
        desc.scale = 0.25
        assert desc.scale == 0.25

    def test_bool_properties_take_truth_values(self):
        sim = libkiv.aipu_global_config_simulation_t()
        sim.verbose = True
        assert sim.verbose is True
        sim.verbose = None
        assert sim.verbose is False
        sim.en_l2d = 5
        assert sim.en_l2d is True
        sim.en_l2d = 0.0
        assert sim.en_l2d is False
        with pytest.raises(TypeError):
            sim.en_l2d = "yes"
        hw = libkiv.aipu_global_config_hw_t()
        hw.poll_in_commit_thread = True
        assert hw.poll_in_commit_thread is True

    def test_data_type_takes_members_only(self):
        desc = libkiv.tensor_desc_t()
        desc.data_type = libkiv.KIV_DATA_TYPE_F32
        assert desc.data_type == libkiv.KIV_DATA_TYPE_F32
        with pytest.raises(TypeError):
            desc.data_type = 11
        assert desc.data_type == libkiv.KIV_DATA_TYPE_F32

    def test_text_properties(self):
        dump = libkiv.job_config_dump_t()
        dump.dump_dir = "/tmp/dü"
        assert dump.dump_dir == "/tmp/dü"
        dump.prefix = b"raw"
        assert dump.prefix == "raw" and type(dump.prefix) is str
        long_text = "x" * 10000
        dump.misc_prefix = long_text
        assert dump.misc_prefix == long_text
        with pytest.raises(TypeError):
            dump.prefix = 5
        assert dump.prefix == "raw"


class TestListProperties:
    @pytest.mark.parametrize("cls,prop,bounds", LIST_PROPERTIES)
    def test_list_rules(self, cls, prop, bounds):
        record = getattr(libkiv, cls)()
        low, high = bounds
        setattr(record, prop, (1, 2))
        assert getattr(record, prop) == [1, 2]
        getattr(record, prop).append(3)
        assert getattr(record, prop) == [1, 2]
        assert getattr(record, prop) is not getattr(record, prop)
        setattr(record, prop, range(1000))
        assert getattr(record, prop) == list(range(1000))
        setattr(record, prop, [low, high])
        assert getattr(record, prop) == [low, high]
        for bad in ("12", b"12", [high + 1], [low - 1], [1.5], 5):
            with pytest.raises(TypeError):
                setattr(record, prop, bad)
            assert getattr(record, prop) == [low, high]
        setattr(record, prop, [])
        assert getattr(record, prop) == []

    def test_nested_shape_items(self):
        param = libkiv.kiv_dynshape_param_t()
        param.shape_items = [(1, 2), [3]]
        assert param.shape_items == [[1, 2], [3]]
        param.shape_items[0].append(9)
        assert param.shape_items == [[1, 2], [3]]
        with pytest.raises(TypeError):
            param.shape_items = [[-1]]
        assert param.shape_items == [[1, 2], [3]]


NEST_MESSAGE = "please provide list nest for dynamic input shape, even if there is only 1 input"


class TestDynshape:
    def test_round_trip(self):
        cfg = libkiv.kiv_create_job_cfg_t()
        cfg.dynshape = [[1, 224, 224, 3]]
        assert cfg.dynshape == [[1, 224, 224, 3]]
        cfg.dynshape = [[1, 3, 224, 224], [], [4294967295]]
        assert cfg.dynshape == [[1, 3, 224, 224], [], [4294967295]]

    def test_reads_are_new_lists(self):
        cfg = libkiv.kiv_create_job_cfg_t()
        cfg.dynshape = [[1, 2]]
        read = cfg.dynshape
        read[0].append(3)
        read.append([4])
        assert cfg.dynshape == [[1, 2]]

    def test_items_that_are_not_lists_are_skipped_with_a_message(self, capfd):
        cfg = libkiv.kiv_create_job_cfg_t()
        cfg.dynshape = [[1, 2], 5, [3]]
        assert cfg.dynshape == [[1, 2], [3]]
        assert capfd.readouterr().err == NEST_MESSAGE
        cfg.dynshape = [(1, 2), "ab"]
        assert cfg.dynshape == []
        assert capfd.readouterr().err == NEST_MESSAGE * 2

    def test_only_a_list_is_taken(self):
        cfg = libkiv.kiv_create_job_cfg_t()
        cfg.dynshape = [[7]]
        with pytest.raises(TypeError):
            cfg.dynshape = ((1, 2),)
        assert cfg.dynshape == [[7]]

    @pytest.mark.parametrize("bad", [[[1, -1]], [[1 << 32]], [[1.5]], [["1"]], [[1], [None]]])
    def test_bad_element_keeps_the_old_value(self, bad):
        cfg = libkiv.kiv_create_job_cfg_t()
        cfg.dynshape = [[7, 8]]
        with pytest.raises(RuntimeError) as error:
            cfg.dynshape = bad
        assert "unsigned int" in str(error.value)
        assert cfg.dynshape == [[7, 8]]

    def test_empty_list_clears(self):
        cfg = libkiv.kiv_create_job_cfg_t()
        cfg.dynshape = [[1]]
        cfg.dynshape = []
        assert cfg.dynshape == []


class TestWrongConfigurationClass:
    """Configuration arguments are cast to the wrapper class before any runtime call."""

    def test_cast_text_names_both_types(self, standin):
        npu = libkiv.NPU()
        with pytest.raises(RuntimeError) as error:
            npu.kiv_config_job(1, 0, libkiv.job_config_simulation_t())
        assert "aipudrv::kiv_job_config_dump_wrapper_t" in str(error.value)
        assert "job_config_simulation_t" in str(error.value)
        with pytest.raises(RuntimeError) as error:
            npu.kiv_create_job(1, libkiv.kiv_load_graph_cfg_t())
        assert "aipudrv::kiv_create_job_cfg_wrapper_t" in str(error.value)
        with pytest.raises(RuntimeError) as error:
            npu.kiv_load_graph("/nonexistent.zor", {})
        assert "aipudrv::kiv_load_graph_cfg_wrapper_t" in str(error.value)
        assert "dict" in str(error.value)
        assert standin.last_call("aipu_config_job") is None
        assert standin.last_call("aipu_create_job") is None

    def test_none_where_no_rule_exists_has_empty_text(self):
        npu = libkiv.NPU()
        with pytest.raises(RuntimeError) as error:
            npu.kiv_config_job(1, 0, None)
        assert str(error.value) == ""

    def test_subclass_is_accepted(self, npu):
        class Dump(libkiv.job_config_dump_t):
            pass

        status = npu.kiv_config_job(12345, 0, Dump())
        assert isinstance(status, libkiv.kiv_status_t)
