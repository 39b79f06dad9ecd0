#include "HelperProcess.h"

#include <gtest/gtest.h>

using namespace qvtest;

TEST(CommandLine, HelpIsOneLineOnStandardOutput) {
    const auto result = runHelper({"--help"});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out,
              "Quorvelle Linux native capture prototype. --stdio accepts bounded JSONL protocol v1. "
              "--synthetic-test encodes generated pixels without device access. --self-test runs pure "
              "validation checks without device enumeration, permission queries or streams.\n");
    EXPECT_EQ(result.err, "");
}

TEST(CommandLine, AnythingElseIsAUsageError) {
    for (const auto& args : std::vector<std::vector<std::string>>{{},
                                                                  {"-h"},
                                                                  {"--HELP"},
                                                                  {"--stdio", "x"},
                                                                  {"--self-test", "x"},
                                                                  {"--lifecycle-self-test"},
                                                                  {"--lifecycle-self-test", "open"},
                                                                  {"--synthetic-test", "2000", "3000"}}) {
        const auto result = runHelper(args);
        EXPECT_EQ(result.status, 64);
        EXPECT_EQ(result.out, "");
        EXPECT_EQ(result.err, "Use --help\n");
    }
}

namespace {

const std::string testArgumentLine =
    "{\"error\":{\"code\":\"TEST_ARGUMENT\",\"message\":\"Synthetic duration must be whole seconds "
    "from1000 through600000ms\"},\"ok\":false}\n";

}  // namespace

TEST(CommandLine, SyntheticDurationOutsideWholeSecondsIsRefused) {
    for (const char* mode : {"--synthetic-test", "--synthetic-audio-test"}) {
        for (const char* duration : {"1500", "601000", "999", "0", "2000.0", " 2000", "2000 ", "abc", "",
                                     "-2000", "+", "++2000", "99999999999999999999", "2e3", "0x7d0"}) {
            const auto result = runHelper({mode, duration});
            EXPECT_EQ(result.status, 1) << mode << " '" << duration << "'";
            EXPECT_EQ(result.out, testArgumentLine) << mode << " '" << duration << "'";
            EXPECT_EQ(result.err, "");
        }
    }
}

TEST(CommandLine, SyntheticDurationInWholeSecondsPassesTheArgumentCheck) {
    // A refused duration is reported before any work starts; an accepted one starts a recording
    // that may take long, so the helper is only watched briefly and then stopped.
    for (const char* duration : {"+3000", "600000", "1000", "0002000"}) {
        HelperProcess helper({"--synthetic-test", duration});
        const auto line = helper.readLine(3.0);
        EXPECT_EQ(line.value_or("").find("TEST_ARGUMENT"), std::string::npos) << duration;
    }
}

TEST(CommandLine, SelfTestPrintsItsFixedLine) {
    const auto result = runHelper({"--self-test"});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out,
              "{\"ok\":true,\"checks\":22,\"deviceEnumeration\":false,\"permissionsQueried\":false,"
              "\"streamsOpened\":false}\n");
    EXPECT_EQ(result.err, "");
}

TEST(CommandLine, WatchdogSelfTestFiresWhileTheControlQueueIsBlocked) {
    const auto result = runHelper({"--watchdog-self-test"}, {}, 10.0);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out,
              "{\"ok\":true,\"controlQueueBlocked\":true,\"independentDeadlineFired\":true,"
              "\"simulatedDeadlineSeconds\":0.025,\"simulatedGraceSeconds\":0.05,"
              "\"wallClockEnduranceTest\":false,\"streamsOpened\":false}\n");
    EXPECT_EQ(result.err, "");
}
