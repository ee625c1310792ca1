// The options a caller gives a graph or a job, checked against this device:
// the partition, core, QoS level and memory regions it has, and the weights
// and feature maps (constant and temporary tensors) of the program.
#ifndef STANDIN_JOB_OPTIONS_H
#define STANDIN_JOB_OPTIONS_H

#include <cstdint>

#include "aipu_driver.h"
#include "job.h"
#include "program.h"

namespace standin {

// The placement that create-job `options` (null: none) ask for, in `out`;
// 0, or the status that refuses them.
uint32_t placement_of(const aipu_create_job_cfg_t* options, const Program& program, Placement& out);

// 0 when the load-graph `options` (null: none) suit `program`, else the
// status that refuses them. An extra weight file is read whole.
uint32_t check_load_options(const aipu_load_graph_cfg_t* options, const Program& program);

}  // namespace standin

#endif  // STANDIN_JOB_OPTIONS_H
