#include "SimulatedPlayers.h"
#include "TestSupport.h"
#include "base/Digest.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>

using namespace qvtest;
namespace fs = std::filesystem;

namespace {

std::string fatalLine(const std::string& code, const std::string& message) {
    return Json{{"devicesReleased", false},
                {"error", {{"code", code}, {"message", message}}},
                {"event", "fatal"},
                {"sessionId", nullptr}}
               .dump() +
           "\n";
}

// Runs a test mode under a fresh TMPDIR; expects success and one JSON line.
Json runMode(const std::vector<std::string>& args, const TempDir& tmp) {
    const auto run = runHelper(args, {}, 120.0, {{"TMPDIR", tmp.path()}});
    EXPECT_EQ(run.status, 0) << args[0] << ": " << run.out;
    EXPECT_EQ(run.err, "") << args[0];
    EXPECT_EQ(std::count(run.out.begin(), run.out.end(), '\n'), 1) << args[0];
    return Json::parse(run.out, nullptr, false);
}

int previewFilesIn(const std::string& directory) {
    int count = 0;
    for (const auto& entry : fs::directory_iterator(directory))
        count += entry.path().filename().string().starts_with("preview-");
    return count;
}

}  // namespace

TEST(CommandLine, EachModeWritesItsExactOutputAndStatus) {
    const std::string badTmpdir = "Temporary directory must be an existing absolute directory";
    const std::string usage = "Use --help\n";
    struct Case {
        std::vector<std::string> args;
        std::map<std::string, std::string> env;
        int status;
        std::string out, err;
    };
    const Case cases[] = {
        {{"--help"},
         {},
         0,
         "Quorvelle Linux native capture prototype. --stdio accepts bounded JSONL protocol v1. "
         "--synthetic-test encodes generated pixels without device access. --self-test runs pure "
         "validation checks without device enumeration, permission queries or streams.\n",
         ""},
        // An engine that cannot be built, in each mode that builds one.
        {{"--stdio"}, {{"TMPDIR", "relative/dir"}}, 1, fatalLine("OUTPUT_DIRECTORY", badTmpdir), ""},
        {{"--lifecycle-self-test", "close"}, {{"TMPDIR", "relative"}}, 1, "", "Lifecycle self-test failed\n"},
        {{"--io-self-test"},
         {{"TMPDIR", "relative/dir"}},
         1,
         Json{{"error", {{"code", "OUTPUT_DIRECTORY"}, {"message", badTmpdir}}}, {"ok", false}}.dump() + "\n",
         ""},
        {{"--stdio"},
         {{"QUORVELLE_SIMULATED_DEVICES", "{\"video\": 1}"}},
         1,
         fatalLine("SIMULATION_CONFIG", "Simulated device configuration is invalid"),
         ""},
        // Anything else is a usage error.
        {{}, {}, 64, "", usage},
        {{"-h"}, {}, 64, "", usage},
        {{"--HELP"}, {}, 64, "", usage},
        {{"--stdio", "x"}, {}, 64, "", usage},
        {{"--self-test", "x"}, {}, 64, "", usage},
        {{"--lifecycle-self-test"}, {}, 64, "", usage},
        {{"--lifecycle-self-test", "open"}, {}, 64, "", usage},
        {{"--synthetic-test", "2000", "3000"}, {}, 64, "", usage},
    };
    for (const auto& c : cases) {
        const auto result = runHelper(c.args, {}, 20.0, c.env);
        const std::string name = c.args.empty() ? "(none)" : c.args[0];
        EXPECT_EQ(result.status, c.status) << name;
        EXPECT_EQ(result.out, c.out) << name;
        EXPECT_EQ(result.err, c.err) << name;
    }
}

TEST(CommandLine, SyntheticDurationMustBeWholeSecondsInRange) {
    const std::string refused =
        R"({"error":{"code":"TEST_ARGUMENT","message":"Synthetic duration must be whole seconds from1000 )"
        R"(through600000ms"},"ok":false})"
        "\n";
    for (const char* mode : {"--synthetic-test", "--synthetic-audio-test"}) {
        for (const char* duration : {"1500", "601000", "999", "0", "2000.0", " 2000", "2000 ", "abc", "",
                                     "-2000", "+", "++2000", "99999999999999999999", "2e3", "0x7d0"}) {
            const auto result = runHelper({mode, duration});
            EXPECT_EQ(result.status, 1) << mode << " '" << duration << "'";
            EXPECT_EQ(result.out, refused) << mode << " '" << duration << "'";
            EXPECT_EQ(result.err, "");
        }
    }
    // Accepted ones start a recording that may take long: watched briefly, then stopped.
    for (const char* duration : {"+3000", "600000", "1000", "0002000"}) {
        HelperProcess helper({"--synthetic-test", duration});
        EXPECT_EQ(helper.readLine(3.0).value_or("").find("TEST_ARGUMENT"), std::string::npos) << duration;
    }
}

TEST(SelfTestModes, IoAndLifecycleLeaveWhatTheyPromise) {
    TempDir tmp;
    const Json io = runMode({"--io-self-test"}, tmp);
    const std::string sessionDir = io.value("sessionDir", "");
    EXPECT_EQ(io, (Json{{"ok", true},
                        {"noReplace", true},
                        {"existingBytesPreserved", 3},
                        {"traversalRejected", true},
                        {"hardFileCeiling", 134217728},
                        {"oversizeFtruncateRejected", true},
                        {"sessionDir", sessionDir},
                        {"deviceEnumeration", false},
                        {"permissionsQueried", false},
                        {"streamsOpened", false}}));
    const fs::path dir(sessionDir);
    EXPECT_EQ(dir.parent_path(), fs::canonical(tmp.path()));
    EXPECT_EQ(fileText(dir / "owned.png"), std::string("\x01\x02\x03"));
    EXPECT_EQ(fs::file_size(dir / "cap-check.png"), 0u);
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 2);

    for (const std::string mode : {"close", "eof"}) {
        const auto result = runHelper({"--lifecycle-self-test", mode}, {}, 20.0, {{"TMPDIR", tmp.path()}});
        EXPECT_EQ(result.status, 0) << mode;
        EXPECT_EQ(result.err, "");
        const std::string session = Json::parse(result.out.substr(0, result.out.find('\n')))["sessionId"];
        std::string expected =
            R"({"error":{"code":"NO_VIDEO_FRAME","message":"No fresh connected native preview frame is available"},)"
            R"("ok":false,"requestId":"00000000-0000-4000-8000-000000000001","sessionId":"S","stateSequence":0})"
            "\n"
            R"({"delayedFinalizerReentered":false,"deviceEnumeration":false,"event":"self_test","mode":")" +
            mode + R"(","ok":true,"permissionsQueried":false,"streamsOpened":false})" + "\n";
        if (mode == "close")
            expected +=
                R"({"ok":true,"requestId":"00000000-0000-4000-8000-000000000002","result":{"closed":true,)"
                R"("devicesReleased":true,"sessionId":"S","stateSequence":1}})"
                "\n";
        expected += R"({"devicesReleased":true,"event":"closed","sessionId":"S","stateSequence":1})"
                    "\n";
        for (auto at = expected.find("\"S\""); at != std::string::npos; at = expected.find("\"S\"", at))
            expected.replace(at + 1, 1, session);
        EXPECT_EQ(result.out, expected);
    }
}

TEST(SelfTestModes, SelfTestsPassAndThePreviewOnesCleanUp) {
    TempDir tmp;
    const Json codec = runMode({"--preview-codec-test"}, tmp);
    EXPECT_EQ(codec["ok"], true);
    EXPECT_EQ(previewFilesIn(codec["sessionDir"]), 0);
    // What these modes check is their own business; here they only have to pass.
    for (const std::string mode : {"--self-test", "--watchdog-self-test"})
        EXPECT_EQ(runMode({mode}, tmp)["ok"], true);
    // The pipeline test must pass every time, not most times.
    for (int run = 0; run < 50; ++run) {
        const Json line = runMode({"--preview-pipeline-test"}, tmp);
        ASSERT_EQ(line["ok"], true) << "run " << run;
        ASSERT_EQ(previewFilesIn(line["sessionDir"]), 0) << "run " << run;
    }
}

TEST(SelfTestModes, SyntheticRecordingsArePlayableH264WithOptionalAac) {
    TempDir tmp;
    for (const bool audio : {false, true}) {
        const Json result = runMode(audio ? std::vector<std::string>{"--synthetic-audio-test", "1000"}
                                          : std::vector<std::string>{"--synthetic-test"},
                                    tmp);
        ASSERT_TRUE(result.is_object());
        const double seconds = audio ? 1.0 : 2.0;
        EXPECT_EQ(result["ok"], true);
        EXPECT_EQ(result["videoSamples"], audio ? 60 : 120);
        const std::string mp4 =
            result["sessionDir"].get<std::string>() + "/" + result["mp4"]["basename"].get<std::string>();
        EXPECT_EQ(result["mp4"]["sha256"], qv::sha256Hex(fileText(mp4)));
        struct stat info {};
        ASSERT_EQ(::stat(mp4.c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 0777, 0600u);

        const Json probed = probe(mp4, true);
        ASSERT_TRUE(probed.is_object());
        ASSERT_EQ(probed["streams"].size(), audio ? 2u : 1u);
        const Json& video = probed["streams"][0];
        const Json expected = {{"codec_name", "h264"}, {"width", 1280},       {"height", 1152},
                               {"has_b_frames", 0},    {"color_range", "tv"}, {"color_space", "smpte170m"},
                               {"pix_fmt", "yuv420p"}};
        for (const auto& [key, value] : expected.items()) EXPECT_EQ(video[key], value) << key;
        for (const Json& frame : probed["frames"]) ASSERT_NE(frame.value("pict_type", ""), "B");
        EXPECT_NEAR(std::stod(probed["format"]["duration"].get<std::string>()), seconds, 0.05);
        if (audio) {
            const Json& track = probed["streams"][1];
            EXPECT_EQ(track["codec_name"], "aac");
            EXPECT_EQ(track["sample_rate"], "48000");
            EXPECT_EQ(track["channels"], 1);
            EXPECT_NEAR(std::stod(track["duration"].get<std::string>()), seconds, 0.05);
        }
    }
}
