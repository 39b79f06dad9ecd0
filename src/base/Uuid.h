#pragma once

#include <string>
#include <string_view>

namespace qv {

// A fresh random (version 4) UUID in lower-case canonical text.
std::string randomUuid();
// True for canonical UUID text (8-4-4-4-12 hexadecimal digits, either letter case).
bool isCanonicalUuid(std::string_view text);
// ASCII letters in lower case: the form in which ids are stored, compared and put in file names.
std::string lowerCased(std::string text);

}  // namespace qv
