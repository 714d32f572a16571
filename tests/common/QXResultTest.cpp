#include <gtest/gtest.h>

#include <string>

#include "qxnet/common/QXAddress.h"
#include "qxnet/common/QXResult.h"

namespace {

TEST(ResultCodes, RowsFollowTheCodeScheme) {
    EXPECT_STREQ(QX::ResultMessages[0], L"Success");
    EXPECT_STREQ(QX::ResultMessage(QX::ResultCode::Success), L"Success");
    EXPECT_STREQ(QX::ResultMessage(0xF0000003), L"Unexpected");
    EXPECT_STREQ(QX::ResultMessage(QX::ResultCode::NoNetworkDevice),
                 L"Network device doen't exist");
    EXPECT_STREQ(QX::ResultMessages[21], L"Network device doen't exist");
    EXPECT_STREQ(QX::ResultMessage(QX::ResultCode::OutOfLocalSubnet),
                 L"IP address is out of local subnet(s)");
    EXPECT_STREQ(QX::ResultMessage(QX::ResultCode::MoreData), L"More data available");
    // Every code from Unexpected to NoNetworkDevice names its own row.
    for (std::uint32_t code = 0xF0000003; code <= 0xF0000016; ++code) {
        EXPECT_EQ(QX::ResultMessage(code), QX::ResultMessages[code - 0xF0000001]);
    }
}

TEST(ResultCodes, CodesOutsideTheTableHaveNoMessage) {
    EXPECT_EQ(QX::ResultMessage(1), nullptr);
    EXPECT_EQ(QX::ResultMessage(10060), nullptr);
    EXPECT_EQ(QX::ResultMessage(0xF0000002), nullptr);
    EXPECT_EQ(QX::ResultMessage(0xF0000017), nullptr);
}

TEST(AddressToText, MostSignificantByteFirst) {
    EXPECT_EQ(QX::AddressToText(0xC0A8010A), L"192.168.1.10");
    EXPECT_EQ(QX::AddressToText(0), L"0.0.0.0");
    EXPECT_EQ(QX::AddressToText(0xFFFFFFFF), L"255.255.255.255");
    EXPECT_EQ(QX::AddressToText(0x7F000001), L"127.0.0.1");
}

}  // namespace
