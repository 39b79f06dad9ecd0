#include "selftest/ValidationSelfTest.h"

#include "base/CaptureError.h"
#include "base/Runtime.h"
#include "engine/PlayerName.h"
#include "protocol/Validation.h"

#include <cstdlib>

namespace qv {

namespace {

// A failed check stops the process at once, abnormally and with nothing on standard output.
void check(bool holds) {
    if (!holds) std::abort();
}

bool integerThrows(const Json& value) {
    try {
        integer(&value, 1000, 600000);
    } catch (const CaptureError&) {
        return true;
    }
    return false;
}

}  // namespace

[[noreturn]] void validationSelfTest() {
    check(player("Quorvelle - Player 01", false) == "01");
    check(player("Quorvelle - Player 99", false) == "99");
    check(player("Microphone (Quorvelle - Player 01)", true) == "01");
    check(player("Microphone (Quorvelle - Player 01)", false) == std::nullopt);
    for (const char* name :
         {"Quorvelle - Player 00", "Quorvelle - Player 100", "FaceTime HD Camera",
          "Quorvelle - Player 01 extra", "Quorvelle", "quorvelle - Player 01", "MacBook Pro Microphone"}) {
        check(player(name, true) == std::nullopt);
    }

    check(integer(nullptr, 1000, 600000, 180000) == 180000);
    const Json lowest = 1000, highest = 600000;
    check(integer(&lowest, 1000, 600000) == 1000);
    check(integer(&highest, 1000, 600000) == 600000);
    for (const Json& rejected : {Json(true), Json(0), Json(600001), Json(1000.5), Json("180000")}) {
        check(integerThrows(rejected));
    }

    check(validID("request_123-a"));
    check(!validID("../escape"));
    check(!validID(std::string(81, 'a')));

    writeAll(1,
             "{\"ok\":true,\"checks\":22,\"deviceEnumeration\":false,\"permissionsQueried\":false,"
             "\"streamsOpened\":false}\n");
    exitProcess(0);
}

}  // namespace qv
