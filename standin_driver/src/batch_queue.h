// A batch queue: sets of caller-owned input and output buffers queued for
// one graph and run together by aipu_finish_batch.
#ifndef STANDIN_BATCH_QUEUE_H
#define STANDIN_BATCH_QUEUE_H

#include <cstdint>
#include <memory>
#include <vector>

#include "program.h"
#include "tensor_dump.h"

namespace standin {

struct BatchQueue {
    struct Entry {
        std::vector<const char*> inputs;
        std::vector<char*> outputs;
    };
    uint32_t id = 0;
    uint64_t graph_id = 0;
    std::shared_ptr<const Program> program;
    std::vector<Entry> entries;
    DumpConfig dump;
    uint32_t runs = 0;  // batches finished so far, numbers the dump files
};

}  // namespace standin

#endif  // STANDIN_BATCH_QUEUE_H
