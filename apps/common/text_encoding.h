// Text conversion for the tools: the logs are written in code page 932, the tools
// print UTF-8.
#pragma once
#include <string>
#include <string_view>

namespace qel {

// Converts cp932 bytes to UTF-8. Plain ASCII is copied unchanged without calling the
// system; a byte sequence that is not cp932 becomes U+FFFD, so the result is always
// valid UTF-8.
std::string Cp932ToUtf8(std::string_view text);

}  // namespace qel
