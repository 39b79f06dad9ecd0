#include "device/linux/DeviceIo.h"
#include "device/linux/V4l2Inventory.h"

#include <linux/videodev2.h>
#include <sys/mman.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <map>

using namespace qv;

namespace {

// Cameras that describe themselves with the given driver texts and, when set, a USB product string;
// nothing else is asked of them.
class TextKernel final : public DeviceIo {
public:
    struct Camera {
        std::string card, busInfo;
        std::optional<std::string> product;
    };
    explicit TextKernel(std::vector<Camera> cameras) : cameras_(std::move(cameras)) {}

    int open(const std::string& path, int) override {
        const auto number = static_cast<std::size_t>(std::stoi(path.substr(10)));
        return number < cameras_.size() ? static_cast<int>(100 + number) : failure(ENOENT);
    }
    int close(int) override { return 0; }
    int ioctl(int fd, unsigned long request, void* argument) override {
        if (request != VIDIOC_QUERYCAP) return failure(EINVAL);
        const Camera& camera = cameras_.at(static_cast<std::size_t>(fd - 100));
        auto* capability = static_cast<v4l2_capability*>(argument);
        *capability = {};
        capability->capabilities = V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_STREAMING;
        std::copy_n(camera.card.begin(), std::min(camera.card.size(), sizeof capability->card),
                    capability->card);
        std::copy_n(camera.busInfo.begin(), std::min(camera.busInfo.size(), sizeof capability->bus_info),
                    capability->bus_info);
        return 0;
    }
    void* mmap(std::size_t, int, int, int, off_t) override { return MAP_FAILED; }
    int munmap(void*, std::size_t) override { return failure(EINVAL); }
    int poll(pollfd*, nfds_t, int) override { return failure(EINVAL); }
    std::vector<std::string> listDirectory(const std::string&) override {
        std::vector<std::string> names;
        for (std::size_t i = 0; i < cameras_.size(); ++i) names.push_back("video" + std::to_string(i));
        return names;
    }
    std::optional<std::string> readText(const std::string& path) override {
        const auto number =
            static_cast<std::size_t>(std::stoi(path.substr(path.find("video4linux/video") + 17)));
        return cameras_.at(number).product;
    }

private:
    static int failure(int error) {
        errno = error;
        return -1;
    }
    std::vector<Camera> cameras_;
};

}  // namespace

TEST(V4l2Inventory, DriverAndSysfsTextsThatAreNotUtf8AreListedWithReplacementCharacters) {
    const std::string r = "\xEF\xBF\xBD";
    // The card field is cut at 32 bytes, here inside a two-byte sequence.
    const std::string longCard = std::string(31, 'C') + "\xC3\xA9";
    TextKernel kernel({{"Cam\xE9ra", "usb-\xFE-1", std::nullopt},
                       {longCard, "usb-2", std::nullopt},
                       {"UVC Camera", "usb-3", "Caf\xE9 Player\n"},
                       {"UVC Camera", "usb-4", "Caf\xC3\xA9 Player\n"}});
    std::vector<std::pair<std::string, std::string>> listed;
    for (const auto& camera : listV4l2Cameras(kernel)) listed.emplace_back(camera.uniqueId, camera.name);
    const std::vector<std::pair<std::string, std::string>> expected = {
        {"v4l2:usb-" + r + "-1", "Cam" + r + "ra"},
        {"v4l2:usb-2", std::string(31, 'C') + r},
        {"v4l2:usb-3", "Caf" + r + " Player"},
        {"v4l2:usb-4", "Caf\xC3\xA9 Player"},
    };
    EXPECT_EQ(listed, expected);
}
