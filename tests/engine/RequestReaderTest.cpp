#include "EngineTestSupport.h"

#include "platform/Semaphore.h"
#include "protocol/RequestReader.h"

#include <gtest/gtest.h>

#include <chrono>

using namespace qvtest;

// The intake loop lives in the protocol module but needs a whole engine, so it is tested here.
TEST(RequestReader, StalledControlQueueEndsTheProcessWithoutTheEngine) {
    const auto [lines, seconds] = linesOfExitingEngine(
        [](EngineUnderTest& t) {
            int input[2];
            if (::pipe(input) != 0) std::abort();
            const std::string text = EngineUnderTest::request("status").dump() + "\n";
            (void)!::write(input[1], text.data(), text.size());
            // The control queue stays blocked well past the hand-off wait.
            qv::controlQueue().async([] { qv::Semaphore().wait(30.0); });
            qv::RequestReader(t.engine, t.output, qv::controlQueue(), input[0]).run();
        },
        2);
    EXPECT_GE(seconds, qv::RequestReader::handOffSeconds);
    EXPECT_LT(seconds, qv::RequestReader::handOffSeconds + 5.0);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0]["event"], "fatal");
    EXPECT_TRUE(lines[0]["sessionId"].is_string());
    EXPECT_EQ(lines[0]["devicesReleased"], false);
    EXPECT_EQ(
        lines[0]["error"],
        (Json{{"code", "CONTROL_STALLED"},
              {"message", "Native control queue did not accept a bounded request; cleanup is unconfirmed"}}));
}
