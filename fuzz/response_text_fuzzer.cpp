// DecodeResponseText on arbitrary bodies: the first byte picks the capacity. The text must be
// terminated, within the capacity, and the start of the body again: byte for byte, or its UTF-8
// encoding.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "qxnet/http/QXResponseText.h"
#include "qxnet/platform/QXUtf8.h"

namespace {

// The text as UTF-8 through the library's encoder, piece by piece between NULs (which a body may
// hold and ToUtf8 would stop at). A lone surrogate comes out as U+FFFD, which no body that led
// to it holds at that place.
std::string Utf8Of(const std::wstring& wide) {
    std::string out;
    std::size_t start = 0;
    for (std::size_t nul; (nul = wide.find(L'\0', start)) != std::wstring::npos; start = nul + 1) {
        out += QX::ToUtf8(wide.substr(start, nul - start).c_str());
        out += '\0';
    }
    return out + QX::ToUtf8(wide.c_str() + start);
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
    const std::string utf8 = Utf8Of(std::wstring(text.data(), written));
    if (!bytes && body.compare(0, utf8.size(), utf8) != 0) {
        __builtin_trap();
    }
    return 0;
}
