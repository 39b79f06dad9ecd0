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
