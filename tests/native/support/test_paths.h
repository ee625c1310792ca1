// Locations of the build products the tests load or run.
#ifndef KIV_TEST_PATHS_H
#define KIV_TEST_PATHS_H

#include <string>

inline std::string standin_library_path() {
    return std::string(KIV_BUILD_DIR) + "/standin/libaipudrv.so";
}
// A stand-in built without the entry point `entry` (one of
// kStandinOmittedEntries).
inline std::string library_without(const std::string& entry) {
    return std::string(KIV_BUILD_DIR) + "/testlibs/libaipudrv_without_" + entry + ".so";
}
// The entry points the test variants of the stand-in lack: the first, the
// second, two in the middle and the last of the 28.
inline const char* const kStandinOmittedEntries[] = {"aipu_init_context", "aipu_deinit_context", "aipu_finish_job",
                                                     "aipu_add_batch", "aipu_specify_iobuf"};
inline std::string probe_path(const char* name) {
    return std::string(KIV_PROBE_DIR) + "/" + name;
}

#endif  // KIV_TEST_PATHS_H
