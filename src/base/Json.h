#pragma once

#include <nlohmann/json.hpp>

namespace qv {

// Objects keep sorted keys (std::map); integers, floats, booleans and null stay distinct.
using Json = nlohmann::json;

}  // namespace qv
