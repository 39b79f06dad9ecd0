#include "HelperProcess.h"

#include <gtest/gtest.h>

using namespace qvtest;

namespace {

std::string fatalLine(const std::string& code, const std::string& message) {
    return Json{{"devicesReleased", false},
                {"error", {{"code", code}, {"message", message}}},
                {"event", "fatal"},
                {"sessionId", nullptr}}
               .dump() +
           "\n";
}

const std::string badTmpdir = "Temporary directory must be an existing absolute directory";

}  // namespace

TEST(CommandLine, EachModeWritesItsExactOutputAndStatus) {
    struct Case {
        std::vector<std::string> args;
        std::map<std::string, std::string> env;
        int status;
        std::string out;
        std::string err;
    };
    const Case cases[] = {
        {{"--help"},
         {},
         0,
         "Quorvelle Linux native capture prototype. --stdio accepts bounded JSONL protocol v1. "
         "--synthetic-test "
         "encodes generated pixels without device access. --self-test runs pure validation checks without "
         "device "
         "enumeration, permission queries or streams.\n",
         ""},
        {{"--self-test"},
         {},
         0,
         "{\"ok\":true,\"checks\":22,\"deviceEnumeration\":false,\"permissionsQueried\":false,"
         "\"streamsOpened\":false}\n",
         ""},
        {{"--watchdog-self-test"},
         {},
         0,
         "{\"ok\":true,\"controlQueueBlocked\":true,\"independentDeadlineFired\":true,"
         "\"simulatedDeadlineSeconds\":0.025,\"simulatedGraceSeconds\":0.05,"
         "\"wallClockEnduranceTest\":false,\"streamsOpened\":false}\n",
         ""},
        // An engine that cannot be built, in each mode that builds one.
        {{"--stdio"}, {{"TMPDIR", "relative/dir"}}, 1, fatalLine("OUTPUT_DIRECTORY", badTmpdir), ""},
        {{"--lifecycle-self-test", "close"}, {{"TMPDIR", "relative"}}, 1, "", "Lifecycle self-test failed\n"},
        {{"--io-self-test"},
         {{"TMPDIR", "relative/dir"}},
         1,
         Json{{"error", {{"code", "OUTPUT_DIRECTORY"}, {"message", badTmpdir}}}, {"ok", false}}.dump() + "\n",
         ""},
        {{"--stdio"},
         {{"QUORVELLE_SIMULATED_DEVICES", "{\"video\": 1}"}},
         1,
         fatalLine("SIMULATION_CONFIG", "Simulated device configuration is invalid"),
         ""},
    };
    for (const auto& c : cases) {
        const auto result = runHelper(c.args, {}, 20.0, c.env);
        EXPECT_EQ(result.status, c.status) << c.args[0];
        EXPECT_EQ(result.out, c.out) << c.args[0];
        EXPECT_EQ(result.err, c.err) << c.args[0];
    }
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

TEST(CommandLine, SyntheticDurationMustBeWholeSecondsInRange) {
    const std::string refused =
        "{\"error\":{\"code\":\"TEST_ARGUMENT\",\"message\":\"Synthetic duration must be whole seconds "
        "from1000 through600000ms\"},\"ok\":false}\n";
    for (const char* mode : {"--synthetic-test", "--synthetic-audio-test"}) {
        for (const char* duration : {"1500", "601000", "999", "0", "2000.0", " 2000", "2000 ", "abc", "",
                                     "-2000", "+", "++2000", "99999999999999999999", "2e3", "0x7d0"}) {
            const auto result = runHelper({mode, duration});
            EXPECT_EQ(result.status, 1) << mode << " '" << duration << "'";
            EXPECT_EQ(result.out, refused) << mode << " '" << duration << "'";
            EXPECT_EQ(result.err, "");
        }
    }
    // A refused duration is reported before any work starts; an accepted one starts a recording
    // that may take long, so the helper is only watched briefly and then stopped.
    for (const char* duration : {"+3000", "600000", "1000", "0002000"}) {
        HelperProcess helper({"--synthetic-test", duration});
        EXPECT_EQ(helper.readLine(3.0).value_or("").find("TEST_ARGUMENT"), std::string::npos) << duration;
    }
}
