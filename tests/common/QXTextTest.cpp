// The texts the library makes: formatted trace lines, result messages.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "qxnet/common/QXAddress.h"
#include "qxnet/common/QXFormat.h"
#include "qxnet/common/QXResult.h"
#include "qxnet/common/QXTrace.h"
#include "qxnet/platform/QXDebugOutput.h"
#include "tests/support/QXTraceCapture.h"

namespace {

template <typename... Args>
std::wstring Fmt(const wchar_t* format, Args... args) {
    wchar_t buffer[256];
    QX::Format(buffer, 255, format, args...);
    return buffer;
}

// Strings and integers as the Windows runtime formats them: %S is the other width, "long" is 32
// bits, I32/I64/I name the size, and the flags act as in C.
TEST(Format, ConversionsFollowTheWindowsConvention) {
    EXPECT_EQ(Fmt(L"%s::Receive(): %S", L"TFTPClient[Closed]", "select() Timeout"),
              L"TFTPClient[Closed]::Receive(): select() Timeout");
    EXPECT_EQ(Fmt(L"%hs|%ls|%wS|[%S]", "narrow", L"wide", L"too", "\xE9t\xE9"),
              L"narrow|wide|too|[\u00e9t\u00e9]");
    EXPECT_EQ(
        Fmt(L"%s|%S", static_cast<const wchar_t*>(nullptr), static_cast<const char*>(nullptr)),
        L"(null)|(null)");
    EXPECT_EQ(Fmt(L"0x%08x %02x:%02x", 0x1Au, 0xab, 0x7), L"0x0000001a ab:07");
    EXPECT_EQ(Fmt(L"%d %d %d", -1, 2147483647, static_cast<int>(0x80000000u)),
              L"-1 2147483647 -2147483648");
    EXPECT_EQ(Fmt(L"%x %X %u", 0xdeadbeefu, 0xdeadbeefu, 4294967295u),
              L"deadbeef DEADBEEF 4294967295");
    EXPECT_EQ(Fmt(L"%5d|%-5d|%05d|%*d", 42, 42, -42, 4, 7), L"   42|42   |-0042|   7");
    EXPECT_EQ(Fmt(L"%ld|%lu|%lx|%li %d", -1, 4294967295u, 0xdeadbeefu, -2147483647 - 1, 7),
              L"-1|4294967295|deadbeef|-2147483648 7");
    EXPECT_EQ(Fmt(L"%I32d %I32u %I32X %d", -5, 4000000000u, 0xabcu, 9), L"-5 4000000000 ABC 9");
    EXPECT_EQ(
        Fmt(L"%I64d %I64u %I64X %lld %d", -5LL, 18446744073709551615ULL, 0x1122334455ULL, -6LL, 3),
        L"-5 18446744073709551615 1122334455 -6 3");
    EXPECT_EQ(Fmt(L"%Iu %Id", std::size_t{123}, std::ptrdiff_t{-4}), L"123 -4");
    EXPECT_EQ(Fmt(L"%+d|% d|%+u|% u|%+x|% o|%+I64u", 5, 5, 5u, 5u, 255u, 8u, 7ULL),
              L"+5| 5|5|5|ff|10|7");
    EXPECT_EQ(Fmt(L"%#o|%#o|%#.0o|%#x|%#X|%#x|%#lx", 8u, 0u, 0u, 0u, 255u, 255u, 16u),
              L"010|0|0|0|0XFF|0xff|0x10");
    EXPECT_EQ(Fmt(L"%#5o|%#05o|%#.3o|%#08x|%#-6x|", 8u, 8u, 8u, 255u, 1u),
              L"  010|00010|010|0x0000ff|0x1   |");
    EXPECT_EQ(Fmt(L"%c%c %b %b %b 100%%", L'Q', L'\u00c4', 0, 1, 57), L"Q\u00c4 0 1 1 100%");
    EXPECT_EQ(Fmt(L"%.3s|%5s|%-4S|", L"abcdef", L"ab", "x"), L"abc|   ab|x   |");
    EXPECT_EQ(Fmt(L"%y and %"), L"%y and %");
    // Bounded and always terminated.
    wchar_t buffer[11];
    std::fill(std::begin(buffer), std::end(buffer), L'#');
    EXPECT_EQ(QX::Format(buffer, 10, L"%s-%d", L"abcdefgh", 12345), 10u);
    EXPECT_EQ(std::wstring(buffer), L"abcdefgh-1");
    EXPECT_EQ(QX::Format(buffer, 0, L"anything"), 0u);
    EXPECT_EQ(buffer[0], L'\0');
    EXPECT_EQ(QX::Format(buffer, 10, nullptr), 0u);
}

// One line per call, cut at 1020 characters. The sink seam: Set returns the previous sink, the
// silent one drops, null puts the platform's back (silent under QXNET_TRACE=off).
TEST(Trace, LinesAndTheSinkSeam) {
    {
        QXTest::TraceCapture capture;
        QX::Trace(L"%s::Receive(): %S", L"TFTPClient[127.0.0.1]", "select() Timeout");
        QX::Trace(L"%s", std::wstring(1020, L'a').c_str());
        QX::Trace(L"%s tail", std::wstring(1500, L'b').c_str());
        EXPECT_EQ(QX::DebugSink::Set(&QX::DebugSink::Silent()), &capture);
        QX::Trace(L"silenced");
        EXPECT_EQ(QX::DebugSink::Set(&capture), &QX::DebugSink::Silent());
        EXPECT_EQ(&QX::DebugSink::Current(), &capture);
        EXPECT_EQ(capture.Lines(),
                  (std::vector<std::wstring>{
                      L"TFTPClient[127.0.0.1]::Receive(): select() Timeout\n",
                      std::wstring(1020, L'a') + L"\n", std::wstring(1020, L'b') + L"\n"}));
    }
    EXPECT_EQ(QX::DebugSink::Set(nullptr), nullptr);
    const QX::DebugSink* current = &QX::DebugSink::Current();
    EXPECT_TRUE(current == &QX::PlatformDebugSink() || current == &QX::DebugSink::Silent());
}

TEST(Results, MessagesAndAddressText) {
    EXPECT_STREQ(QX::ResultMessage(QX::ResultCode::Success), L"Success");
    EXPECT_STREQ(QX::ResultMessage(0xF0000003), L"Unexpected");
    EXPECT_STREQ(QX::ResultMessage(QX::ResultCode::NoNetworkDevice),
                 L"Network device doen't exist");
    EXPECT_STREQ(QX::ResultMessage(QX::ResultCode::OutOfLocalSubnet),
                 L"IP address is out of local subnet(s)");
    for (std::uint32_t outside : {1u, 10060u, 0xF0000002u, 0xF0000017u}) {
        EXPECT_EQ(QX::ResultMessage(outside), nullptr) << outside;
    }
    EXPECT_EQ(QX::AddressToText(0xC0A8010A), L"192.168.1.10");
    EXPECT_EQ(QX::AddressToText(0xFFFFFFFF), L"255.255.255.255");
}

}  // namespace
