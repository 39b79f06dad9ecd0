#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace qv {

// The two-digit player number ("01" to "99") of a Quorvelle device name, or none. A microphone is
// named "Microphone (<camera name>)"; with `audio` true that wrapping is taken off first.
std::optional<std::string> player(std::string_view name, bool audio);

}  // namespace qv
