#include "engine/PlayerName.h"

#include <regex>

namespace qv {

std::optional<std::string> player(std::string_view name, bool audio) {
    static constexpr std::string_view microphonePrefix = "Microphone (";
    static constexpr std::string_view microphoneSuffix = ")";
    if (audio && name.starts_with(microphonePrefix) && name.ends_with(microphoneSuffix)) {
        name = name.substr(microphonePrefix.size(),
                           name.size() - microphonePrefix.size() - microphoneSuffix.size());
    }
    // The whole name must match: "$" may not accept a trailing line break.
    static const std::regex pattern("Quorvelle - Player (0[1-9]|[1-9][0-9])");
    if (!std::regex_match(name.begin(), name.end(), pattern)) return std::nullopt;
    return std::string(name.substr(name.size() - 2));
}

}  // namespace qv
