#include "HelperProcess.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <set>

using namespace qvtest;

namespace {

std::set<std::string> keysOf(const Json& object) {
    std::set<std::string> keys;
    for (const auto& [key, value] : object.items()) keys.insert(key);
    return keys;
}

int previewFilesIn(const std::string& directory) {
    int count = 0;
    for (const auto& entry : std::filesystem::directory_iterator(directory)) {
        if (entry.path().filename().string().starts_with("preview-")) ++count;
    }
    return count;
}

}  // namespace

TEST(PreviewModes, CodecTestPrintsOneSortedResultAndCleansUp) {
    TempDir temp;
    const auto result = runHelper({"--preview-codec-test"}, {}, 60.0, {{"TMPDIR", temp.path()}});
    ASSERT_EQ(result.status, 0) << result.out;
    EXPECT_EQ(result.err, "");
    ASSERT_EQ(std::count(result.out.begin(), result.out.end(), '\n'), 1);
    const Json line = Json::parse(result.out);
    EXPECT_EQ(keysOf(line),
              (std::set<std::string>{"ok", "encoder", "decodedWidth", "decodedHeight", "bytes", "sha256",
                                     "metadata", "cleanupDrained", "sessionDir", "deviceEnumeration",
                                     "permissionsQueried", "streamsOpened", "physicalLatencyMeasured"}));
    EXPECT_EQ(line["ok"], true);
    EXPECT_EQ(line["encoder"], "production-CoreImage-preview-worker");
    EXPECT_EQ(line["decodedWidth"], 160);
    EXPECT_EQ(line["decodedHeight"], 144);
    EXPECT_EQ(line["metadata"]["bytes"], line["bytes"]);
    EXPECT_EQ(line["metadata"]["sha256"], line["sha256"]);
    EXPECT_EQ(line["metadata"]["width"], 160);
    EXPECT_TRUE(line["metadata"].contains("leaseId"));
    // Slashes go out escaped, and the directory lies where TMPDIR says.
    EXPECT_NE(result.out.find("\\/"), std::string::npos);
    const std::string dir = line["sessionDir"];
    EXPECT_EQ(std::filesystem::path(dir).parent_path(), std::filesystem::canonical(temp.path()));
    EXPECT_EQ(previewFilesIn(dir), 0);
}

TEST(PreviewModes, PipelineTestPassesFiftyTimesInARow) {
    TempDir temp;
    for (int run = 0; run < 50; ++run) {
        const auto result = runHelper({"--preview-pipeline-test"}, {}, 60.0, {{"TMPDIR", temp.path()}});
        ASSERT_EQ(result.status, 0) << "run " << run << ": " << result.out;
        ASSERT_EQ(result.err, "");
        const Json line = Json::parse(result.out);
        ASSERT_EQ(line["ok"], true);
        ASSERT_EQ(line["checks"], 84);
        if (run == 0) {
            EXPECT_EQ(line.size(), 21u);
            EXPECT_EQ(line["deterministicCadenceFps"], Json({10, 30, 60}));
            EXPECT_EQ(line["encoder"], "injected-complete-JFIF-fixture");
            const Json& fixture = line["protocolFixture"];
            EXPECT_EQ(fixture["synthetic"], true);
            EXPECT_EQ(fixture["liveFrame"]["stateSequence"], 100);
            EXPECT_EQ(fixture["liveFrame"]["frameId"], 100);
            EXPECT_EQ(fixture["status"]["sessionId"], fixture["liveFrame"]["sessionId"]);
            EXPECT_FALSE(fixture["status"]["latestFrame"].contains("leaseId"));
            EXPECT_EQ(fixture["status"]["previewStats"]["nativeDroppedVideoSamples"], 0);
            EXPECT_EQ(fixture["status"]["previewStats"]["encodedFrames"], 1);
            EXPECT_EQ(previewFilesIn(line["sessionDir"]), 0);
        }
    }
}
