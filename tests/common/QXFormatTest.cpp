#include <gtest/gtest.h>

#include <string>

#include "qxnet/common/QXFormat.h"

namespace {

template <typename... Args>
std::wstring Fmt(const wchar_t* format, Args... args) {
    wchar_t buffer[256];
    QX::Format(buffer, 255, format, args...);
    return buffer;
}

TEST(Format, WideAndEightBitStringsFollowTheSystemConvention) {
    EXPECT_EQ(Fmt(L"%s::Receive(): %S", L"TFTPClient[Closed]", "select() Timeout"),
              L"TFTPClient[Closed]::Receive(): select() Timeout");
    EXPECT_EQ(Fmt(L"%hs|%ls|%wS", "narrow", L"wide", L"wide too"), L"narrow|wide|wide too");
    EXPECT_EQ(Fmt(L"[%S]", "\xE9t\xE9"), L"[\u00e9t\u00e9]");
    EXPECT_EQ(
        Fmt(L"%s|%S", static_cast<const wchar_t*>(nullptr), static_cast<const char*>(nullptr)),
        L"(null)|(null)");
}

TEST(Format, IntegersInTheFormsTheTracesUse) {
    EXPECT_EQ(Fmt(L"hResult = 0x%08x", 0xF0000007u), L"hResult = 0xf0000007");
    EXPECT_EQ(Fmt(L"0x%08x", 0x1Au), L"0x0000001a");
    EXPECT_EQ(Fmt(L"%02x:%02x:%02x", 0x0, 0xab, 0x7), L"00:ab:07");
    EXPECT_EQ(Fmt(L"%d %d %d", 0, -1, 2147483647), L"0 -1 2147483647");
    EXPECT_EQ(Fmt(L"%d", static_cast<int>(0x80000000u)), L"-2147483648");
    EXPECT_EQ(Fmt(L"%x %X %u", 0xdeadbeefu, 0xdeadbeefu, 4294967295u),
              L"deadbeef DEADBEEF 4294967295");
    EXPECT_EQ(Fmt(L"%5d|%-5d|%05d", 42, 42, -42), L"   42|42   |-0042");
    EXPECT_EQ(Fmt(L"%lld %I64x", -5LL, 0x1122334455ULL), L"-5 1122334455");
}

// Integers as the Windows runtime formats them: "long" is 32 bits there, I32/I64/I name the size,
// and the flags act as in C.
TEST(Format, IntegersFollowTheWindowsConvention) {
    EXPECT_EQ(Fmt(L"%ld|%lu|%lx|%li", -1, 4294967295u, 0xdeadbeefu, -2147483647 - 1),
              L"-1|4294967295|deadbeef|-2147483648");
    EXPECT_EQ(Fmt(L"%ld %d", -1, 7), L"-1 7");
    EXPECT_EQ(Fmt(L"%I32d %I32u %I32x %I32X %d", -5, 4000000000u, 0xabcu, 0xabcu, 9),
              L"-5 4000000000 abc ABC 9");
    EXPECT_EQ(Fmt(L"%I64d %I64u %I64X %d", -5LL, 18446744073709551615ULL, 0x1122334455ULL, 3),
              L"-5 18446744073709551615 1122334455 3");
    EXPECT_EQ(Fmt(L"%Iu %Id", std::size_t{123}, std::ptrdiff_t{-4}), L"123 -4");
    // Sign and blank apply to d and i only.
    EXPECT_EQ(Fmt(L"%+d|% d|%+u|% u|%+x|% o|%+I64u", 5, 5, 5u, 5u, 255u, 8u, 7ULL),
              L"+5| 5|5|5|ff|10|7");
    // "#" as in C: octal starts with 0, hexadecimal 0 has no prefix.
    EXPECT_EQ(Fmt(L"%#o|%#o|%#.0o|%#x|%#X|%#x|%#lx", 8u, 0u, 0u, 0u, 255u, 255u, 16u),
              L"010|0|0|0|0XFF|0xff|0x10");
    EXPECT_EQ(Fmt(L"%#5o|%#05o|%#.3o|%#08x|%#-6x|", 8u, 8u, 8u, 255u, 1u),
              L"  010|00010|010|0x0000ff|0x1   |");
}

TEST(Format, CharactersFlagsAndPercent) {
    EXPECT_EQ(Fmt(L"%c%c", L'Q', L'\u00c4'), L"Q\u00c4");
    EXPECT_EQ(Fmt(L"%b %b %b", 0, 1, 57), L"0 1 1");
    EXPECT_EQ(Fmt(L"100%%"), L"100%");
    EXPECT_EQ(Fmt(L"%.3s|%5s|%-4S|", L"abcdef", L"ab", "x"), L"abc|   ab|x   |");
    EXPECT_EQ(Fmt(L"%*d", 4, 7), L"   7");
}

TEST(Format, UnknownConversionsAndTrailingPercentStayAsWritten) {
    EXPECT_EQ(Fmt(L"%y and %"), L"%y and %");
}

TEST(Format, BoundedAndAlwaysTerminated) {
    wchar_t buffer[11];
    std::fill(std::begin(buffer), std::end(buffer), L'#');
    EXPECT_EQ(QX::Format(buffer, 10, L"%s-%d", L"abcdefgh", 12345), 10u);
    EXPECT_EQ(std::wstring(buffer), L"abcdefgh-1");

    EXPECT_EQ(QX::Format(buffer, 10, L"%s", L"abcdefghij"), 10u);
    EXPECT_EQ(std::wstring(buffer), L"abcdefghij");

    EXPECT_EQ(QX::Format(buffer, 0, L"anything"), 0u);
    EXPECT_EQ(buffer[0], L'\0');

    EXPECT_EQ(QX::Format(buffer, 10, nullptr), 0u);
    EXPECT_EQ(buffer[0], L'\0');
}

}  // namespace
