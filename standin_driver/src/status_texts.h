// Human-readable texts for driver statuses.
#ifndef STANDIN_STATUS_TEXTS_H
#define STANDIN_STATUS_TEXTS_H

#include <cstdint>

namespace standin {

// A static text for every status value; unnamed values share one generic text.
const char* status_text(uint32_t status);

}  // namespace standin

#endif  // STANDIN_STATUS_TEXTS_H
