#include "qxnet/platform/QXUtf8.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "qxnet/http/QXResponseText.h"

namespace {

// Names are UTF-8: decoding inverts encoding, each ill-formed part one U+FFFD, never Latin-1. A
// response is UTF-8 if all of it decodes (a sequence cut off at the end left out), else Latin-1.
TEST(Utf8, DecoderEncoderAndResponseText) {
    const struct {
        const char* bytes;
        const wchar_t* wide;
        bool roundTrip;
        const wchar_t* response;
    } cases[] = {
        {"B\xc3\xbcro-Kamera", L"B\u00fcro-Kamera", true, L"B\u00fcro-Kamera"},
        {"\xe2\x82\xac \xe4\xb8\x80", L"\u20ac \u4e00", true, L"\u20ac \u4e00"},
        {"\xf0\x9f\x93\xb7!", L"\U0001F4F7!", true, L"\U0001F4F7!"},
        {"ok\xe2\x82", L"ok\ufffd", false, L"ok"},              // truncated at the end
        {"\xc3(", L"\ufffd(", false, L"\u00c3("},               // truncated before ASCII
        {"a\x80z", L"a\ufffdz", false, L"a\u0080z"},            // stray continuation byte
        {"\xc0\xaf", L"\ufffd\ufffd", false, L"\u00c0\u00af"},  // overlong
        {"caf\xe9!", L"caf\ufffd!", false, L"caf\u00e9!"},      // Latin-1
        {"\xed\xa0\x80", L"\ufffd\ufffd\ufffd", false, L"\u00ed\u00a0\u0080"},  // surrogate
        {"\xf4\x90\x80\x80", L"\ufffd\ufffd\ufffd\ufffd", false,
         L"\u00f4\u0090\u0080\u0080"},  // above U+10FFFF
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.bytes);
        EXPECT_EQ(std::wstring(c.wide), QX::FromUtf8(c.bytes));
        if (c.roundTrip) {
            EXPECT_EQ(std::string(c.bytes), QX::ToUtf8(c.wide));
        }
        wchar_t text[16];
        const std::size_t written = QX::DecodeResponseText(
            reinterpret_cast<const unsigned char*>(c.bytes), std::strlen(c.bytes), text, 16);
        EXPECT_EQ(std::wstring(text, written), c.response);
    }
    EXPECT_EQ(L"", QX::FromUtf8(nullptr));
}

}  // namespace
