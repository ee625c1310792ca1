// kiv_set_freq against a private tmpfs over /sys/class, so that the host's
// sysfs is never written.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "child_process.h"
#include "kiv_api.h"
#include "stderr_capture.h"
#include "test_paths.h"

namespace {

const char* const kDtDir = "/sys/class/devfreq/14260000.aipu/userspace";
const char* const kAcpiDir = "/sys/class/devfreq/ZORH4000:00/userspace";
const std::string kOpenFailure = log_record_pattern("kiv_api", "ERROR",
                                                    "Failed to open frequency file, tried:\n"
                                                    "  DT:   /sys/class/devfreq/14260000.aipu/userspace/set_freq\n"
                                                    "  ACPI: /sys/class/devfreq/ZORH4000:00/userspace/set_freq\n");

bool private_mounts_available() {
    return run_command("unshare --mount --propagation private true >/dev/null 2>&1").exit_code == 0;
}

// Runs the probe with `index` in a namespace where only `dirs` exist under
// /sys/class, then prints each frequency file that exists as "[DT]" or
// "[ACPI]" followed by its content and a newline.
// `setup` runs after the directories are made, `teardown` after the probe.
std::string run_probe(const std::vector<const char*>& dirs, const std::string& index, const std::string& env = "",
                      const std::string& setup = "", const std::string& teardown = "") {
    std::string script = "mount -t tmpfs none /sys/class || exit 97; ";
    for (const char* dir : dirs) script += "mkdir -p " + shell_quote(dir) + " || exit 98; ";
    script += setup;
    script += env + " " + shell_quote(probe_path("freq_probe")) + " " + shell_quote(index) + " 2>&1; ";
    script += teardown;
    script += "for pair in DT:" + std::string(kDtDir) + " ACPI:" + kAcpiDir + "; do ";
    script += "name=${pair%%:*}; file=${pair#*:}/set_freq; ";
    script += "if [ -e \"$file\" ]; then echo \"[$name]\"; cat \"$file\"; echo; fi; done";
    const CommandResult result = run_command("unshare --mount --propagation private sh -c " + shell_quote(script));
    EXPECT_EQ(result.exit_code, 0) << result.output;
    return result.output;
}

std::string info_record(const char* value) {
    return log_record_pattern("kiv_api", "INFO", std::string("NPU frequency set to: ") + value + "\n");
}

}  // namespace

TEST(SetFreq, DeviceTreeNodeWinsOverAcpi) {
    if (!private_mounts_available()) GTEST_SKIP() << "needs unshare --mount (root)";
    const std::string out = run_probe({kDtDir, kAcpiDir}, "3");
    EXPECT_TRUE(matches_whole(out, info_record("1200000000") + "status=0\n\\[DT\\]\n1200000000\n")) << out;
}

TEST(SetFreq, EachIndexWritesItsTableValue) {
    if (!private_mounts_available()) GTEST_SKIP() << "needs unshare --mount (root)";
    const char* values[] = {"400000000", "600000000", "800000000", "1200000000"};
    for (int index = 0; index < 4; ++index) {
        const std::string out = run_probe({kDtDir}, std::to_string(index));
        EXPECT_TRUE(matches_whole(out, info_record(values[index]) + "status=0\n\\[DT\\]\n" + values[index] + "\n"))
            << out;
    }
}

TEST(SetFreq, AcpiNodeAloneIsUsed) {
    if (!private_mounts_available()) GTEST_SKIP() << "needs unshare --mount (root)";
    const std::string out = run_probe({kAcpiDir}, "3");
    EXPECT_TRUE(matches_whole(out, info_record("1200000000") + "status=0\n\\[ACPI\\]\n1200000000\n")) << out;
}

TEST(SetFreq, NoNodeLogsBothPaths) {
    if (!private_mounts_available()) GTEST_SKIP() << "needs unshare --mount (root)";
    const std::string out = run_probe({}, "0");
    EXPECT_TRUE(matches_whole(out, kOpenFailure + "status=3\n")) << out;
}

// A write the kernel refuses (here: a full device bound over the file) is
// a failure naming the file, never a confirmation.
TEST(SetFreq, RefusedWriteIsReportedAsFailure) {
    if (!private_mounts_available()) GTEST_SKIP() << "needs unshare --mount (root)";
    const std::string dt_file = std::string(kDtDir) + "/set_freq";
    const std::string full =
        "touch " + shell_quote(dt_file) + " && mount --bind /dev/full " + shell_quote(dt_file) + " || exit 96; ";
    const std::string out = run_probe({kDtDir}, "2", "", full, "umount " + shell_quote(dt_file) + "; ");
    EXPECT_TRUE(matches_whole(
        out, log_record_pattern("kiv_api", "ERROR",
                                "Failed to write frequency file " + dt_file + ": No space left on device\n") +
                 "status=15\n\\[DT\\]\n\n"))
        << out;
}

TEST(SetFreq, BadIndexesTouchNothing) {
    if (!private_mounts_available()) GTEST_SKIP() << "needs unshare --mount (root)";
    for (const char* index : {"4", "-1", "-2147483648"}) {
        const std::string out = run_probe({kDtDir}, index);
        EXPECT_TRUE(matches_whole(
            out, log_record_pattern("kiv_api", "ERROR", std::string("Invalid frequency index: ") + index + "\n") +
                     "status=6\n"))
            << out;
    }
}

TEST(SetFreq, ErrorThresholdSilencesTheConfirmation) {
    if (!private_mounts_available()) GTEST_SKIP() << "needs unshare --mount (root)";
    const std::string out = run_probe({kDtDir}, "1", "KIV_LOG_LEVEL=ERROR");
    EXPECT_EQ(out, "status=0\n[DT]\n600000000\n");
    const std::string failure = run_probe({}, "1", "KIV_LOG_LEVEL=ERROR");
    EXPECT_TRUE(matches_whole(failure, kOpenFailure + "status=3\n")) << failure;
}

// An invalid index is rejected before any file is opened, so this one is
// safe to run in the test process itself.
TEST(SetFreq, InvalidIndexInProcess) {
    StderrCapture capture;
    EXPECT_EQ(kiv_set_freq(4), KIV_STATUS_ERROR_INVALID_CONFIG);
    EXPECT_EQ(kiv_set_freq(-1), KIV_STATUS_ERROR_INVALID_CONFIG);
    EXPECT_TRUE(
        matches_whole(capture.finish(), log_record_pattern("kiv_api", "ERROR", "Invalid frequency index: 4\n") +
                                            log_record_pattern("kiv_api", "ERROR", "Invalid frequency index: -1\n")));
}
