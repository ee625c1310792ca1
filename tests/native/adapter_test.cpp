#include <gtest/gtest.h>

#include <dlfcn.h>

#include <string>
#include <vector>

#include "aipu_adapter.h"
#include "aipu_adapter_impl.h"
#include "env_guard.h"
#include "kiv_log.h"
#include "loader_spy.h"
#include "standin_controls.h"
#include "standin_test.h"
#include "stderr_capture.h"
#include "temp_files.h"
#include "test_paths.h"

namespace {

class AdapterTest : public StandinTest {};

bool all_entries_unbound(const AipuEntryTable& table) {
    const auto* slot = reinterpret_cast<void* const*>(&table);
    static_assert(sizeof(AipuEntryTable) == 28 * sizeof(void*), "28 entry points");
    for (size_t i = 0; i < 28; ++i) {
        if (slot[i] != nullptr) return false;
    }
    return true;
}

bool all_entries_bound(const AipuEntryTable& table) {
    const auto* slot = reinterpret_cast<void* const*>(&table);
    for (size_t i = 0; i < 28; ++i) {
        if (slot[i] == nullptr) return false;
    }
    return true;
}

}  // namespace

// Without AIPU_LIB_PATH the default name goes to the loader's search alone:
// the stand-in in the build tree is not on it, so nothing is found here.
TEST_F(AdapterTest, DefaultLibraryNameIsLeftToTheLoaderSearch) {
    EnvGuard unset("AIPU_LIB_PATH", nullptr);
    AipuAdapter::Impl impl;
    StderrCapture capture;
    EXPECT_FALSE(impl.load_aipu_library());
    EXPECT_EQ(impl.load_error,
              "Failed to load backend: libaipudrv.so: cannot open shared object file: "
              "No such file or directory");
    capture.finish();
    EXPECT_EQ(standin_.open_context_count(), base_contexts_);
}

TEST_F(AdapterTest, NamedLibraryIsOpened) {
    AipuAdapter adapter;
    EXPECT_EQ(adapter.library_file(), "");
    ASSERT_EQ(adapter.init_context(), KIV_STATUS_SUCCESS);
    EXPECT_EQ(standin_.open_context_count(), base_contexts_ + 1);
    // The file the loader mapped, and what it exports beside the entry points.
    EXPECT_EQ(adapter.library_file(), standin_library_path());
    EXPECT_TRUE(adapter.exports("aipu_standin_open_context_count"));
    EXPECT_FALSE(adapter.exports("aipu_no_such_entry_point"));
    EXPECT_EQ(adapter.deinit_context(), KIV_STATUS_SUCCESS);
    EXPECT_EQ(standin_.open_context_count(), base_contexts_);
    EXPECT_EQ(adapter.library_file(), "");
}

TEST_F(AdapterTest, LoadBindsEveryEntryPointInTableOrder) {
    AipuAdapter::Impl impl;
    ASSERT_TRUE(impl.load_aipu_library());
    EXPECT_TRUE(all_entries_bound(impl.entries));
    // Spot-check that slots hold the entry points named for them.
    void* library = dlopen(standin_library_path().c_str(), RTLD_LAZY | RTLD_NOLOAD);
    ASSERT_NE(library, nullptr);
    EXPECT_EQ(reinterpret_cast<void*>(impl.entries.finish_job), dlsym(library, "aipu_finish_job"));
    EXPECT_EQ(reinterpret_cast<void*>(impl.entries.flush_job), dlsym(library, "aipu_flush_job"));
    EXPECT_EQ(reinterpret_cast<void*>(impl.entries.clean_job), dlsym(library, "aipu_clean_job"));
    EXPECT_EQ(reinterpret_cast<void*>(impl.entries.specify_iobuf), dlsym(library, "aipu_specify_iobuf"));
    dlclose(library);
    impl.unload_library();
    EXPECT_TRUE(all_entries_unbound(impl.entries));
}

TEST_F(AdapterTest, MissingLibraryIsReportedWithTheLoaderText) {
    EnvGuard path("AIPU_LIB_PATH", "/nonexistent/driver.so");
    AipuAdapter::Impl impl;
    StderrCapture capture;
    EXPECT_FALSE(impl.load_aipu_library());
    const std::string text = capture.finish();
    EXPECT_EQ(impl.load_error.rfind("Failed to load backend: /nonexistent/driver.so", 0), 0u) << impl.load_error;
    EXPECT_TRUE(matches_whole(
        text, log_record_pattern("aipu_adapter", "ERROR", "load_aipu_library: " + impl.load_error + "\n")))
        << text;
    EXPECT_EQ(impl.library, nullptr);

    DriverLoadFailure failure;
    AipuAdapter adapter({}, &failure);
    StderrCapture silent_adapter;
    EXPECT_EQ(adapter.init_context(), KIV_STATUS_ERROR_BACKEND_LOAD_FAIL);
    EXPECT_EQ(failure.library, "/nonexistent/driver.so");
    EXPECT_EQ("Failed to load backend: " + failure.loader_error, impl.load_error);
    EXPECT_TRUE(failure.missing.empty());
    EXPECT_TRUE(matches_whole(
        silent_adapter.finish(),
        log_record_pattern("aipu_adapter", "ERROR", "load_aipu_library: Failed to load backend: ") + "[^\n]*\n"));
}

// Whichever name is missing, the first, one in the middle or the last, the
// library is rejected, named by that name, closed and nothing stays bound.
TEST_F(AdapterTest, LibraryLackingOneEntryPointIsRejectedAsAWhole) {
    for (const std::string entry : kStandinOmittedEntries) {
        EnvGuard path("AIPU_LIB_PATH", library_without(entry).c_str());
        AipuAdapter::Impl impl;
        StderrCapture capture;
        EXPECT_FALSE(impl.load_aipu_library()) << entry;
        const std::string text = capture.finish();
        EXPECT_EQ(impl.load_error.rfind("Failed to load symbols: ", 0), 0u) << impl.load_error;
        EXPECT_NE(impl.load_error.find("undefined symbol: " + entry), std::string::npos) << impl.load_error;
        EXPECT_TRUE(matches_whole(
            text, log_record_pattern("aipu_adapter", "ERROR", "load_aipu_library: " + impl.load_error + "\n")))
            << text;
        EXPECT_EQ(impl.library, nullptr);
        EXPECT_TRUE(all_entries_unbound(impl.entries)) << entry;
        EXPECT_EQ(loader_spy_open_count(library_without(entry)), 0) << entry;

        // The failure names the library and the missing entry point alone.
        DriverLoadFailure failure;
        AipuAdapter adapter(library_without(entry), &failure);
        StderrCapture silent_adapter;
        EXPECT_EQ(adapter.init_context(), KIV_STATUS_ERROR_BACKEND_LOAD_FAIL);
        EXPECT_EQ(failure.library, library_without(entry));
        EXPECT_EQ("Failed to load symbols: " + failure.loader_error, impl.load_error);
        EXPECT_EQ(failure.missing, std::vector<std::string>{entry});
    }
}

TEST_F(AdapterTest, DriverRefusingInitUnloadsTheLibrary) {
    TempFile copy(".so");
    copy.copy_from(standin_library_path());
    EnvGuard path("AIPU_LIB_PATH", copy.path().c_str());
    EnvGuard refuse("AIPU_STANDIN_INIT_STATUS", "3");
    AipuAdapter adapter;
    StderrCapture capture;
    EXPECT_EQ(adapter.init_context(), KIV_STATUS_ERROR_OPEN_DEV_FAIL);
    EXPECT_EQ(capture.finish(), "");
    EXPECT_EQ(loader_spy_open_count(copy.path()), 0);
    // Nothing open, so closing has nothing to do.
    EXPECT_EQ(adapter.deinit_context(), KIV_STATUS_ERROR_INVALID_HANDLE);
}

TEST_F(AdapterTest, OperationsWithoutAnOpenContext) {
    AipuAdapter adapter;
    uint64_t graph_id = 0;
    tensor_desc_t desc{};
    {
        StderrCapture capture;
        EXPECT_EQ(adapter.deinit_context(), KIV_STATUS_ERROR_INVALID_HANDLE);
        EXPECT_EQ(adapter.config_global(nullptr, 0, nullptr), KIV_STATUS_ERROR_INVALID_HANDLE);
        EXPECT_EQ(adapter.load_graph(nullptr, "x", 1, &graph_id, nullptr), KIV_STATUS_ERROR_INVALID_HANDLE);
        EXPECT_EQ(adapter.unload_graph(nullptr, 1), KIV_STATUS_ERROR_INVALID_HANDLE);
        EXPECT_EQ(adapter.get_tensor_descriptor(nullptr, 1, KIV_TENSOR_TYPE_INPUT, 0, &desc),
                  KIV_STATUS_ERROR_INVALID_HANDLE);
        EXPECT_EQ(capture.finish(), "");
    }
    uint32_t count = 0;
    StderrCapture capture;
    EXPECT_EQ(adapter.get_tensor_count(nullptr, 1, KIV_TENSOR_TYPE_INPUT, &count), KIV_STATUS_ERROR_INVALID_CTX);
    EXPECT_TRUE(matches_whole(capture.finish(), log_record_pattern("aipu_adapter", "ERROR",
                                                                   "get_tensor_count: AIPU context is not ready\n")));
}

TEST_F(AdapterTest, TensorCountWithoutBoundEntryPoint) {
    AipuAdapter::Impl impl;
    int dummy = 0;
    impl.driver_ctx = reinterpret_cast<aipu_ctx_handle_t*>(&dummy);
    uint32_t count = 0;
    StderrCapture capture;
    EXPECT_EQ(impl.get_tensor_count(1, KIV_TENSOR_TYPE_INPUT, &count), KIV_STATUS_ERROR_INVALID_CTX);
    EXPECT_TRUE(matches_whole(
        capture.finish(), log_record_pattern("aipu_adapter", "ERROR", "get_tensor_count: AIPU func is not ready\n")));
    impl.driver_ctx = nullptr;
}

TEST_F(AdapterTest, FailedCloseKeepsStateAndDestructorRetries) {
    {
        AipuAdapter adapter;
        ASSERT_EQ(adapter.init_context(), KIV_STATUS_SUCCESS);
        standin_.set_deinit_status(KIV_STATUS_ERROR_DEINIT_FAIL);
        EXPECT_EQ(adapter.deinit_context(), KIV_STATUS_ERROR_DEINIT_FAIL);
        EXPECT_EQ(standin_.open_context_count(), base_contexts_ + 1);
        // Still open: the context keeps working.
        uint32_t partitions = 0;
        EXPECT_EQ(adapter.get_partition_count(nullptr, &partitions), KIV_STATUS_SUCCESS);
        standin_.set_deinit_status(0);
    }
    EXPECT_EQ(standin_.open_context_count(), base_contexts_);
}

TEST_F(AdapterTest, ReopeningAfterCloseLoadsAgain) {
    AipuAdapter adapter;
    ASSERT_EQ(adapter.init_context(), KIV_STATUS_SUCCESS);
    ASSERT_EQ(adapter.deinit_context(), KIV_STATUS_SUCCESS);
    ASSERT_EQ(adapter.init_context(), KIV_STATUS_SUCCESS);
    uint32_t count = 0;
    EXPECT_EQ(adapter.get_partition_count(nullptr, &count), KIV_STATUS_SUCCESS);
    EXPECT_EQ(adapter.deinit_context(), KIV_STATUS_SUCCESS);
}

// A loaded library whose init entry point is unbound gives the internal
// status, and the library is unloaded again: nothing stays mapped for a
// context that never opened.
TEST_F(AdapterTest, LoadedLibraryWithoutInitEntryPoint) {
    TempFile copy(".so");
    copy.copy_from(standin_library_path());
    for (LogLevel threshold : {LogLevel::INFO, LogLevel::ERROR}) {
        set_log_level(threshold);
        AipuAdapter::Impl impl;
        impl.library = dlopen(copy.path().c_str(), RTLD_LAZY);
        ASSERT_NE(impl.library, nullptr);
        StderrCapture capture;
        EXPECT_EQ(impl.init_context(), KIV_STATUS_ERROR_INTERNAL);
        // INFO is below the ERROR threshold, so the record goes with it.
        const std::string expected =
            threshold == LogLevel::INFO
                ? log_record_pattern("aipu_adapter", "INFO", "init_context: aipu_init_context function not loaded \n")
                : "";
        EXPECT_TRUE(matches_whole(capture.finish(), expected));
        EXPECT_EQ(impl.driver_ctx, nullptr);
        EXPECT_EQ(impl.library, nullptr);
        EXPECT_EQ(loader_spy_open_count(copy.path()), 0);
    }
}
