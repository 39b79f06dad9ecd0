#include "capture/VideoFormatRecord.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

using namespace qv;

namespace {

class FixedDevice : public CaptureDevice {
public:
    std::optional<VideoFormat> format;
    double minDuration = 0;
    double maxDuration = 0;

    MediaType mediaType() const override { return MediaType::video; }
    const std::string& uniqueId() const override { return id_; }
    const std::string& localizedName() const override { return id_; }
    const std::vector<VideoFormat>& formats() const override { return formats_; }
    std::optional<VideoFormat> activeFormat() const override { return format; }
    double activeMinFrameDuration() const override { return minDuration; }
    double activeMaxFrameDuration() const override { return maxDuration; }
    std::shared_ptr<CaptureInput> createInput() override { return nullptr; }

private:
    std::string id_ = "fixed";
    std::vector<VideoFormat> formats_;
};

}  // namespace

TEST(VideoFormatRecord, DescribesTheActiveFormatWithAtMostEightRanges) {
    FixedDevice device;
    VideoFormat format{160, 144, 0x42475241u, {}};
    for (int i = 0; i < 10; ++i) format.frameRateRanges.push_back({1.0 + i, 60.0});
    device.format = format;
    device.minDuration = 1.0 / 60;
    device.maxDuration = 1.0 / 30;
    const Json record = videoFormatRecord(device, 12.5);
    EXPECT_TRUE(record["mediaSubType"].is_number_unsigned());
    EXPECT_DOUBLE_EQ(record["minimumFrameDurationSeconds"].get<double>(), 1.0 / 60);
    EXPECT_DOUBLE_EQ(record["maximumFrameDurationSeconds"].get<double>(), 1.0 / 30);
    ASSERT_EQ(record["supportedFrameRateRanges"].size(), 8u);
    EXPECT_EQ(record["supportedFrameRateRanges"][7], (Json{{"minFps", 8.0}, {"maxFps", 60.0}}));
    EXPECT_DOUBLE_EQ(record["observedAtUptimeMs"].get<double>(), 12500.0);

    // Unknown durations are null.
    for (const double bad : {0.0, -1.0, std::numeric_limits<double>::infinity(), std::nan("")}) {
        device.minDuration = bad;
        device.maxDuration = bad;
        const Json unknown = videoFormatRecord(device, 0);
        EXPECT_TRUE(unknown["minimumFrameDurationSeconds"].is_null()) << bad;
        EXPECT_TRUE(unknown["maximumFrameDurationSeconds"].is_null()) << bad;
    }
}
