// Drives the wide formatter with arbitrary formats and bounds. Arguments are fixed and safe for
// every conversion the formatter reads (a string pointer is valid whatever the conversion takes),
// so any finding is the formatter's own.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "qxnet/common/QXFormat.h"

namespace {
const wchar_t kWide[] = L"wide";
// Zero-padded so that read as wide text it still ends inside the array.
const char kNarrow[] = "narrow\0\0\0\0\0";
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) {
        return 0;
    }
    std::size_t bound = data[0] * 4u;
    std::vector<wchar_t> format;
    int conversions = 0;
    for (std::size_t i = 1; i < size; ++i) {
        // '*' would read an int where the argument list has a pointer; keep the list consistent.
        wchar_t c = static_cast<wchar_t>(data[i]);
        if (c == L'%' && ++conversions > 8) {
            break;  // no more conversions than arguments
        }
        format.push_back(c == L'*' ? L'.' : c);
    }
    format.push_back(L'\0');
    std::vector<wchar_t> out(bound + 1, L'#');
    // Every argument slot holds a pointer to text that is valid read as wide or as 8-bit text.
    const void* args[8] = {kWide, kNarrow, kWide, kNarrow, kWide, kNarrow, kWide, kNarrow};
    std::size_t written = QX::Format(out.data(), bound, format.data(), args[0], args[1], args[2],
                                     args[3], args[4], args[5], args[6], args[7]);
    if (written > bound || out[written] != L'\0') {
        __builtin_trap();
    }
    return 0;
}
