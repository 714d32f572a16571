#include "qxnet/platform/QXUtf8.h"

#include <cstdint>

namespace QX {

namespace {

constexpr std::uint32_t REPLACEMENT = 0xFFFD;

bool IsSurrogate(std::uint32_t c) {
    return c >= 0xD800 && c <= 0xDFFF;
}

void AppendWide(std::wstring& out, std::uint32_t c) {
    if (sizeof(wchar_t) == 2 && c >= 0x10000) {
        c -= 0x10000;
        out += static_cast<wchar_t>(0xD800 | (c >> 10));
        out += static_cast<wchar_t>(0xDC00 | (c & 0x3FF));
    } else {
        out += static_cast<wchar_t>(c);
    }
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
    if (text == nullptr) {
        return out;
    }
    const auto* p = reinterpret_cast<const unsigned char*>(text);
    while (*p != 0) {
        unsigned lead = *p++;
        if (lead < 0x80) {
            out += static_cast<wchar_t>(lead);
            continue;
        }
        // The sequence length and the range of the second byte that keeps it well formed
        // (no overlong forms, no surrogates, nothing above U+10FFFF).
        int more = 0;
        unsigned low = 0x80;
        unsigned high = 0xBF;
        std::uint32_t c = 0;
        if (lead >= 0xC2 && lead <= 0xDF) {
            more = 1;
            c = lead & 0x1F;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            more = 2;
            c = lead & 0x0F;
            low = lead == 0xE0 ? 0xA0 : 0x80;
            high = lead == 0xED ? 0x9F : 0xBF;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            more = 3;
            c = lead & 0x07;
            low = lead == 0xF0 ? 0x90 : 0x80;
            high = lead == 0xF4 ? 0x8F : 0xBF;
        } else {
            out += static_cast<wchar_t>(REPLACEMENT);
            continue;
        }
        bool complete = true;
        for (int i = 0; i < more; ++i, low = 0x80, high = 0xBF) {
            // A byte that does not continue the sequence is left for the next character.
            if (*p < low || *p > high) {
                complete = false;
                break;
            }
            c = (c << 6) | (*p++ & 0x3F);
        }
        AppendWide(out, complete ? c : REPLACEMENT);
    }
    return out;
}

}  // namespace QX
