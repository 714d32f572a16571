#pragma once

// The one wide formatter of the library. It reads the system's format convention, which differs
// from the C library's: %s takes a wide string and %S an 8-bit string (h and l/w force 8-bit and
// wide). Also understood: %d %i %u %x %X %o %c (a wide character) %b (an int as 0 or 1) %p %%,
// with flags, width, precision and the length modifiers h hh l ll I64 z. Unknown conversions are
// copied as they stand. 8-bit strings are read as Latin-1, one character per byte.

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
