// The one UTF-8 decoder, as the wide-text conversion and the response-text reader use it.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "qxnet/http/QXResponseText.h"
#include "qxnet/platform/QXUtf8.h"

namespace {

TEST(Utf8, IllFormedPartsBecomeOneReplacementEach) {
    const struct {
        const char* bytes;
        std::wstring text;
    } rows[] = {
        {"A\xE2\x82\xAC", L"A\u20AC"},
        {"\xF0\x9F\x98\x80", L"\U0001F600"},
        {"\xE2\x82", L"\uFFFD"},  // cut off by the end
        {"\xE2\x82"
         "A",
         L"\uFFFDA"},                             // cut off by a byte that is no continuation
        {"\xC0\xAF", L"\uFFFD\uFFFD"},            // overlong lead, stray continuation
        {"\xED\xA0\x80", L"\uFFFD\uFFFD\uFFFD"},  // a surrogate
        {"\xF4\x90\x80\x80", L"\uFFFD\uFFFD\uFFFD\uFFFD"},  // above U+10FFFF
    };
    for (const auto& row : rows) {
        EXPECT_EQ(QX::FromUtf8(row.bytes), row.text) << row.bytes;
        EXPECT_EQ(QX::FromUtf8(QX::ToUtf8(row.text.c_str()).c_str()), row.text);
    }
}

TEST(Utf8, ResponseTextIsUtf8OrElseLatin1) {
    const struct {
        const char* bytes;
        std::wstring text;
    } rows[] = {
        {"\xF0\x9F\x98\x80!", L"\U0001F600!"},
        {"caf\xE9!", L"caf\u00E9!"},  // not UTF-8: read byte by byte
        {"ok\xE2\x82", L"ok"},        // a sequence cut off by the end of the bytes is left out
    };
    for (const auto& row : rows) {
        wchar_t text[16];
        const std::size_t written = QX::DecodeResponseText(
            reinterpret_cast<const unsigned char*>(row.bytes), std::strlen(row.bytes), text, 16);
        EXPECT_EQ(std::wstring(text, written), row.text) << row.bytes;
    }
}

}  // namespace
