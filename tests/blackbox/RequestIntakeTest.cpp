#include "HelperProcess.h"

#include <gtest/gtest.h>
#include <unistd.h>

using namespace qvtest;

namespace {

std::string statusText(const std::string& id) {
    return Json{{"requestId", id}, {"action", "status"}}.dump();
}

std::string idOf(char c) {
    return std::string("00000000-0000-4000-8000-00000000000") + c;
}

// Starts the helper, writes the pieces one by one, closes standard input when asked and returns
// everything the helper writes after "ready" until it exits, and its exit status.
std::pair<std::vector<Json>, std::optional<int>> run(const std::vector<std::string>& pieces,
                                                     bool closeInput) {
    TempDir tmp;
    HelperProcess process({"--stdio"}, {{"TMPDIR", tmp.path()}});
    const auto ready = process.readJson();
    EXPECT_TRUE(ready && (*ready)["event"] == "ready");
    for (const auto& piece : pieces) {
        process.write(piece);
        usleep(20000);
    }
    if (closeInput) process.closeInput();
    std::vector<Json> lines;
    while (auto next = process.readJson(20.0)) lines.push_back(*next);
    return {lines, process.waitExit(20.0)};
}

}  // namespace

TEST(RequestIntake, ValidLinesAreAnsweredInOrderHoweverTheyArrive) {
    std::string exact = statusText(idOf('a'));
    exact.append(8192 - exact.size(), ' ');
    const std::string split = statusText(idOf('e')) + "\n";
    // A line of exactly the bound, CR LF, two requests in one write, one split across three writes,
    // and a partial line at the end of input.
    const auto [lines, status] =
        run({exact + "\n", statusText(idOf('b')) + "\r\n",
             statusText(idOf('c')) + "\n" + statusText(idOf('d')) + "\n", split.substr(0, 10),
             split.substr(10, 20), split.substr(30), statusText(idOf('f')).substr(0, 20)},
            true);
    ASSERT_EQ(lines.size(), 6u);
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(lines[i]["requestId"], idOf(static_cast<char>('a' + i)));
        EXPECT_EQ(lines[i]["ok"], true);
    }
    EXPECT_EQ(lines[5]["event"], "closed");
    EXPECT_EQ(lines[5]["devicesReleased"], true);
    EXPECT_EQ(status, 0);
}

TEST(RequestIntake, WhatIsNotABoundedRequestEndsTheSessionUnanswered) {
    struct Case {
        std::string input;
        std::string code;
    };
    std::vector<Case> cases;
    // Standard input stays open: the 8193rd byte alone must end the session.
    std::string oversized = statusText(idOf('a'));
    cases.push_back({oversized.append(8193 - oversized.size(), ' '), "REQUEST_TOO_LARGE"});
    for (const std::string& bad : {std::string(), std::string("[1,2]"), std::string("42"),
                                   std::string("\"text\""), std::string("null"), statusText(idOf('a')) + " x",
                                   std::string("{\"a\":1,}"), std::string("{\"requestId\":\"\xff\"}")}) {
        cases.push_back({bad + "\n" + statusText(idOf('b')) + "\n", "INVALID_JSON"});
    }
    for (const Json& request :
         {Json::object(), Json{{"requestId", "{00000000-0000-4000-8000-000000000001}"}, {"action", "status"}},
          Json{{"requestId", 1}, {"action", "status"}}}) {
        cases.push_back({request.dump() + "\n" + statusText(idOf('b')) + "\n", "INVALID_REQUEST"});
    }
    for (const auto& c : cases) {
        SCOPED_TRACE(c.input.substr(0, 60));
        const auto [lines, status] = run({c.input}, false);
        ASSERT_GE(lines.size(), 2u);
        EXPECT_EQ(lines[0]["event"], "fatal");
        EXPECT_EQ(lines[0]["error"]["code"], c.code);
        EXPECT_EQ(lines[0]["devicesReleased"], false);
        // A request after an invalid one is never read; one handed over meanwhile finds the helper closing.
        for (const auto& j : lines) {
            if (j.contains("requestId")) {
                EXPECT_EQ(c.code, "INVALID_REQUEST") << j;
                EXPECT_EQ(j["error"]["code"], "CLOSING") << j;
            }
        }
        EXPECT_EQ(lines.back()["event"], "closed");
        EXPECT_EQ(status, 0);
    }
}
