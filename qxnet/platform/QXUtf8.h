#pragma once

// UTF-8 and the platform's wide text, both ways: what the system's narrow interfaces (Linux
// names, aliases, URLs, standard output) carry and what the library's interface holds. A wide
// character is a code point where wchar_t has 32 bits and a UTF-16 unit where it has 16.

#include <cstddef>
#include <string>

namespace QX {

// A wide text as UTF-8; a value that is no Unicode scalar (a lone surrogate, above U+10FFFF)
// becomes U+FFFD. Null reads as empty.
std::string ToUtf8(const wchar_t* text);

// UTF-8 bytes as wide text, the inverse of ToUtf8; each maximal ill-formed part (a stray
// continuation byte, a truncated, overlong or surrogate sequence) becomes one U+FFFD. Null
// reads as empty.
std::wstring FromUtf8(const char* text);

// The UTF-8 sequence at the start of bytes (size of them, at least one): its length, with its
// code point in *codePoint; 0 when it is well formed as far as it goes but cut off by the end;
// otherwise minus the length of its maximal ill-formed part (a stray byte, an overlong form, a
// surrogate or a value above U+10FFFF ends the part where it is told).
int DecodeUtf8(const unsigned char* bytes, std::size_t size, char32_t* codePoint);

// A code point as wide units: one, or a surrogate pair where wchar_t has 16 bits; returns how
// many it wrote to units.
int ToWideUnits(char32_t codePoint, wchar_t units[2]);

}  // namespace QX
