#include "EngineTestSupport.h"

#include <gtest/gtest.h>

using namespace qvtest;

namespace {

std::string code(const Json& reply) {
    return reply.contains("error") ? reply["error"]["code"] : "";
}

}  // namespace

TEST(EngineDispatch, WhileBusyOnlyTheFourActionsAreServed) {
    EngineUnderTest t;
    t.onControl([](qv::Engine& e) {
        e.busy = true;
        for (const char* action : {"list", "permission_status", "connect", "clock", "screenshot",
                                   "start_recording", "stop_recording", "disconnect", "nonsense"}) {
            e.request(EngineUnderTest::request(action));
        }
        e.request(EngineUnderTest::request("status"));
    });
    const auto lines = t.lines();
    ASSERT_EQ(lines.size(), 10u);
    for (std::size_t i = 0; i < 9; ++i) {
        EXPECT_EQ(lines[i]["error"],
                  (Json{{"code", "BUSY"}, {"message", "A native state transition is still in progress"}}));
    }
    EXPECT_EQ(lines[9]["ok"], true);
}

TEST(EngineDispatch, RepliesCarryTheSessionAndSequence) {
    EngineUnderTest t;
    t.onControl([](qv::Engine& e) {
        e.sequence = 7;
        e.success("00000000-0000-4000-8000-000000000001", Json{{"stateSequence", 99}, {"x", 1}});
        e.failure("00000000-0000-4000-8000-000000000002", Json{{"code", "C"}, {"message", "m"}});
    });
    const auto lines = t.lines();
    ASSERT_EQ(lines.size(), 2u);
    // The payload wins over the common keys.
    EXPECT_EQ(lines[0]["result"], (Json{{"sessionId", t.engine->id}, {"stateSequence", 99}, {"x", 1}}));
    EXPECT_EQ(lines[1], (Json{{"sessionId", t.engine->id},
                              {"stateSequence", 7},
                              {"requestId", "00000000-0000-4000-8000-000000000002"},
                              {"ok", false},
                              {"error", {{"code", "C"}, {"message", "m"}}}}));
}

// Anything that starts closing ends the process, so this runs in a child of its own.
TEST(EngineClosing, AfterCloseEveryRequestIsRefusedAndTerminateSendsOneFatal) {
    const auto [lines, seconds] = linesOfExitingEngine(
        [](EngineUnderTest& t) {
            t.onControl([](qv::Engine& e) {
                // A finish in progress holds the close back, so only the forced exit ends it.
                e.finishingOperationID = "f";
                e.close("00000000-0000-4000-8000-000000000009", "close");
                e.request(EngineUnderTest::request("status"));
                e.request(EngineUnderTest::request("close"));
                e.close(std::nullopt, "signal");
                e.terminate("INVALID_JSON");
                e.terminate("INVALID_JSON");
            });
        },
        2);
    EXPECT_LT(seconds, 10.0);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0]["error"], (Json{{"code", "CLOSING"}, {"message", "Helper is closing"}}));
    EXPECT_EQ(code(lines[1]), "CLOSING");
    EXPECT_EQ(lines[2]["event"], "fatal");
    EXPECT_EQ(lines[2]["error"]["code"], "INVALID_JSON");
    EXPECT_EQ(lines[2]["error"]["message"],
              "Owned native helper is stopping after a bounded transport/native failure; normal release is "
              "not yet confirmed");
}
