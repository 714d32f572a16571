#include "qxnet/platform/QXUtf8.h"

#include <gtest/gtest.h>

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
        {"", L"", true},
        {"\xc3", L"\ufffd", false},                                // truncated at the end
        {"\xc3(", L"\ufffd(", false},                              // truncated before ASCII
        {"\xe2\x82", L"\ufffd", false},                            // truncated three-byte form
        {"a\x80z", L"a\ufffdz", false},                            // stray continuation byte
        {"\xc0\xaf", L"\ufffd\ufffd", false},                      // overlong
        {"\xed\xa0\x80", L"\ufffd\ufffd\ufffd", false},            // surrogate
        {"\xf4\x90\x80\x80", L"\ufffd\ufffd\ufffd\ufffd", false},  // above U+10FFFF
        {"\xff", L"\ufffd", false},
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

}  // namespace
