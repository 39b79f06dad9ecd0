#include "device/pipewire/CameraPortal.h"

#include "PipeWireStack.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>

using namespace qvtest;

// A request nobody answers is given up after its bound and withdrawn; the status stays undecided.
// One that is answered is remembered, and the portal's PipeWire connection is a live socket.
TEST(CameraPortal, ARequestEndsWithTheAnswerOrItsBound) {
    for (const std::string mode : {"silent", "grant", "deny"}) {
        SCOPED_TRACE(mode);
        PipeWireStack stack;
        if (!stack.running()) GTEST_SKIP() << "PipeWire and WirePlumber could not be started here";
        ASSERT_GT(stack.addPortal(mode, ""), 0);
        ::setenv("DBUS_SESSION_BUS_ADDRESS", stack.env().at("DBUS_SESSION_BUS_ADDRESS").c_str(), 1);
        ::setenv("XDG_RUNTIME_DIR", stack.env().at("XDG_RUNTIME_DIR").c_str(), 1);
        const auto portal = qv::CameraPortal::connect(5.0);
        ASSERT_TRUE(portal);
        EXPECT_EQ(portal->status(), qv::AuthorizationStatus::notDetermined);
        const auto answer = portal->access(1.0);
        const auto expected = mode == "grant"  ? qv::CameraPortal::Answer::granted
                              : mode == "deny" ? qv::CameraPortal::Answer::denied
                                               : qv::CameraPortal::Answer::none;
        EXPECT_EQ(answer, expected);
        EXPECT_EQ(portal->status(), mode == "grant"  ? qv::AuthorizationStatus::authorized
                                    : mode == "deny" ? qv::AuthorizationStatus::denied
                                                     : qv::AuthorizationStatus::notDetermined);
        const int fd = portal->openPipeWireRemote();
        EXPECT_GE(fd, 0);
        if (fd >= 0) ::close(fd);
    }
}

TEST(CameraPortal, NoBusOrNoPortalIsNoPortal) {
    ::setenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/bus", 1);
    EXPECT_FALSE(qv::CameraPortal::connect(1.0));
    PipeWireStack stack;
    if (!stack.running()) GTEST_SKIP() << "PipeWire and WirePlumber could not be started here";
    ::setenv("DBUS_SESSION_BUS_ADDRESS", stack.env().at("DBUS_SESSION_BUS_ADDRESS").c_str(), 1);
    EXPECT_FALSE(qv::CameraPortal::connect(1.0));
}
