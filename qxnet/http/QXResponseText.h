#pragma once

// How the HTTP client reads a response body as text, the same on every platform and in every
// locale: as UTF-8 when the bytes are valid UTF-8, otherwise byte for byte (each byte the
// character of the same number, U+0000 to U+00FF, as the Windows C runtime reads bytes in the C
// locale). The text ends at the first zero byte, as a zero-terminated text does.

#include <cstddef>

namespace QX {

// Writes the text of size bytes into text, at most capacity - 1 wide characters and a
// terminator (capacity > 0), and returns the number of characters written. A character is never
// split: one that does not fit whole (a surrogate pair where wchar_t is 16 bits) is left out,
// and so is a UTF-8 sequence cut off by the end of the bytes, which belongs to the part of the
// body not read.
std::size_t DecodeResponseText(const unsigned char* bytes, std::size_t size, wchar_t* text,
                               std::size_t capacity);

}  // namespace QX
