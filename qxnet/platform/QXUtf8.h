#pragma once

// UTF-8 and the platform's wide text, both ways: what the system's narrow interfaces (Linux
// names, aliases, URLs, standard output) carry and what the library's interface holds. A wide
// character is a code point where wchar_t has 32 bits and a UTF-16 unit where it has 16.

#include <string>

namespace QX {

// A wide text as UTF-8; a value that is no Unicode scalar (a lone surrogate, above U+10FFFF)
// becomes U+FFFD. Null reads as empty.
std::string ToUtf8(const wchar_t* text);

// UTF-8 bytes as wide text, the inverse of ToUtf8; each maximal ill-formed part (a stray
// continuation byte, a truncated, overlong or surrogate sequence) becomes one U+FFFD. Null
// reads as empty.
std::wstring FromUtf8(const char* text);

}  // namespace QX
