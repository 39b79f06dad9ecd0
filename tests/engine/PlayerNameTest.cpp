#include "engine/PlayerName.h"

#include <gtest/gtest.h>

using namespace qv;

TEST(PlayerName, CamerasGiveTheirTwoDigitNumber) {
    EXPECT_EQ(player("Quorvelle - Player 01", false), "01");
    EXPECT_EQ(player("Quorvelle - Player 99", false), "99");
    EXPECT_EQ(player("Quorvelle - Player 10", true), "10");  // an audio device named like a camera
}

TEST(PlayerName, MicrophoneWrappingCountsOnlyForAudio) {
    EXPECT_EQ(player("Microphone (Quorvelle - Player 01)", true), "01");
    EXPECT_EQ(player("Microphone (Quorvelle - Player 01)", false), std::nullopt);
    EXPECT_EQ(player("Microphone (Quorvelle - Player 01", true), std::nullopt);
    EXPECT_EQ(player("Microphone ()", true), std::nullopt);
}

TEST(PlayerName, EverythingElseIsNotAPlayer) {
    for (const char* name :
         {"Quorvelle - Player 00", "Quorvelle - Player 100", "FaceTime HD Camera",
          "Quorvelle - Player 01 extra", "Quorvelle", "quorvelle - Player 01", "MacBook Pro Microphone",
          "Quorvelle - Player 1", "Quorvelle - Player 01\n", "\nQuorvelle - Player 01",
          " Quorvelle - Player 01", "", "Microphone (Quorvelle - Player 01\n)"}) {
        EXPECT_EQ(player(name, true), std::nullopt) << name;
        EXPECT_EQ(player(name, false), std::nullopt) << name;
    }
}
