#include "qxnet/platform/QXUtf8.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "qxnet/http/QXResponseText.h"

namespace {

// The system's names are UTF-8; the decoder is the encoder's inverse and turns each ill-formed
// part into one U+FFFD, never into Latin-1 characters.
TEST(Utf8, DecodesWhatTheEncoderWritesAndReplacesIllFormedParts) {
    const struct {
        const char* bytes;
        const wchar_t* wide;
        bool roundTrip;
    } cases[] = {
        {"B\xc3\xbcro-Kamera", L"B\u00fcro-Kamera", true},
        {"\xe2\x82\xac \xe4\xb8\x80", L"\u20ac \u4e00", true},
        {"\xf0\x9f\x93\xb7", L"\U0001F4F7", true},
        {"\xc3", L"\ufffd", false},                                // truncated at the end
        {"\xc3(", L"\ufffd(", false},                              // truncated before ASCII
        {"a\x80z", L"a\ufffdz", false},                            // stray continuation byte
        {"\xc0\xaf", L"\ufffd\ufffd", false},                      // overlong
        {"\xed\xa0\x80", L"\ufffd\ufffd\ufffd", false},            // surrogate
        {"\xf4\x90\x80\x80", L"\ufffd\ufffd\ufffd\ufffd", false},  // above U+10FFFF
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.bytes);
        EXPECT_EQ(std::wstring(c.wide), QX::FromUtf8(c.bytes));
        if (c.roundTrip) {
            EXPECT_EQ(std::string(c.bytes), QX::ToUtf8(c.wide));
        }
    }
    EXPECT_EQ(L"", QX::FromUtf8(nullptr));
}

// A response's text is UTF-8 where it decodes as UTF-8, else Latin-1, byte by byte.
TEST(Utf8, ResponseTextIsUtf8OrElseLatin1) {
    const struct {
        const char* bytes;
        std::wstring text;
    } rows[] = {
        {"\xF0\x9F\x98\x80!", L"\U0001F600!"},
        {"caf\xE9!", L"caf\u00E9!"},
        {"ok\xE2\x82", L"ok"},  // a sequence cut off by the end of the bytes is left out
    };
    for (const auto& row : rows) {
        wchar_t text[16];
        const std::size_t written = QX::DecodeResponseText(
            reinterpret_cast<const unsigned char*>(row.bytes), std::strlen(row.bytes), text, 16);
        EXPECT_EQ(std::wstring(text, written), row.text) << row.bytes;
    }
}

}  // namespace
