#pragma once

#include "base/Json.h"

#include <string>

namespace qvtest {

using qv::Json;

// Entries of the simulated-device configuration a helper reads from QUORVELLE_SIMULATED_DEVICES.
// A camera "Quorvelle - Player NN" with id "sim-video-NN" (by default at the real players' 160 × 144
// and 60 frames per second); `extra` keys are merged in.
Json simVideo(int player, const Json& extra = Json::object());
// Its microphone "Microphone (Quorvelle - Player NN)" with id "sim-audio-NN".
Json simAudio(int player, const Json& extra = Json::object());
std::string videoId(int player);
std::string audioId(int player);

}  // namespace qvtest
