#include "device/linux/AlsaInventory.h"

#include "base/Utf8.h"

#include "device/linux/AlsaLibrary.h"

#include <alsa/asoundlib.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace qv {

namespace {

constexpr int maxDevicesPerCard = 64;

std::optional<std::string> usbProduct(DeviceIo& io, int card) {
    auto text = io.readText("/sys/class/sound/card" + std::to_string(card) + "/device/../product");
    if (!text) return std::nullopt;
    if (!text->empty() && text->back() == '\n') text->pop_back();
    if (text->empty()) return std::nullopt;
    return replacingInvalidUtf8(*text);
}

bool startsWith(const std::string& text, const std::string& prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

bool deniedByPermission(int error) {
    return error == EACCES || error == EPERM;
}

}  // namespace

std::vector<AlsaMicrophone> listAlsaMicrophones(DeviceIo& io) {
    std::vector<AlsaMicrophone> microphones;
    prepareAlsa();
    int card = -1;
    while (snd_card_next(&card) == 0 && card >= 0) {
        snd_ctl_t* control = nullptr;
        if (snd_ctl_open(&control, ("hw:" + std::to_string(card)).c_str(), 0) < 0) continue;
        snd_ctl_card_info_t* cardInfo = nullptr;
        snd_ctl_card_info_alloca(&cardInfo);
        if (snd_ctl_card_info(control, cardInfo) < 0) {
            snd_ctl_close(control);
            continue;
        }
        const std::string id = snd_ctl_card_info_get_id(cardInfo);
        // Texts shown to the host are UTF-8; the card's id stays as ALSA spells it for opening.
        const std::string name =
            usbProduct(io, card).value_or(replacingInvalidUtf8(snd_ctl_card_info_get_name(cardInfo)));

        int device = -1;
        for (int seen = 0; seen < maxDevicesPerCard; ++seen) {
            if (snd_ctl_pcm_next_device(control, &device) < 0 || device < 0) break;
            snd_pcm_info_t* pcmInfo = nullptr;
            snd_pcm_info_alloca(&pcmInfo);
            snd_pcm_info_set_device(pcmInfo, static_cast<unsigned>(device));
            snd_pcm_info_set_subdevice(pcmInfo, 0);
            snd_pcm_info_set_stream(pcmInfo, SND_PCM_STREAM_CAPTURE);
            // Fails for a device that only plays.
            if (snd_ctl_pcm_info(control, pcmInfo) < 0) continue;
            const std::string number = std::to_string(device);
            microphones.push_back({"plughw:CARD=" + id + ",DEV=" + number,
                                   replacingInvalidUtf8("alsa:" + id + ":" + number), name});
        }
        snd_ctl_close(control);
    }
    return microphones;
}

AuthorizationStatus alsaPermission(DeviceIo& io) {
    for (const auto& name : io.listDirectory("/dev/snd")) {
        const std::string path = "/dev/snd/" + name;
        if (startsWith(name, "controlC")) {
            // Opening a control node takes nothing from anyone.
            const int fd = io.open(path, O_RDWR | O_NONBLOCK);
            if (fd >= 0) {
                io.close(fd);
            } else if (deniedByPermission(errno)) {
                return AuthorizationStatus::denied;
            }
        } else if (startsWith(name, "pcmC") && name.back() == 'c') {
            // A capture PCM is only checked: opening it would take it from a program using it.
            if (::faccessat(AT_FDCWD, path.c_str(), R_OK | W_OK, AT_EACCESS) != 0 &&
                deniedByPermission(errno)) {
                return AuthorizationStatus::denied;
            }
        }
    }
    return AuthorizationStatus::authorized;
}

}  // namespace qv
