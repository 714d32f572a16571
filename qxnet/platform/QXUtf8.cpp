#include "qxnet/platform/QXUtf8.h"

#include <cstdint>
#include <cstring>

namespace QX {

namespace {

constexpr char32_t REPLACEMENT = 0xFFFD;

bool IsSurrogate(std::uint32_t c) {
    return c >= 0xD800 && c <= 0xDFFF;
}

void AppendWide(std::wstring& out, char32_t c) {
    wchar_t units[2];
    out.append(units, static_cast<std::size_t>(ToWideUnits(c, units)));
}

}  // namespace

std::string ToUtf8(const wchar_t* text) {
    std::string out;
    for (; text != nullptr && *text != L'\0'; ++text) {
        auto c = static_cast<std::uint32_t>(*text);
        if (sizeof(wchar_t) == 2 && c >= 0xD800 && c <= 0xDBFF && text[1] >= 0xDC00 &&
            text[1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (static_cast<std::uint32_t>(text[1]) - 0xDC00);
            ++text;
        }
        if (c > 0x10FFFF || IsSurrogate(c)) {
            c = REPLACEMENT;
        }
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

std::wstring FromUtf8(const char* text) {
    std::wstring out;
    const auto* bytes = reinterpret_cast<const unsigned char*>(text);
    for (std::size_t left = text != nullptr ? std::strlen(text) : 0; left > 0;) {
        char32_t c = 0;
        const int length = DecodeUtf8(bytes, left, &c);
        // A sequence cut off by the end is an ill-formed part as well: the text ends there.
        const std::size_t used = length > 0    ? static_cast<std::size_t>(length)
                                 : length == 0 ? left
                                               : static_cast<std::size_t>(-length);
        AppendWide(out, length > 0 ? c : REPLACEMENT);
        bytes += used;
        left -= used;
    }
    return out;
}

int DecodeUtf8(const unsigned char* bytes, std::size_t size, char32_t* codePoint) {
    const unsigned char lead = bytes[0];
    if (lead < 0x80) {
        *codePoint = lead;
        return 1;
    }
    // The sequence length and the range of the second byte that keeps it well formed (no
    // overlong forms, no surrogates, nothing above U+10FFFF).
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
    char32_t c = lead & (0x7F >> length);
    for (int i = 1; i < length; ++i, low = 0x80, high = 0xBF) {
        if (static_cast<std::size_t>(i) == size) {
            return 0;
        }
        // A byte that does not continue the sequence is left for the next character.
        if (bytes[i] < low || bytes[i] > high) {
            return -i;
        }
        c = (c << 6) | (bytes[i] & 0x3F);
    }
    *codePoint = c;
    return length;
}

int ToWideUnits(char32_t codePoint, wchar_t units[2]) {
    if (sizeof(wchar_t) == 2 && codePoint >= 0x10000) {
        const char32_t offset = codePoint - 0x10000;
        units[0] = static_cast<wchar_t>(0xD800 | (offset >> 10));
        units[1] = static_cast<wchar_t>(0xDC00 | (offset & 0x3FF));
        return 2;
    }
    units[0] = static_cast<wchar_t>(codePoint);
    return 1;
}

}  // namespace QX
