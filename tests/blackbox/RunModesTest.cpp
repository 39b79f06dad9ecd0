#include "SimulatedPlayers.h"
#include "base/Digest.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <iterator>
#include <regex>
#include <sstream>
#include <tuple>

using namespace qvtest;
namespace fs = std::filesystem;

namespace {

std::string fatalLine(const std::string& code, const std::string& message) {
    return R"({"devicesReleased":false,"error":{"code":")" + code + R"(","message":")" + message +
           R"("},"event":"fatal","sessionId":null})" + "\n";
}

// Runs a test mode under a fresh TMPDIR; expects success and one JSON line.
Json runMode(const std::vector<std::string>& args, const TempDir& tmp) {
    const auto run = runHelper(args, {}, 120.0, {{"TMPDIR", tmp.path()}});
    EXPECT_EQ(run.status, 0) << args[0] << ": " << run.out;
    EXPECT_EQ(run.err, "") << args[0];
    EXPECT_EQ(std::count(run.out.begin(), run.out.end(), '\n'), 1) << args[0];
    return Json::parse(run.out, nullptr, false);
}

long previewFilesIn(const std::string& directory) {
    return std::ranges::count_if(fs::directory_iterator(directory), [](const fs::directory_entry& entry) {
        return entry.path().filename().string().starts_with("preview-");
    });
}

}  // namespace

TEST(CommandLine, EachModeWritesItsExactOutputAndStatus) {
    const std::string help =
        "Quorvelle Linux native capture prototype. --stdio accepts bounded JSONL protocol v1. "
        "--synthetic-test encodes generated pixels without device access. --self-test runs pure "
        "validation checks without device enumeration, permission queries or streams.\n";
    const std::string badTmpdir = "Temporary directory must be an existing absolute directory";
    const std::string ioFailure =
        R"({"error":{"code":"OUTPUT_DIRECTORY","message":")" + badTmpdir + R"("},"ok":false})" + "\n";
    const std::string badConfig = fatalLine("SIMULATION_CONFIG", "Simulated device configuration is invalid");
    const std::map<std::string, std::string> relative = {{"TMPDIR", "relative/dir"}};
    const TempDir tmp;
    const std::string notUtf8 = tmp.path() + "/\xFF";
    fs::create_directory(notUtf8);
    struct Case {
        std::vector<std::string> args;
        std::map<std::string, std::string> env;
        int status;
        std::string out, err;
    };
    std::vector<Case> cases = {
        {{"--help"}, {}, 0, help, ""},
        // An engine that cannot be built, in each mode that builds one.
        {{"--stdio"}, relative, 1, fatalLine("OUTPUT_DIRECTORY", badTmpdir), ""},
        {{"--stdio"}, {{"TMPDIR", notUtf8}}, 1, fatalLine("OUTPUT_DIRECTORY", badTmpdir), ""},
        {{"--lifecycle-self-test", "close"}, relative, 1, "", "Lifecycle self-test failed\n"},
        {{"--io-self-test"}, relative, 1, ioFailure, ""},
        {{"--stdio"}, {{"QUORVELLE_SIMULATED_DEVICES", "{\"video\": 1}"}}, 1, badConfig, ""},
    };
    // Anything else is a usage error.
    for (const char* line : {"", "-h", "--HELP", "--stdio x", "--self-test x", "--lifecycle-self-test",
                             "--lifecycle-self-test open", "--synthetic-test 2000 3000"}) {
        std::istringstream words(line);
        cases.push_back({{std::istream_iterator<std::string>(words), {}}, {}, 64, "", "Use --help\n"});
    }
    for (const auto& c : cases) {
        const auto result = runHelper(c.args, {}, 20.0, c.env);
        EXPECT_EQ(std::tie(result.status, result.out, result.err), std::tie(c.status, c.out, c.err))
            << (c.args.empty() ? "(none)" : c.args[0]);
    }
}

TEST(CommandLine, SyntheticDurationMustBeWholeSecondsInRange) {
    const std::string refused =
        R"({"error":{"code":"TEST_ARGUMENT","message":"Synthetic duration must be whole seconds from1000 )"
        "through600000ms\"},\"ok\":false}\n";
    for (const char* mode : {"--synthetic-test", "--synthetic-audio-test"}) {
        for (const char* duration : {"1500", "601000", "999", "0", "2000.0", " 2000", "2000 ", "abc", "",
                                     "-2000", "+", "++2000", "99999999999999999999", "2e3", "0x7d0"}) {
            const auto result = runHelper({mode, duration});
            EXPECT_EQ(std::tie(result.status, result.out, result.err), std::make_tuple(1, refused, ""))
                << mode << " '" << duration << "'";
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
    Json io = runMode({"--io-self-test"}, tmp);
    const fs::path dir(io.value("sessionDir", ""));
    io.erase("sessionDir");
    EXPECT_EQ(
        io, Json::parse(R"({"ok":true,"noReplace":true,"existingBytesPreserved":3,"traversalRejected":true,)"
                        R"("hardFileCeiling":134217728,"oversizeFtruncateRejected":true,)"
                        R"("deviceEnumeration":false,"permissionsQueried":false,"streamsOpened":false})"));
    EXPECT_EQ(dir.parent_path(), fs::canonical(tmp.path()));
    EXPECT_EQ(fileText(dir / "owned.png"), std::string("\x01\x02\x03"));
    EXPECT_EQ(fs::file_size(dir / "cap-check.png"), 0u);
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 2);

    for (const std::string mode : {"close", "eof"}) {
        const auto result = runHelper({"--lifecycle-self-test", mode}, {}, 20.0, {{"TMPDIR", tmp.path()}});
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
        expected = std::regex_replace(expected, std::regex("\"S\""), "\"" + session + "\"");
        EXPECT_EQ(std::tie(result.status, result.out, result.err), std::make_tuple(0, expected, "")) << mode;
    }
}

TEST(SelfTestModes, SelfTestsPassAndThePreviewOnesCleanUp) {
    TempDir tmp;
    // What these modes check is their own business; here they only have to pass.
    for (const std::string mode : {"--self-test", "--watchdog-self-test"})
        EXPECT_EQ(runMode({mode}, tmp)["ok"], true);
    // The codec test once, then the pipeline test 50 times: it must pass every time, not most times.
    for (int run = 0; run <= 50; ++run) {
        const Json line = runMode({run == 0 ? "--preview-codec-test" : "--preview-pipeline-test"}, tmp);
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
        EXPECT_TRUE(includes(result, {{"ok", true}, {"videoSamples", audio ? 60 : 120}}));
        const std::string mp4 =
            result["sessionDir"].get<std::string>() + "/" + result["mp4"]["basename"].get<std::string>();
        EXPECT_EQ(result["mp4"]["sha256"], qv::sha256Hex(fileText(mp4)));
        EXPECT_EQ(fs::status(mp4).permissions(), fs::perms::owner_read | fs::perms::owner_write);

        const Json probed = probe(mp4, true);
        ASSERT_TRUE(probed.is_object());
        ASSERT_EQ(probed["streams"].size(), audio ? 2u : 1u);
        EXPECT_TRUE(
            includes(probed["streams"][0],
                     Json::parse(R"({"codec_name":"h264","width":1280,"height":1152,"has_b_frames":0,)"
                                 R"("color_range":"tv","color_space":"smpte170m","pix_fmt":"yuv420p"})")));
        for (const Json& frame : probed["frames"]) ASSERT_NE(frame.value("pict_type", ""), "B");
        EXPECT_NEAR(std::stod(probed["format"]["duration"].get<std::string>()), seconds, 0.05);
        if (audio) {
            const Json& track = probed["streams"][1];
            EXPECT_TRUE(includes(track, {{"codec_name", "aac"}, {"sample_rate", "48000"}, {"channels", 1}}));
            EXPECT_NEAR(std::stod(track["duration"].get<std::string>()), seconds, 0.05);
        }
    }
}
