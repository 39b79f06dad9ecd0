#pragma once

#include "device/DeviceSystem.h"
#include "device/linux/DeviceIo.h"

#include <string>
#include <vector>

namespace qv {

// An ALSA capture PCM as the helper sees a microphone.
struct AlsaMicrophone {
    std::string pcm;       // what snd_pcm_open gets: "plughw:CARD=<id>,DEV=<n>"
    std::string uniqueId;  // "alsa:<card id>:<n>"
    std::string name;      // the USB product string, else the ALSA card name
};

// Every card's PCM devices that have a capture stream, in card and device order. Sysfs is read
// through `io`; the cards themselves through alsa-lib.
std::vector<AlsaMicrophone> listAlsaMicrophones(DeviceIo& io);

// Denied when a sound node under /dev/snd exists that this process may not open, else authorized.
AuthorizationStatus alsaPermission(DeviceIo& io);

}  // namespace qv
