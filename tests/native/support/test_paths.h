// Locations of the build products the tests load or run.
#ifndef KIV_TEST_PATHS_H
#define KIV_TEST_PATHS_H

#include <string>

inline std::string standin_library_path() {
    return std::string(KIV_BUILD_DIR) + "/libaipudrv.so";
}
inline std::string no_iobuf_library_path() {
    return std::string(KIV_BUILD_DIR) + "/testlibs/libaipudrv_no_iobuf.so";
}
inline std::string probe_path(const char* name) {
    return std::string(KIV_PROBE_DIR) + "/" + name;
}

#endif  // KIV_TEST_PATHS_H
