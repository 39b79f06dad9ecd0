#include "HelperProcess.h"

#include <gtest/gtest.h>
#include <unistd.h>

using namespace qvtest;

namespace {

const std::string requestId = "00000000-0000-4000-8000-000000000001";

std::string statusText(const std::string& id = requestId) {
    return Json{{"requestId", id}, {"action", "status"}}.dump();
}

struct Outcome {
    std::vector<Json> lines;  // after "ready"
    std::optional<int> status;
};

// Starts the helper, writes `input` in the given pieces, closes standard input when asked and
// collects everything the helper writes after "ready" until it exits.
Outcome run(const std::vector<std::string>& pieces, bool closeInput = true) {
    TempDir tmp;
    HelperProcess process({"--stdio"}, {{"TMPDIR", tmp.path()}});
    Outcome outcome;
    const auto ready = process.readJson();
    EXPECT_TRUE(ready && (*ready)["event"] == "ready");
    for (const auto& piece : pieces) {
        process.write(piece);
        usleep(20000);
    }
    if (closeInput) process.closeInput();
    while (auto next = process.readJson(20.0)) outcome.lines.push_back(*next);
    outcome.status = process.waitExit(20.0);
    return outcome;
}

bool answered(const Outcome& outcome) {
    for (const auto& j : outcome.lines) {
        if (j.contains("requestId")) return true;
    }
    return false;
}

void expectTerminated(const Outcome& outcome, const std::string& code) {
    ASSERT_GE(outcome.lines.size(), 2u);
    EXPECT_EQ(outcome.lines[0]["event"], "fatal");
    EXPECT_EQ(outcome.lines[0]["error"]["code"], code);
    EXPECT_EQ(outcome.lines[0]["devicesReleased"], false);
    EXPECT_EQ(outcome.lines.back()["event"], "closed");
    EXPECT_FALSE(answered(outcome));
    EXPECT_EQ(outcome.status, 0);
}

}  // namespace

TEST(RequestIntake, LineOfExactlyTheBoundIsParsed) {
    std::string text = statusText();
    text.append(8192 - text.size(), ' ');
    ASSERT_EQ(text.size(), 8192u);
    const auto outcome = run({text + "\n"});
    ASSERT_GE(outcome.lines.size(), 1u);
    EXPECT_EQ(outcome.lines[0]["requestId"], requestId);
    EXPECT_EQ(outcome.lines[0]["ok"], true);
    EXPECT_EQ(outcome.status, 0);
}

TEST(RequestIntake, OversizedLineEndsTheSessionWithoutWaitingForItsNewline) {
    std::string text = statusText();
    text.append(8193 - text.size(), ' ');
    // Standard input stays open: the 8193rd byte alone must end the session.
    const auto outcome = run({text}, false);
    expectTerminated(outcome, "REQUEST_TOO_LARGE");
}

TEST(RequestIntake, InvalidLinesEndTheSessionAndLaterRequestsGoUnanswered) {
    for (const std::string& bad :
         std::vector<std::string>{"", "[1,2]", "42", "\"text\"", "null", statusText() + " x", "{\"a\":1,}",
                                  "{\"requestId\":\"\xff\"}"}) {
        SCOPED_TRACE(bad);
        const auto outcome = run({bad + "\n" + statusText() + "\n"});
        expectTerminated(outcome, "INVALID_JSON");
    }
}

TEST(RequestIntake, EmptyObjectIsHandedOverAndTerminatesAsInvalidRequest) {
    const auto outcome = run({"{}\n"}, false);
    expectTerminated(outcome, "INVALID_REQUEST");
}

TEST(RequestIntake, CarriageReturnBeforeTheNewlineIsAccepted) {
    const auto outcome = run({statusText() + "\r\n"});
    ASSERT_GE(outcome.lines.size(), 1u);
    EXPECT_EQ(outcome.lines[0]["ok"], true);
}

TEST(RequestIntake, RequestsInOneWriteAreAnsweredInOrderAndSplitOnesAreJoined) {
    const std::string a = "00000000-0000-4000-8000-00000000000a";
    const std::string b = "00000000-0000-4000-8000-00000000000b";
    const std::string c = "00000000-0000-4000-8000-00000000000c";
    const std::string split = statusText(c) + "\n";
    const auto outcome = run({statusText(a) + "\n" + statusText(b) + "\n", split.substr(0, 10),
                              split.substr(10, 20), split.substr(30)});
    ASSERT_EQ(outcome.lines.size(), 4u);
    EXPECT_EQ(outcome.lines[0]["requestId"], a);
    EXPECT_EQ(outcome.lines[1]["requestId"], b);
    EXPECT_EQ(outcome.lines[2]["requestId"], c);
    EXPECT_EQ(outcome.lines[3]["event"], "closed");
}

TEST(RequestIntake, EndOfInputAfterAPartialLineClosesInOrder) {
    const auto outcome = run({statusText().substr(0, 20)});
    ASSERT_EQ(outcome.lines.size(), 1u);
    EXPECT_EQ(outcome.lines[0]["event"], "closed");
    EXPECT_EQ(outcome.lines[0]["devicesReleased"], true);
    EXPECT_EQ(outcome.status, 0);
}
