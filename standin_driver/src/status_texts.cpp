#include "status_texts.h"

#include "aipu_driver.h"

namespace standin {

const char* status_text(uint32_t status) {
    switch (status) {
#define STANDIN_STATUS_CASE(name, value, text) \
    case value:                                \
        return text;
        AIPU_DRIVER_STATUS_LIST(STANDIN_STATUS_CASE)
        AIPU_RUNTIME_STATUS_LIST(STANDIN_STATUS_CASE)
#undef STANDIN_STATUS_CASE
        default:
            return "unknown status";
    }
}

}  // namespace standin
