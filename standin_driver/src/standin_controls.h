// Failure injection for context open/close, set by the test controls or by
// environment variables read at each call, and a short-writing get_tensor.
#ifndef STANDIN_CONTROLS_H
#define STANDIN_CONTROLS_H

#include <cstdint>

namespace standin {

void set_forced_init_status(uint32_t status);
void set_forced_deinit_status(uint32_t status);

// The status to fail with instead of doing the work, 0 for none.
uint32_t forced_init_status();
uint32_t forced_deinit_status();

// At most this many bytes of a tensor are written by aipu_get_tensor.
void set_tensor_write_limit(uint32_t bytes);
uint32_t tensor_write_limit();

}  // namespace standin

#endif  // STANDIN_CONTROLS_H
