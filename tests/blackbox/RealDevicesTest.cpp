#include "HelperProcess.h"

#include <dirent.h>

#include <gtest/gtest.h>

#include <string>

using namespace qvtest;

namespace {

// True when the machine has a video node or a sound card, whose listing a test cannot predict.
bool hasCaptureHardware() {
    for (const char* directory : {"/dev", "/dev/snd"}) {
        DIR* entries = ::opendir(directory);
        if (entries == nullptr) continue;
        bool found = false;
        while (const dirent* entry = ::readdir(entries)) {
            const std::string name = entry->d_name;
            if (name.rfind("video", 0) == 0 || name.rfind("pcmC", 0) == 0) found = true;
        }
        ::closedir(entries);
        if (found) return true;
    }
    return false;
}

}  // namespace

TEST(RealDevices, WithoutCamerasOrSoundCardsTheListIsEmptyAndAccessIsAuthorized) {
    if (hasCaptureHardware()) GTEST_SKIP() << "this machine has capture devices";
    TempDir tmp;
    // An empty value selects the real device layer, as an unset one does.
    HelperProcess helper({"--stdio"}, {{"TMPDIR", tmp.path()}, {"QUORVELLE_SIMULATED_DEVICES", ""}});
    ASSERT_TRUE(helper.readEvent("ready"));

    const auto list = helper.request("list");
    ASSERT_TRUE(list);
    EXPECT_EQ((*list)["ok"], true) << list->dump();
    EXPECT_EQ((*list)["result"]["videoDevices"], Json::array());
    EXPECT_EQ((*list)["result"]["audioDevices"], Json::array());
    const Json none = {{"total", 0}, {"unlabeled", 0}, {"unsupported", 0}, {"omitted", 0}};
    EXPECT_EQ((*list)["result"]["counts"], (Json{{"video", none}, {"audio", none}}));
    const Json authorized = {{"video", "authorized"}, {"audio", "authorized"}};
    EXPECT_EQ((*list)["result"]["permissions"], authorized);

    const auto status = helper.request("permission_status");
    ASSERT_TRUE(status);
    EXPECT_EQ((*status)["ok"], true) << status->dump();
    EXPECT_EQ((*status)["result"]["permissions"], authorized);

    // Nothing prompts on Linux: a request is answered at once with the status.
    const auto request = helper.request("request_permission", {{"media", "audio"}});
    ASSERT_TRUE(request);
    EXPECT_EQ((*request)["ok"], true) << request->dump();
    EXPECT_EQ((*request)["result"]["permissions"], authorized);

    helper.closeInput();
    EXPECT_EQ(helper.waitExit(20), 0);
    EXPECT_EQ(helper.errorText(), "");
}
