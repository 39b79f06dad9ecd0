#include "device/linux/AlsaLibrary.h"

#include <alsa/asoundlib.h>

#include <mutex>

namespace qv {

namespace {

// Failures reach the helper as return codes; the library's own text is not wanted anywhere.
extern "C" void discardAlsaMessage(const char*, int, const char*, int, const char*, ...) {}

}  // namespace

void prepareAlsa() {
    static std::once_flag once;
    std::call_once(once, [] { snd_lib_error_set_handler(discardAlsaMessage); });
}

}  // namespace qv
