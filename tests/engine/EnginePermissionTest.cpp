#include "EngineTestSupport.h"
#include "platform/Semaphore.h"
#include "platform/SimulatedDeviceSystem.h"

#include <gtest/gtest.h>

namespace {

using qvtest::EngineUnderTest;
using qvtest::Json;

std::shared_ptr<qv::DeviceSystem> players(const Json& config) {
    return std::make_shared<qv::SimulatedDeviceSystem>(qv::SimulatedDeviceConfig::parse(config.dump()));
}

Json permissionRequest(const std::string& media) {
    Json request = EngineUnderTest::request("request_permission");
    request["media"] = media;
    return request;
}

TEST(EnginePermissionTest, AnUndeterminedPermissionIsNotRequestedWhileConnected) {
    EngineUnderTest test(players({{"permissions", {{"video", "not_determined"}, {"audio", "denied"}}}}));
    bool busy = true;
    test.onControl([&](qv::Engine& engine) {
        engine.connection = "connected";
        engine.request(permissionRequest("video"));
        busy = engine.busy;
        // A settled permission still answers at once while connected.
        engine.request(permissionRequest("audio"));
    });
    EXPECT_FALSE(busy);
    const auto lines = test.lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0]["error"], (Json{{"code", "ALREADY_CONNECTED"},
                                       {"message", "Disconnect before requesting a new media permission"}}));
    EXPECT_EQ(lines[1]["ok"], true);
    EXPECT_EQ(lines[1]["result"]["permissions"], (Json{{"video", "not_determined"}, {"audio", "denied"}}));
    // No request reached the device layer: the answer would have settled the permission.
    EXPECT_EQ(test.devices->authorizationStatus(qv::MediaType::video),
              qv::AuthorizationStatus::notDetermined);
}

TEST(EnginePermissionTest, AnAnswerAfterCloseIsIgnored) {
    EngineUnderTest test(players({{"permissions", {{"video", "not_determined"}}},
                                  {"permissionRequests", {{"video", {{"answerAfterMs", 50}}}}}}));
    test.onControl([&](qv::Engine& engine) {
        engine.request(permissionRequest("video"));
        EXPECT_TRUE(engine.busy);
        EXPECT_TRUE(engine.permissionRequestID.has_value());
        // What close does to an outstanding request, without ending the process.
        engine.shutdown = true;
        engine.permissionRequestID.reset();
    });
    // Wait for the answer to reach the device layer. The answer runs on the global timer queue
    // and posts to controlQueue before it returns, so one more item there and one on
    // controlQueue put its continuation behind us.
    for (int i = 0; i < 4000 && test.devices->authorizationStatus(qv::MediaType::video) ==
                                    qv::AuthorizationStatus::notDetermined;
         ++i) {
        usleep(5000);
    }
    qv::Semaphore passed;
    qv::globalAfter(0, [&] { passed.signal(); });
    ASSERT_TRUE(passed.wait(30));
    test.onControl([](qv::Engine&) {});
    test.onControl([&](qv::Engine& engine) { EXPECT_TRUE(engine.busy); });
    EXPECT_TRUE(test.lines().empty());
}

}  // namespace
