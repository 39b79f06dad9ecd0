#include "device/linux/AlsaInput.h"

#include "base/CaptureError.h"
#include "base/Clock.h"
#include "device/AudioDataOutput.h"
#include "device/linux/AlsaLibrary.h"

#include <alsa/asoundlib.h>

#include <algorithm>
#include <atomic>
#include <cmath>

namespace qv {

namespace {

constexpr unsigned preferredRate = 48000;
constexpr unsigned preferredChannels = 2;
constexpr unsigned periodMicroseconds = 10000;
// Room for a capture thread that is held up for a while before the device overruns.
constexpr unsigned bufferMicroseconds = 200000;
constexpr int waitTimeoutMs = 100;
// Consecutive failed recoveries after which the device is treated as broken.
constexpr int maxFailedRecoveries = 10;
// A driver timestamp older than this is stale (or from another clock): the block is timed by now.
constexpr double stalestStamp = 1.0;

// The PCM and what its capture thread keeps between blocks.
class AlsaCore final : public DeviceInput::Core {
public:
    ~AlsaCore() override { close(); }

    snd_pcm_t* pcm = nullptr;
    AudioFormat format;
    snd_pcm_uframes_t period = 0;
    std::shared_ptr<AudioDataOutput> output;

    // Whether the driver stamps its positions on the monotonic clock (see openPcm).
    bool driverClock = false;
    // Capture thread only: the previous block's time.
    bool haveClock = false;
    double lastTime = 0;

    Start prepare(const std::vector<std::shared_ptr<CaptureOutput>>& outputs) override {
        if (pcm == nullptr) return Start::refused;
        output = findOutput<AudioDataOutput>(outputs);
        if (!output) return Start::idle;
        if (snd_pcm_prepare(pcm) < 0 || snd_pcm_start(pcm) < 0) return Start::refused;
        haveClock = false;
        return Start::stream;
    }

    bool close() override {
        if (pcm == nullptr) return true;
        snd_pcm_drop(pcm);
        const bool closed = snd_pcm_close(pcm) == 0;
        pcm = nullptr;
        return closed;
    }

    // Monotonic time of the first frame of a block just read. The driver's status pairs a position
    // with the moment it reached it, taken together in the kernel, so the time does not depend on
    // when this thread got to run; without it, now less what was captured since. The recording
    // smooths what jitter is left and follows the device's clock, so blocks are not evened out here.
    double timeOf(snd_pcm_sframes_t frames) {
        const double now = mono();
        const double rate = format.sampleRate;
        double time = HUGE_VAL;
        if (driverClock) {
            snd_pcm_status_t* status = nullptr;
            snd_pcm_status_alloca(&status);
            if (snd_pcm_status(pcm, status) == 0) {
                snd_htimestamp_t stamp{};
                snd_pcm_status_get_htstamp(status, &stamp);
                const double at =
                    static_cast<double>(stamp.tv_sec) + static_cast<double>(stamp.tv_nsec) / 1e9;
                const snd_pcm_sframes_t delay = snd_pcm_status_get_delay(status);
                if (at > 0 && at <= now && now - at < stalestStamp && delay >= 0) {
                    time = at - static_cast<double>(frames + delay) / rate;
                }
            }
        }
        if (time == HUGE_VAL) {
            snd_pcm_sframes_t delay = 0;
            if (snd_pcm_delay(pcm, &delay) < 0 || delay < 0) delay = 0;
            time = now - static_cast<double>(frames + delay) / rate;
        }
        // A block cannot have begun later than its own length before now, and time never goes back.
        time = std::min(time, now - static_cast<double>(frames) / rate);
        if (haveClock && time <= lastTime) time = std::nextafter(lastTime, lastTime + 1);
        haveClock = true;
        lastTime = time;
        return time;
    }

    // Brings the PCM back after an error. False when the capture must end.
    bool recover(int error, int& failures) {
        if (error == -ENODEV) {
            unplugged.store(true);
            return false;
        }
        if (snd_pcm_recover(pcm, error, 1) < 0 || snd_pcm_start(pcm) < 0) {
            if (snd_pcm_state(pcm) == SND_PCM_STATE_DISCONNECTED) {
                unplugged.store(true);
                return false;
            }
            return ++failures < maxFailedRecoveries;
        }
        return true;
    }

    void run(const std::atomic<bool>& stopRequested) override {
        int failures = 0;
        bool alive = true;
        while (alive && !stopRequested.load()) {
            const int ready = snd_pcm_wait(pcm, waitTimeoutMs);
            if (ready < 0) {
                alive = recover(ready, failures);
                continue;
            }
            if (ready == 0) continue;
            // Whole periods only, so that every block is about 10 ms.
            while (alive && !stopRequested.load()) {
                AudioSample sample;
                sample.format = format;
                sample.samples.resize(period * static_cast<std::size_t>(format.channels));
                const snd_pcm_sframes_t frames = snd_pcm_readi(pcm, sample.samples.data(), period);
                if (frames == -EAGAIN || frames == 0) break;
                if (frames < 0) {
                    alive = recover(static_cast<int>(frames), failures);
                    break;
                }
                failures = 0;
                sample.samples.resize(static_cast<std::size_t>(frames) *
                                      static_cast<std::size_t>(format.channels));
                sample.presentationTime = timeOf(frames);
                if (delivering.load()) output->deliver(std::move(sample));
            }
        }
        snd_pcm_drop(pcm);
    }
};

// Opens the PCM at the device's own rate and channel count: the plug layer only converts the
// sample format.
std::shared_ptr<AlsaCore> openPcm(const std::string& name) {
    prepareAlsa();
    auto core = std::make_shared<AlsaCore>();
    // The core closes the PCM if anything below throws.
    auto check = [](int result) {
        if (result < 0) throw PlatformError("ALSA", -result, snd_strerror(result));
    };
    check(snd_pcm_open(&core->pcm, name.c_str(), SND_PCM_STREAM_CAPTURE,
                       SND_PCM_NONBLOCK | SND_PCM_NO_AUTO_RESAMPLE | SND_PCM_NO_AUTO_CHANNELS));

    snd_pcm_hw_params_t* hardware = nullptr;
    snd_pcm_hw_params_alloca(&hardware);
    check(snd_pcm_hw_params_any(core->pcm, hardware));
    check(snd_pcm_hw_params_set_access(core->pcm, hardware, SND_PCM_ACCESS_RW_INTERLEAVED));
    check(snd_pcm_hw_params_set_format(core->pcm, hardware, SND_PCM_FORMAT_S16));
    unsigned rate = preferredRate;
    check(snd_pcm_hw_params_set_rate_near(core->pcm, hardware, &rate, nullptr));
    unsigned channels = preferredChannels;
    check(snd_pcm_hw_params_set_channels_near(core->pcm, hardware, &channels));
    unsigned periodTime = periodMicroseconds;
    check(snd_pcm_hw_params_set_period_time_near(core->pcm, hardware, &periodTime, nullptr));
    unsigned bufferTime = bufferMicroseconds;
    check(snd_pcm_hw_params_set_buffer_time_near(core->pcm, hardware, &bufferTime, nullptr));
    check(snd_pcm_hw_params(core->pcm, hardware));
    snd_pcm_uframes_t period = 0;
    check(snd_pcm_hw_params_get_period_size(hardware, &period, nullptr));
    if (period == 0 || rate == 0 || channels == 0) check(-EINVAL);
    core->period = period;
    core->format = {static_cast<int>(rate), static_cast<int>(channels)};

    // Positions stamped on the monotonic clock, the clock of every other timestamp. Both settings
    // or neither: a stamp on the wall clock would be worse than none.
    snd_pcm_sw_params_t* software = nullptr;
    snd_pcm_sw_params_alloca(&software);
    core->driverClock =
        snd_pcm_sw_params_current(core->pcm, software) >= 0 &&
        snd_pcm_sw_params_set_tstamp_mode(core->pcm, software, SND_PCM_TSTAMP_ENABLE) >= 0 &&
        snd_pcm_sw_params_set_tstamp_type(core->pcm, software, SND_PCM_TSTAMP_TYPE_MONOTONIC) >= 0 &&
        snd_pcm_sw_params(core->pcm, software) >= 0;
    return core;
}

}  // namespace

AlsaInput::AlsaInput(CaptureDeviceRef device, const std::string& pcm)
    : DeviceInput(std::move(device), "qv.alsa", openPcm(pcm)) {}

AudioFormat AlsaInput::format() const {
    return static_cast<const AlsaCore&>(core()).format;
}

}  // namespace qv
