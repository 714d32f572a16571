// DecodeResponseText on arbitrary bodies: the first byte picks the capacity. The text must be
// terminated, within the capacity, and the start of the body again: byte for byte, or its UTF-8
// encoding.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "qxnet/http/QXResponseText.h"

namespace {

// Code units back to UTF-8, joining surrogate pairs; false for a lone surrogate or a value past
// U+10FFFF.
bool EncodeUtf8(const wchar_t* text, std::size_t length, std::string& out) {
    for (std::size_t i = 0; i < length; ++i) {
        std::uint32_t c = static_cast<std::uint32_t>(text[i]);
        if (sizeof(wchar_t) == 2 && c >= 0xD800 && c <= 0xDBFF && i + 1 < length) {
            std::uint32_t low = static_cast<std::uint32_t>(text[i + 1]);
            if (low >= 0xDC00 && low <= 0xDFFF) {
                c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
                ++i;
            }
        }
        if ((c >= 0xD800 && c <= 0xDFFF) || c > 0x10FFFF) {
            return false;
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
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    const std::size_t capacity = 1 + data[0] % 64;
    const std::string body(reinterpret_cast<const char*>(data + 1), size - 1);
    std::vector<wchar_t> text(capacity + 1, L'?');
    const std::size_t written = QX::DecodeResponseText(data + 1, size - 1, text.data(), capacity);
    if (written >= capacity || text[written] != 0 || text[capacity] != L'?') {
        __builtin_trap();
    }
    bool bytes = written <= body.size();
    for (std::size_t i = 0; i < written && bytes; ++i) {
        bytes = text[i] == static_cast<wchar_t>(static_cast<unsigned char>(body[i]));
    }
    std::string utf8;
    bool encoded =
        EncodeUtf8(text.data(), written, utf8) && body.compare(0, utf8.size(), utf8) == 0;
    if (!bytes && !encoded) {
        __builtin_trap();
    }
    return 0;
}
