#include "HelperProcess.h"

#include <gtest/gtest.h>

#include <sstream>

using namespace qvtest;

namespace {

std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

std::string expected(const std::string& mode, bool withReply, const std::string& session) {
    std::string text =
        R"({"error":{"code":"NO_VIDEO_FRAME","message":"No fresh connected native preview frame is available"},)"
        R"("ok":false,"requestId":"00000000-0000-4000-8000-000000000001","sessionId":"S","stateSequence":0})"
        "\n"
        R"({"delayedFinalizerReentered":false,"deviceEnumeration":false,"event":"self_test","mode":")" +
        mode + R"(","ok":true,"permissionsQueried":false,"streamsOpened":false})" + "\n";
    if (withReply) {
        text += R"({"ok":true,"requestId":"00000000-0000-4000-8000-000000000002","result":{"closed":true,)"
                R"("devicesReleased":true,"sessionId":"S","stateSequence":1}})"
                "\n";
    }
    text += R"({"devicesReleased":true,"event":"closed","sessionId":"S","stateSequence":1})"
            "\n";
    for (std::size_t at = text.find("\"S\""); at != std::string::npos; at = text.find("\"S\"", at)) {
        text.replace(at + 1, 1, session);
    }
    return text;
}

}  // namespace

TEST(LifecycleSelfTest, CloseAndEndOfInputWriteTheirExactSequence) {
    for (const std::string mode : {"close", "eof"}) {
        TempDir tmp;
        const auto result = runHelper({"--lifecycle-self-test", mode}, {}, 20.0, {{"TMPDIR", tmp.path()}});
        EXPECT_EQ(result.status, 0) << mode;
        EXPECT_EQ(result.err, "");
        const auto lines = linesOf(result.out);
        ASSERT_FALSE(lines.empty());
        const std::string session = Json::parse(lines[0])["sessionId"];
        EXPECT_EQ(result.out, expected(mode, mode == "close", session));
    }
}
