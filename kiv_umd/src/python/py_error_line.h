// How a method reports a failed runtime call: its error line on standard
// error ("[PY UMD ERROR] <function>: <status text>"), the status passed
// through unchanged.
#ifndef KIV_PY_ERROR_LINE_H
#define KIV_PY_ERROR_LINE_H

#include "py_npu.h"

namespace aipudrv {

// A failed call prints its error line; the status passes through.
inline kiv_status_t reported(NPU& npu, const char* call, kiv_status_t status) {
    if (status != KIV_STATUS_SUCCESS) npu.print_error_line(call, status);
    return status;
}

}  // namespace aipudrv

#endif  // KIV_PY_ERROR_LINE_H
