// JSON views of the option records that cross the driver boundary, for the
// call recorder. Each reads only what the record's own fields say exists.
#ifndef STANDIN_RECORD_DECODERS_H
#define STANDIN_RECORD_DECODERS_H

#include <cstddef>
#include <cstdint>
#include <string>

#include <nlohmann/json.hpp>

#include "aipu_driver.h"

namespace standin {

std::string to_hex(const void* data, size_t size);
std::string pointer_text(const void* p);
// A caller's C string, or null; at most 4096 bytes are read.
nlohmann::json text_or_null(const char* s);

nlohmann::json describe_load_graph_config(const aipu_load_graph_config_t* config);
nlohmann::json describe_create_job_config(const aipu_create_job_cfg_t* config);
nlohmann::json describe_dump_config(const aipu_job_config_dump_t* config);
nlohmann::json describe_ioctl(uint32_t cmd, const void* arg);
nlohmann::json describe_shared_tensor(const aipu_shared_tensor_info_t* info);

}  // namespace standin

#endif  // STANDIN_RECORD_DECODERS_H
