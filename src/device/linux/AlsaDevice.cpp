#include "device/linux/AlsaDevice.h"

#include "device/linux/AlsaInput.h"

namespace qv {

std::shared_ptr<CaptureInput> AlsaDevice::createInput() {
    return std::make_shared<AlsaInput>(shared_from_this(), microphone_.pcm);
}

}  // namespace qv
