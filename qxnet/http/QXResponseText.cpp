#include "qxnet/http/QXResponseText.h"

namespace QX {
namespace {

// The UTF-8 sequence at bytes: its length with its code point, 0 when it is valid as far as it
// goes but cut off by the end, -1 when it is not UTF-8 (overlong forms and surrogates included).
int Utf8Sequence(const unsigned char* bytes, std::size_t size, char32_t& codePoint) {
    unsigned char lead = bytes[0];
    if (lead < 0x80) {
        codePoint = lead;
        return 1;
    }
    int length = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        low = lead == 0xE0 ? 0xA0 : 0x80;
        high = lead == 0xED ? 0x9F : 0xBF;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        low = lead == 0xF0 ? 0x90 : 0x80;
        high = lead == 0xF4 ? 0x8F : 0xBF;
    } else {
        return -1;
    }
    codePoint = lead & (0x7F >> length);
    for (int i = 1; i < length; ++i) {
        if (static_cast<std::size_t>(i) == size) {
            return 0;
        }
        unsigned char next = bytes[i];
        if (next < (i == 1 ? low : 0x80) || next > (i == 1 ? high : 0xBF)) {
            return -1;
        }
        codePoint = (codePoint << 6) | (next & 0x3F);
    }
    return length;
}

}  // namespace

std::size_t DecodeResponseText(const unsigned char* bytes, std::size_t size, wchar_t* text,
                               std::size_t capacity) {
    std::size_t end = 0;
    while (end < size && bytes[end] != 0) {
        ++end;
    }
    bool utf8 = true;
    for (std::size_t at = 0; at < end && utf8;) {
        char32_t codePoint = 0;
        int length = Utf8Sequence(bytes + at, end - at, codePoint);
        // A cut-off sequence is valid only where the bytes themselves end, not at a zero byte.
        utf8 = length > 0 || (length == 0 && end == size);
        at += length > 0 ? static_cast<std::size_t>(length) : end - at;
    }
    std::size_t written = 0;
    for (std::size_t at = 0; at < end;) {
        char32_t codePoint = bytes[at];
        int length = utf8 ? Utf8Sequence(bytes + at, end - at, codePoint) : 1;
        if (length <= 0) {
            break;
        }
        bool pair = sizeof(wchar_t) == 2 && codePoint >= 0x10000;
        if (written + (pair ? 2 : 1) > capacity - 1) {
            break;
        }
        if (pair) {
            char32_t offset = codePoint - 0x10000;
            text[written++] = static_cast<wchar_t>(0xD800 + (offset >> 10));
            text[written++] = static_cast<wchar_t>(0xDC00 + (offset & 0x3FF));
        } else {
            text[written++] = static_cast<wchar_t>(codePoint);
        }
        at += static_cast<std::size_t>(length);
    }
    text[written] = 0;
    return written;
}

}  // namespace QX
