#include <gtest/gtest.h>

#include <cwchar>
#include <string>

#include "qxnet/common/QXException.h"
#include "qxnet/common/QXResult.h"

namespace {

TEST(Exception, FormatsItsReport) {
    QX::Exception e(L"TFTPPAcket::MakeRQ(): Invalid argument", QX::ResultCode::Unexpected, 123,
                    L"QXTFTPPacket");
    EXPECT_STREQ(e.message, L"TFTPPAcket::MakeRQ(): Invalid argument");
    EXPECT_STREQ(e.file, L"QXTFTPPacket");
    EXPECT_EQ(e.hResult, 0xF0000003u);
    EXPECT_EQ(e.line, 123);
    EXPECT_EQ(e.reserved, 0u);
    EXPECT_STREQ(e.text,
                 L"QX::Exception: TFTPPAcket::MakeRQ(): Invalid argument. hResult = 0xf0000003. "
                 L"File QXTFTPPacket, line 123\n");
}

TEST(Exception, SmallErrorNumbersArePaddedToEightDigits) {
    QX::Exception e(L"bind", 10048, -1, L"QXTFTPClient");
    EXPECT_STREQ(e.text,
                 L"QX::Exception: bind. hResult = 0x00002740. File QXTFTPClient, line -1\n");
}

TEST(Exception, FieldsAtTheirLimitsFitWithTheTerminator) {
    std::wstring message(767, L'm');
    std::wstring file(63, L'f');
    QX::Exception e(message.c_str(), 1, 1, file.c_str());
    EXPECT_EQ(std::wcslen(e.message), 767u);
    EXPECT_EQ(std::wcslen(e.file), 63u);
    EXPECT_EQ(std::wstring(e.message), message);
    EXPECT_EQ(std::wstring(e.file), file);
}

TEST(Exception, LongerFieldsAreCutAndStayTerminated) {
    std::wstring message(2000, L'm');
    std::wstring file(100, L'f');
    QX::Exception e(message.c_str(), 1, 1, file.c_str());
    EXPECT_EQ(std::wstring(e.message), message.substr(0, 767));
    EXPECT_EQ(std::wstring(e.file), file.substr(0, 63));
    // The report is made from the cut fields, so it stays whole within its 1023 characters.
    EXPECT_EQ(std::wstring(e.text), L"QX::Exception: " + message.substr(0, 767) +
                                        L". hResult = 0x00000001. File " + file.substr(0, 63) +
                                        L", line 1\n");
}

TEST(Exception, NullTextsBecomeEmpty) {
    QX::Exception e(nullptr, 5, 7, nullptr);
    EXPECT_STREQ(e.message, L"");
    EXPECT_STREQ(e.file, L"");
    EXPECT_STREQ(e.text, L"QX::Exception: . hResult = 0x00000005. File , line 7\n");
}

TEST(Exception, ThrownByValue) {
    try {
        throw QX::Exception(L"Ping is not available", QX::ResultCode::Unexpected, 9, L"QXPing");
    } catch (const QX::Exception& e) {
        EXPECT_STREQ(e.message, L"Ping is not available");
        return;
    }
    FAIL() << "not caught";
}

}  // namespace
