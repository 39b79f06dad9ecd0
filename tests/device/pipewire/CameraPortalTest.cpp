#include "device/pipewire/CameraPortal.h"

#include "PipeWireStack.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>

using namespace qvtest;

// A request nobody answers is given up after its own bound, however long the portal would wait,
// and withdrawn; this process's status stays undecided by it. (The answered requests are met
// end to end by the helper's tests.)
TEST(CameraPortal, ARequestNobodyAnswersEndsAtItsBound) {
    PipeWireStack stack;
    if (!stack.running() || !stack.addPortal("silent"))
        GTEST_SKIP() << "the camera portal could not be started here";
    ::setenv("DBUS_SESSION_BUS_ADDRESS", stack.env().at("DBUS_SESSION_BUS_ADDRESS").c_str(), 1);
    const auto portal = qv::CameraPortal::connect(5.0);
    ASSERT_TRUE(portal);
    EXPECT_EQ(portal->status(), qv::AuthorizationStatus::notDetermined);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(portal->access(1.0), qv::CameraPortal::Answer::none);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
    EXPECT_EQ(stack.asked(), "\n");
}

TEST(CameraPortal, NoBusOrNoPortalIsNoPortal) {
    ::setenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/bus", 1);
    EXPECT_FALSE(qv::CameraPortal::connect(1.0));
    PipeWireStack stack;
    if (!stack.running()) GTEST_SKIP() << "PipeWire and WirePlumber could not be started here";
    ::setenv("DBUS_SESSION_BUS_ADDRESS", stack.env().at("DBUS_SESSION_BUS_ADDRESS").c_str(), 1);
    EXPECT_FALSE(qv::CameraPortal::connect(1.0));
}
