#pragma once

#include <string>

namespace QX {

// A wide text (32-bit wchar_t here) as UTF-8; a value that is no Unicode scalar becomes U+FFFD.
// Null reads as empty.
std::string ToUtf8(const wchar_t* text);

}  // namespace QX
