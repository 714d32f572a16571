#pragma once

// The one wide formatter of the library. It reads the system's format convention, which differs
// from the C library's: %s takes a wide string and %S an 8-bit string (h and l/w force 8-bit and
// wide). Also understood: %d %i %u %x %X %o %c (a wide character) %b (an int as 0 or 1) %p %%,
// with flags, width, precision and the length modifiers h hh l ll I32 I64 I z. Integers follow the
// Windows convention whatever the platform: "long" is 32 bits, so l (and I32, and no modifier)
// take a 32-bit value, ll and I64 a 64-bit one, I and z a pointer-sized one. Flags follow C: + and
// blank only for d and i, # gives octal a leading 0 and hexadecimal other than 0 its 0x. Unknown
// conversions are copied as they stand. 8-bit strings are read as Latin-1, one byte a character.

#include <cstdarg>
#include <cstddef>

#include "qxnet/QXExport.h"

namespace QX {

// Writes at most maxChars characters into buffer, which must hold maxChars + 1, and always ends
// them with a terminator. Returns the number of characters written.
QXNET_API std::size_t FormatV(wchar_t* buffer, std::size_t maxChars, const wchar_t* format,
                              va_list args);
QXNET_API std::size_t Format(wchar_t* buffer, std::size_t maxChars, const wchar_t* format, ...);

}  // namespace QX
