#include "qxnet/http/QXResponseText.h"

#include "qxnet/platform/QXUtf8.h"

namespace QX {

std::size_t DecodeResponseText(const unsigned char* bytes, std::size_t size, wchar_t* text,
                               std::size_t capacity) {
    std::size_t end = 0;
    while (end < size && bytes[end] != 0) {
        ++end;
    }
    bool utf8 = true;
    for (std::size_t at = 0; at < end && utf8;) {
        char32_t codePoint = 0;
        int length = DecodeUtf8(bytes + at, end - at, &codePoint);
        // A cut-off sequence is valid only where the bytes themselves end, not at a zero byte.
        utf8 = length > 0 || (length == 0 && end == size);
        at += length > 0 ? static_cast<std::size_t>(length) : end - at;
    }
    std::size_t written = 0;
    for (std::size_t at = 0; at < end;) {
        char32_t codePoint = bytes[at];
        int length = utf8 ? DecodeUtf8(bytes + at, end - at, &codePoint) : 1;
        if (length <= 0) {
            break;
        }
        wchar_t units[2];
        const auto count = static_cast<std::size_t>(ToWideUnits(codePoint, units));
        if (written + count > capacity - 1) {
            break;
        }
        for (std::size_t unit = 0; unit < count; ++unit) {
            text[written++] = units[unit];
        }
        at += static_cast<std::size_t>(length);
    }
    text[written] = 0;
    return written;
}

}  // namespace QX
