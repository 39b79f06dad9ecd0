#include "SimulatedPlayerConfig.h"

#include <cstdio>

namespace qvtest {

namespace {

std::string twoDigits(int player) {
    char text[8];
    std::snprintf(text, sizeof text, "%02d", player);
    return text;
}

}  // namespace

std::string videoId(int player) {
    return "sim-video-" + twoDigits(player);
}
std::string audioId(int player) {
    return "sim-audio-" + twoDigits(player);
}

Json simVideo(int player, const Json& extra) {
    Json device = {{"id", videoId(player)}, {"name", "Quorvelle - Player " + twoDigits(player)}};
    device.update(extra);
    return device;
}

Json simAudio(int player, const Json& extra) {
    Json device = {{"id", audioId(player)},
                   {"name", "Microphone (Quorvelle - Player " + twoDigits(player) + ")"}};
    device.update(extra);
    return device;
}

}  // namespace qvtest
