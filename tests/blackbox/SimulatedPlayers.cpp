#include "SimulatedPlayers.h"

#include <cstdio>
#include <map>
#include <stdexcept>

namespace qvtest {

SimulatedHelper::SimulatedHelper(const Json& config)
    : process_({"--stdio"}, {{"QUORVELLE_SIMULATED_DEVICES", config.dump()}, {"TMPDIR", tmp_.path()}}),
      ready_(process_.readEvent("ready", 20.0).value_or(Json::object())),
      sessionDir_(ready_.value("sessionDir", "")) {
    EXPECT_FALSE(sessionDir_.empty()) << "no ready event";
}

Json SimulatedHelper::outcome(const std::string& action, const Json& reply, bool ok) {
    if (reply.is_object() && reply.value("ok", Json()) == ok) return reply[ok ? "result" : "error"];
    ADD_FAILURE() << action << (ok ? " failed: " : " succeeded: ") << reply.dump();
    return Json::object();
}

std::string SimulatedHelper::sendConnect(int player, bool withAudio, const Json& extra) {
    Json fields = {{"inventoryId", ok("list").value("inventoryId", "")},
                   {"selection", {{"videoDeviceId", videoId(player)}}}};
    if (withAudio) fields["selection"]["audioDeviceId"] = audioId(player);
    fields.update(extra);
    return process_.send("connect", fields);
}

Json SimulatedHelper::waitStatus(const std::function<bool(const Json&)>& predicate, double timeout) {
    try {
        return process_.waitStatus(predicate, timeout);
    } catch (const std::exception& e) {
        ADD_FAILURE() << e.what();
        return status();
    }
}

Json failure(const std::string& code) {
    static const std::map<std::string, std::string> messages = {
        {"ALREADY_CONNECTED", "Disconnect before selecting a device"},
        {"BUSY", "A native state transition is still in progress"},
        {"CAPTURE_LIMIT", "A UUID captureId and remaining recording quota are required"},
        {"DEVICE_MISMATCH", "Audio must be the explicitly selected matching Quorvelle player"},
        {"DEVICE_NOT_FOUND", "The selected Quorvelle video is no longer present"},
        {"FRAME_BOUND", "Native frame exceeds dimension bounds"},
        {"FRAME_LEASE_BUSY", "Finish the original native frame read before requesting another"},
        {"FRAME_LEASE_MISMATCH", "Native frame release does not match its original read"},
        {"NATIVE_ERROR", "Native capture failed. Check the error code for details."},
        {"NOT_RECORDING", "There is no active recording"},
        {"NO_AUDIO_SAMPLE", "The explicitly selected audio has not produced a native sample"},
        {"NO_VIDEO_FRAME", "No fresh connected native preview frame is available"},
        {"PERMISSION_REQUIRED", "Request normal native camera/microphone permission before connecting"},
        {"RECORDING_UNAVAILABLE", "A connected native frame and no active recording are required"},
        {"SCREENSHOT_UNAVAILABLE", "A connected frame and remaining screenshot quota are required"},
        {"STALE_INVENTORY", "List devices and use that exact inventoryId and selection"},
        {"START_FAILED", "Native session did not start"},
    };
    return Json{{"code", code}, {"message", messages.at(code)}};
}

std::string shellOutput(const std::string& command) {
    std::string text;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return "popen failed";
    char buffer[4096];
    for (std::size_t n = 0; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;) text.append(buffer, n);
    if (const int status = pclose(pipe); status != 0) text += "exit status " + std::to_string(status);
    return text;
}

Json probe(const std::string& path, bool frames) {
    // A failed run leaves text that is not JSON.
    return Json::parse(shellOutput("ffprobe -v error -print_format json -show_format -show_streams " +
                                   std::string(frames ? "-show_entries frame=pict_type " : "") + "'" + path +
                                   "' 2>/dev/null"),
                       nullptr, false);
}

}  // namespace qvtest
