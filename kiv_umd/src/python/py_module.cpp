// Entry of the Python module libkiv. Types become module attributes in the
// order they are registered here, and Python code may rely on that order, so
// the sequence in PYBIND11_MODULE is part of the module's interface. Every
// docstring is the type stub's (libkiv_stub_docs.h, made from libkiv.pyi).
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "libkiv_stub_docs.h"
#include "py_npu.h"
#include "py_records.h"

namespace aipudrv {

// What Python sees as kiv_context_t: a handle that starts out null.
struct kiv_context_handle_t {
    kiv_context* handle = nullptr;
};

namespace {

void register_context_handle(py::module_& m) {
    py::class_<kiv_context_handle_t>(m, "kiv_context_t", stub_doc::kiv_context_t).def(py::init<>());
}

void register_device_status(py::module_& m) {
    py::enum_<kiv_device_status_t> status(m, "kiv_device_status_t", stub_doc::kiv_device_status_t);
#define KIV_REGISTER_DEVICE_STATUS(name, code) \
    status.value("KIV_DEV_" #name, KIV_DEV_##name, stub_doc::kiv_device_status_t_KIV_DEV_##name);
    AIPU_DEVICE_STATUS_LIST(KIV_REGISTER_DEVICE_STATUS)
#undef KIV_REGISTER_DEVICE_STATUS
    status.export_values();
}

void register_data_type(py::module_& m) {
    py::enum_<kiv_data_type_t> data_type(m, "kiv_data_type_t", stub_doc::kiv_data_type_t);
#define KIV_REGISTER_DATA_TYPE(name, code, bytes, numpy_name) \
    data_type.value("KIV_DATA_TYPE_" #name, KIV_DATA_TYPE_##name, stub_doc::kiv_data_type_t_KIV_DATA_TYPE_##name);
    AIPU_DATA_TYPE_LIST(KIV_REGISTER_DATA_TYPE)
#undef KIV_REGISTER_DATA_TYPE
    data_type.export_values();
}

void register_tensor_type(py::module_& m) {
    py::enum_<tensor_type_t> type(m, "tensor_type_t", stub_doc::tensor_type_t);
#define KIV_REGISTER_TENSOR_TYPE(name, code) \
    type.value("KIV_TENSOR_TYPE_" #name, KIV_TENSOR_TYPE_##name, stub_doc::tensor_type_t_KIV_TENSOR_TYPE_##name);
    AIPU_TENSOR_TYPE_LIST(KIV_REGISTER_TENSOR_TYPE)
#undef KIV_REGISTER_TENSOR_TYPE
    type.export_values();
}

void register_tensor_desc(py::module_& m) {
    py::class_<tensor_desc_t>(m, "tensor_desc_t", stub_doc::tensor_desc_t)
        .def(py::init<>())
        .def_readwrite("id", &tensor_desc_t::id, stub_doc::tensor_desc_t_id)
        .def_readwrite("size", &tensor_desc_t::size, stub_doc::tensor_desc_t_size)
        .def_readwrite("scale", &tensor_desc_t::scale, stub_doc::tensor_desc_t_scale)
        .def_readwrite("zero_point", &tensor_desc_t::zero_point, stub_doc::tensor_desc_t_zero_point)
        .def_readwrite("data_type", &tensor_desc_t::data_type, stub_doc::tensor_desc_t_data_type);
}

void register_job_status(py::module_& m) {
    py::enum_<job_status_t> status(m, "kiv_job_status_t", stub_doc::kiv_job_status_t);
#define KIV_REGISTER_JOB_STATUS(name, code) \
    status.value("KIV_JOB_STATUS_" #name, KIV_JOB_STATUS_##name, stub_doc::kiv_job_status_t_KIV_JOB_STATUS_##name);
    AIPU_JOB_STATUS_LIST(KIV_REGISTER_JOB_STATUS)
#undef KIV_REGISTER_JOB_STATUS
    status.export_values();
}

void register_config_type(py::module_& m) {
    py::enum_<kiv_config_type_t> type(m, "kiv_config_type_t", stub_doc::kiv_config_type_t);
#define KIV_REGISTER_CONFIG_TYPE(name, code) \
    type.value("KIV_" #name, KIV_##name, stub_doc::kiv_config_type_t_KIV_##name);
    AIPU_CONFIG_TYPE_LIST(KIV_REGISTER_CONFIG_TYPE)
#undef KIV_REGISTER_CONFIG_TYPE
    type.export_values();
}

void register_dump_config(py::module_& m) {
    using W = kiv_job_config_dump_wrapper_t;
    py::class_<W>(m, "job_config_dump_t", stub_doc::job_config_dump_t)
        .def(py::init<>())
        .def_readwrite("dump_dir", &W::dump_dir, stub_doc::job_config_dump_t_dump_dir)
        .def_readwrite("prefix", &W::prefix, stub_doc::job_config_dump_t_prefix)
        .def_readwrite("output_prefix", &W::output_prefix, stub_doc::job_config_dump_t_output_prefix)
        .def_readwrite("misc_prefix", &W::misc_prefix, stub_doc::job_config_dump_t_misc_prefix);
}

void register_job_simulation_config(py::module_& m) {
    using W = kiv_job_config_simulation_wrapper_t;
    py::class_<W>(m, "job_config_simulation_t", stub_doc::job_config_simulation_t)
        .def(py::init<>())
        .def_readwrite("data_dir", &W::data_dir, stub_doc::job_config_simulation_t_data_dir);
}

void register_global_simulation_config(py::module_& m) {
    using W = kiv_global_config_simulation_wrapper_t;
    py::class_<W>(m, "aipu_global_config_simulation_t", stub_doc::aipu_global_config_simulation_t)
        .def(py::init<>())
        .def_readwrite("simulator", &W::simulator, stub_doc::aipu_global_config_simulation_t_simulator)
        .def_readwrite("log_file_path", &W::log_file_path, stub_doc::aipu_global_config_simulation_t_log_file_path)
        .def_readwrite("npu_arch_desc", &W::npu_arch_desc, stub_doc::aipu_global_config_simulation_t_npu_arch_desc)
        .def_readwrite("plugin_name", &W::plugin_name, stub_doc::aipu_global_config_simulation_t_plugin_name)
        .def_readwrite("json_filename", &W::json_filename, stub_doc::aipu_global_config_simulation_t_json_filename)
        .def_readwrite("log_level", &W::log_level, stub_doc::aipu_global_config_simulation_t_log_level)
        .def_readwrite("gm_size", &W::gm_size, stub_doc::aipu_global_config_simulation_t_gm_size)
        .def_readwrite("verbose", &W::verbose, stub_doc::aipu_global_config_simulation_t_verbose)
        .def_readwrite("enable_avx", &W::enable_avx, stub_doc::aipu_global_config_simulation_t_enable_avx)
        .def_readwrite("enable_calloc", &W::enable_calloc, stub_doc::aipu_global_config_simulation_t_enable_calloc)
        .def_readwrite("en_eval", &W::en_eval, stub_doc::aipu_global_config_simulation_t_en_eval)
        .def_readwrite("en_l2d", &W::en_l2d, stub_doc::aipu_global_config_simulation_t_en_l2d)
        .def_readwrite("en_fast_perf", &W::en_fast_perf, stub_doc::aipu_global_config_simulation_t_en_fast_perf)
        .def_readwrite("freq_mhz", &W::freq_mhz, stub_doc::aipu_global_config_simulation_t_freq_mhz)
        .def_readwrite("ddr_latency_rd", &W::ddr_latency_rd, stub_doc::aipu_global_config_simulation_t_ddr_latency_rd)
        .def_readwrite("ddr_latency_wr", &W::ddr_latency_wr, stub_doc::aipu_global_config_simulation_t_ddr_latency_wr)
        .def_readwrite("ddr_bw", &W::ddr_bw, stub_doc::aipu_global_config_simulation_t_ddr_bw)
        .def_readwrite("ddr_bw_ratio", &W::ddr_bw_ratio, stub_doc::aipu_global_config_simulation_t_ddr_bw_ratio)
        .def_readwrite("perf_report", &W::perf_report, stub_doc::aipu_global_config_simulation_t_perf_report);
}

void register_driver_records(py::module_& m) {
    py::class_<aipu_global_config_hw_t>(m, "aipu_global_config_hw_t", stub_doc::aipu_global_config_hw_t)
        .def(py::init<>())
        .def_readwrite("poll_in_commit_thread", &aipu_global_config_hw_t::poll_in_commit_thread,
                       stub_doc::aipu_global_config_hw_t_poll_in_commit_thread);
    py::class_<aipu_core_info>(m, "aipu_core_info_t", stub_doc::aipu_core_info_t)
        .def(py::init<>())
        .def_readwrite("reg_base", &aipu_core_info::reg_base, stub_doc::aipu_core_info_t_reg_base);
    py::class_<aipu_bin_buildversion>(m, "aipu_bin_buildversion_t", stub_doc::aipu_bin_buildversion_t)
        .def(py::init<>())
        .def_readwrite("graph_id", &aipu_bin_buildversion::graph_id, stub_doc::aipu_bin_buildversion_t_graph_id)
        .def_readwrite("aipubin_buildversion", &aipu_bin_buildversion::aipubin_buildversion,
                       stub_doc::aipu_bin_buildversion_t_aipubin_buildversion);
}

void register_dynshape_records(py::module_& m) {
    using Num = kiv_dynshape_num_wrapper_t;
    py::class_<Num>(m, "aipu_dynshape_num_t", stub_doc::aipu_dynshape_num_t)
        .def(py::init<>())
        .def_readwrite("graph_id", &Num::graph_id, stub_doc::aipu_dynshape_num_t_graph_id)
        .def_readwrite("ds_num", &Num::ds_num, stub_doc::aipu_dynshape_num_t_ds_num);
    using DimNum = kiv_dynshape_dim_num_wrapper_t;
    py::class_<DimNum>(m, "aipu_dynshape_dim_num_t", stub_doc::aipu_dynshape_dim_num_t)
        .def(py::init<>())
        .def_readwrite("graph_id", &DimNum::graph_id, stub_doc::aipu_dynshape_dim_num_t_graph_id)
        .def_readwrite("ds_idx", &DimNum::ds_idx, stub_doc::aipu_dynshape_dim_num_t_ds_idx)
        .def_readwrite("max_threshhold", &DimNum::max_threshhold, stub_doc::aipu_dynshape_dim_num_t_max_threshhold)
        .def_readwrite("ds_dim_num", &DimNum::ds_dim_num, stub_doc::aipu_dynshape_dim_num_t_ds_dim_num);
    using Info = kiv_dynshape_info_wrapper_t;
    py::class_<Info>(m, "aipu_dynshape_info_t", stub_doc::aipu_dynshape_info_t)
        .def(py::init<>())
        .def_readwrite("graph_id", &Info::graph_id, stub_doc::aipu_dynshape_info_t_graph_id)
        .def_readwrite("ds_idx", &Info::ds_idx, stub_doc::aipu_dynshape_info_t_ds_idx)
        .def_readwrite("max_threshhold", &Info::max_threshhold, stub_doc::aipu_dynshape_info_t_max_threshhold)
        .def_readwrite("ds_data", &Info::ds_data, stub_doc::aipu_dynshape_info_t_ds_data);
    using Param = kiv_dynshape_param_wrapper_t;
    py::class_<Param>(m, "kiv_dynshape_param_t", stub_doc::kiv_dynshape_param_t)
        .def(py::init<>())
        .def_readwrite("shape_items", &Param::shape_items, stub_doc::kiv_dynshape_param_t_shape_items);
}

void register_load_graph_config(py::module_& m) {
    using W = kiv_load_graph_cfg_wrapper_t;
    py::class_<W>(m, "kiv_load_graph_cfg_t", stub_doc::kiv_load_graph_cfg_t)
        .def(py::init<>())
        .def_readwrite("wt_mem_region", &W::wt_mem_region, stub_doc::kiv_load_graph_cfg_t_wt_mem_region)
        .def_readwrite("wt_idxes", &W::wt_idxes, stub_doc::kiv_load_graph_cfg_t_wt_idxes)
        .def_readwrite("extra_weight_path", &W::extra_weight_path, stub_doc::kiv_load_graph_cfg_t_extra_weight_path);
}

void register_create_job_config(py::module_& m) {
    using W = kiv_create_job_cfg_wrapper_t;
    py::class_<W>(m, "kiv_create_job_cfg_t", stub_doc::kiv_create_job_cfg_t)
        .def(py::init<>())
        .def_readwrite("partition_id", &W::partition_id, stub_doc::kiv_create_job_cfg_t_partition_id)
        .def_readwrite("dbg_dispatch", &W::dbg_dispatch, stub_doc::kiv_create_job_cfg_t_dbg_dispatch)
        .def_readwrite("dbg_core_id", &W::dbg_core_id, stub_doc::kiv_create_job_cfg_t_dbg_core_id)
        .def_readwrite("qos_level", &W::qos_level, stub_doc::kiv_create_job_cfg_t_qos_level)
        .def_readwrite("fm_mem_region", &W::fm_mem_region, stub_doc::kiv_create_job_cfg_t_fm_mem_region)
        .def_readwrite("fm_idxes", &W::fm_idxes, stub_doc::kiv_create_job_cfg_t_fm_idxes)
        .def_property("dynshape", &dynshape_get, &dynshape_set, stub_doc::kiv_create_job_cfg_t_dynshape);
}

void register_ioctl_cmd(py::module_& m) {
    py::enum_<ioctl_cmd_t>(m, "ioctl_cmd_t", stub_doc::ioctl_cmd_t)
        .value("KIV_IOCTL_SET_PROFILE", KIV_IOCTL_SET_PROFILE, stub_doc::ioctl_cmd_t_KIV_IOCTL_SET_PROFILE)
        .value("KIV_IOCTL_GET_KIVBIN_BUILDVERSION", KIV_IOCTL_GET_KIVBIN_BUILDVERSION,
               stub_doc::ioctl_cmd_t_KIV_IOCTL_GET_KIVBIN_BUILDVERSION)
        .value("KIV_IOCTL_GET_DS_NUM", KIV_IOCTL_GET_DS_NUM, stub_doc::ioctl_cmd_t_KIV_IOCTL_GET_DS_NUM)
        .value("KIV_IOCTL_GET_DS_DIM_NUM", KIV_IOCTL_GET_DS_DIM_NUM, stub_doc::ioctl_cmd_t_KIV_IOCTL_GET_DS_DIM_NUM)
        .value("KIV_IOCTL_GET_DS_INFO", KIV_IOCTL_GET_DS_INFO, stub_doc::ioctl_cmd_t_KIV_IOCTL_GET_DS_INFO)
        .value("KIV_IOCTL_ALLOC_SHARE_BUF", KIV_IOCTL_ALLOC_SHARE_BUF, stub_doc::ioctl_cmd_t_KIV_IOCTL_ALLOC_SHARE_BUF)
        .value("KIV_IOCTL_FREE_SHARE_BUF", KIV_IOCTL_FREE_SHARE_BUF, stub_doc::ioctl_cmd_t_KIV_IOCTL_FREE_SHARE_BUF)
        .value("KIV_IOCTL_ALLOC_DMABUF", KIV_IOCTL_ALLOC_DMABUF, stub_doc::ioctl_cmd_t_KIV_IOCTL_ALLOC_DMABUF)
        .value("KIV_IOCTL_FREE_DMABUF", KIV_IOCTL_FREE_DMABUF, stub_doc::ioctl_cmd_t_KIV_IOCTL_FREE_DMABUF)
        .value("KIV_IOCTL_WRITE_DMABUF", KIV_IOCTL_WRITE_DMABUF, stub_doc::ioctl_cmd_t_KIV_IOCTL_WRITE_DMABUF)
        .value("KIV_IOCTL_READ_DMABUF", KIV_IOCTL_READ_DMABUF, stub_doc::ioctl_cmd_t_KIV_IOCTL_READ_DMABUF)
        .value("KIV_IOCTL_ATTACH_DMABUF", KIV_IOCTL_ATTACH_DMABUF, stub_doc::ioctl_cmd_t_KIV_IOCTL_ATTACH_DMABUF)
        .value("KIV_IOCTL_DETACH_DMABUF", KIV_IOCTL_DETACH_DMABUF, stub_doc::ioctl_cmd_t_KIV_IOCTL_DETACH_DMABUF)
        .value("KIV_IOCTL_GET_VERSION", KIV_IOCTL_GET_VERSION, stub_doc::ioctl_cmd_t_KIV_IOCTL_GET_VERSION)
        .export_values();
}

void register_tickcounter(py::module_& m) {
    py::enum_<kiv_ioctl_tickcounter_t>(m, "kiv_ioctl_tickcounter_t", stub_doc::kiv_ioctl_tickcounter_t)
        .value("AIPU_IOCTL_EN_TICK_COUNTER", AIPU_IOCTL_EN_TICK_COUNTER,
               stub_doc::kiv_ioctl_tickcounter_t_AIPU_IOCTL_EN_TICK_COUNTER)
        .value("AIPU_IOCTL_DI_TICK_COUNTER", AIPU_IOCTL_DI_TICK_COUNTER,
               stub_doc::kiv_ioctl_tickcounter_t_AIPU_IOCTL_DI_TICK_COUNTER)
        .export_values();
}

void register_device_type(py::module_& m) {
    py::enum_<device_type_t>(m, "device_type_t", stub_doc::device_type_t)
        .value("cpu", cpu, stub_doc::device_type_t_cpu)
        .value("npu", npu, stub_doc::device_type_t_npu)
        .value("gpu", gpu, stub_doc::device_type_t_gpu)
        .export_values();
}

// The runtime's own codes (64 to 69) stay unnamed: they still come back as
// kiv_status_t objects, with their number as value.
void register_status(py::module_& m) {
    py::enum_<kiv_status_t> status(m, "kiv_status_t", stub_doc::kiv_status_t);
#define KIV_REGISTER_STATUS(name, code, text) \
    status.value("KIV_STATUS_" #name, KIV_STATUS_##name, stub_doc::kiv_status_t_KIV_STATUS_##name);
    AIPU_DRIVER_STATUS_LIST(KIV_REGISTER_STATUS)
#undef KIV_REGISTER_STATUS
    status.export_values();
}

}  // namespace

void register_npu(py::module_& m) {
    py::class_<NPU>(m, "NPU", stub_doc::NPU)
        .def(py::init<>())
        .def("kiv_init_context", &NPU::kiv_init_context, stub_doc::NPU_kiv_init_context)
        .def("kiv_deinit_context", &NPU::kiv_deinit_context, stub_doc::NPU_kiv_deinit_context)
        .def("kiv_get_error_message", &NPU::kiv_get_error_message, stub_doc::NPU_kiv_get_error_message,
             py::arg("status"))
        .def("kiv_load_graph", &NPU::kiv_load_graph, stub_doc::NPU_kiv_load_graph, py::arg("graph_bin"),
             py::arg("cfg") = py::none())
        .def("kiv_unload_graph", &NPU::kiv_unload_graph, stub_doc::NPU_kiv_unload_graph, py::arg("graph_id"))
        .def("kiv_create_job", &NPU::kiv_create_job, stub_doc::NPU_kiv_create_job, py::arg("graph_id"),
             py::arg("cfg") = py::none())
        .def("kiv_config_job", &NPU::kiv_config_job, stub_doc::NPU_kiv_config_job, py::arg("job_id"), py::arg("types"),
             py::arg("cfg"))
        .def("kiv_job_infer_sync", &NPU::kiv_job_infer_sync, stub_doc::NPU_kiv_job_infer_sync, py::arg("job_id"),
             py::arg("time_out") = -1)
        .def("kiv_job_infer_async", &NPU::kiv_job_infer_async, stub_doc::NPU_kiv_job_infer_async, py::arg("job_id"),
             py::arg("py_cb") = py::none())
        .def("kiv_get_job_status", &NPU::kiv_get_job_status, stub_doc::NPU_kiv_get_job_status, py::arg("job_id"),
             py::arg("timeout") = -1)
        .def("kiv_clean_job", &NPU::kiv_clean_job, stub_doc::NPU_kiv_clean_job, py::arg("job_id"))
        .def("kiv_get_tensor_count", &NPU::kiv_get_tensor_count, stub_doc::NPU_kiv_get_tensor_count,
             py::arg("graph_id"), py::arg("type"))
        .def("kiv_get_tensor_shape", &NPU::kiv_get_tensor_shape, stub_doc::NPU_kiv_get_tensor_shape,
             py::arg("zor_model"), py::arg("type"), py::arg("index"))
        .def("kiv_get_tensor_descriptor", &NPU::kiv_get_tensor_descriptor, stub_doc::NPU_kiv_get_tensor_descriptor,
             py::arg("graph_id"), py::arg("type"), py::arg("tensor"))
        .def("kiv_load_tensor_from_file", &NPU::kiv_load_tensor_from_file, stub_doc::NPU_kiv_load_tensor_from_file,
             py::arg("job_id"), py::arg("tensor"), py::arg("filename"))
        .def("kiv_load_tensor", &NPU::kiv_load_tensor, stub_doc::NPU_kiv_load_tensor, py::arg("job_id"),
             py::arg("tensor"), py::arg("hdl"))
        .def("kiv_get_tensor", &NPU::kiv_get_tensor, stub_doc::NPU_kiv_get_tensor, py::arg("job_id"), py::arg("type"),
             py::arg("tensor"))
        // Tried in this order: two positional arguments plus keywords reach
        // the first, the four-argument data form the second.
        .def("kiv_ioctl", &NPU::kiv_ioctl, stub_doc::NPU_kiv_ioctl, py::arg("device"), py::arg("cmd"))
        .def("kiv_ioctl", &NPU::kiv_ioctl_data, py::arg("device"), py::arg("cmd"), py::arg("py_arg"), py::arg("data"))
        .def("kiv_create_batch_queue", &NPU::kiv_create_batch_queue, stub_doc::NPU_kiv_create_batch_queue,
             py::arg("graph_id"))
        .def("kiv_clean_batch_queue", &NPU::kiv_clean_batch_queue, stub_doc::NPU_kiv_clean_batch_queue,
             py::arg("graph_id"), py::arg("queue_id"))
        .def("kiv_config_batch_dump", &NPU::kiv_config_batch_dump, stub_doc::NPU_kiv_config_batch_dump,
             py::arg("graph_id"), py::arg("queue_id"), py::arg("types"), py::arg("dump_cfg") = py::dict())
        .def("kiv_add_batch", &NPU::kiv_add_batch, stub_doc::NPU_kiv_add_batch, py::arg("graph_id"),
             py::arg("queue_id"), py::arg("inputs"), py::arg("outputs"))
        .def("kiv_finish_batch", &NPU::kiv_finish_batch, stub_doc::NPU_kiv_finish_batch, py::arg("graph_id"),
             py::arg("queue_id"), py::arg("cfg") = py::none());
}

}  // namespace aipudrv

// pybind11's entry refuses an interpreter other than the one the module was
// built for with "Python version mismatch: ..." before anything below runs,
// and turns a failure during registration into an ImportError.
PYBIND11_MODULE(libkiv, m) {
    using namespace aipudrv;
    m.doc() = "ZOR KIV UMD python APIs";
    register_context_handle(m);
    register_device_status(m);
    register_data_type(m);
    register_tensor_type(m);
    register_tensor_desc(m);
    register_job_status(m);
    register_config_type(m);
    register_dump_config(m);
    register_job_simulation_config(m);
    register_global_simulation_config(m);
    register_driver_records(m);
    register_dynshape_records(m);
    register_load_graph_config(m);
    register_create_job_config(m);
    register_ioctl_cmd(m);
    register_tickcounter(m);
    register_device_type(m);
    register_status(m);
    register_npu(m);
}
