// The platform's own sources, read for real: the host's interfaces and tables (read only) and
// echo requests to loopback. Nothing is changed and nothing leaves 127.0.0.0/8.

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

#include "qxnet/common/QXResult.h"
#include "qxnet/net/QXAddrTable.h"
#include "qxnet/net/QXInterfaceList.h"
#include "qxnet/net/QXNetTable.h"
#include "qxnet/net/QXPing.h"
#include "qxnet/platform/QXNetInfo.h"
#include "qxnet/tftp/QXTFTPClient.h"

namespace {

constexpr std::uint32_t LOOPBACK_NETWORK = 0x0100007F;

// The records hold loopback with its mask; the interface list, the address table and the
// exported record never do, and the last two agree. The interface list needs the socket layer
// started by its caller, as an application does.
TEST(PlatformNet, LoopbackIsARecordButNoEntry) {
    ASSERT_FALSE(QXSDK::TFTPClient::Startup());
    INTERFACE_INFO records[20] = {};
    DWORD bytes = 0;
    ASSERT_TRUE(QX::NetInfoSource::Current().GetInterfaceList(records, sizeof records, &bytes));
    ASSERT_EQ(0u, bytes % sizeof(INTERFACE_INFO));
    int loopback = 0;
    for (DWORD i = 0; i < bytes / sizeof(INTERFACE_INFO); ++i) {
        if (records[i].iiAddress.AddressIn.sin_addr.s_addr == LOOPBACK_NETWORK) {
            ++loopback;
            EXPECT_EQ(0x000000FFu, records[i].iiNetmask.AddressIn.sin_addr.s_addr);
        }
    }
    EXPECT_EQ(1, loopback);
    QX::InterfaceList list;
    testing::internal::CaptureStdout();
    const int opened = list.Open();
    const std::string printed = testing::internal::GetCapturedStdout();
    QXSDK::TFTPClient::Cleanup();
    ASSERT_EQ(0, opened);
    EXPECT_NE(std::string::npos, printed.find("Friendly Name: "));
    std::unique_ptr<QX::CAddrTable> table(QX::CAddrTable::GetLocalAddresses());
    ASSERT_NE(nullptr, table);
    for (int i = 0; i < std::max(list.GetSize(), table->GetSize()); ++i) {
        EXPECT_NE(LOOPBACK_NETWORK, list.GetAddress(i, false));
        EXPECT_NE(LOOPBACK_NETWORK, table->GetAddress(i, false));
        EXPECT_EQ(i >= list.GetSize(), list.GetAddress(i, false) == 0u);
    }
    MIB_IPADDRTABLE* record = nullptr;
    int count = GetLocalAddrTable(&record, 0, 0);
    EXPECT_EQ(table->GetSize(), count);
    EXPECT_EQ(count == 0, record == nullptr);
    FreeLocalAddrTable(record);
    std::unique_ptr<QX::CNetTable> neighbours(QX::CNetTable::GetLocalNetAddresses());
    ASSERT_NE(nullptr, neighbours);
    EXPECT_TRUE(neighbours->GetIPAddressesOfMac(0xFEFFFFFFFFFFull).empty());
}

// The echo facility and the raw ping answer from loopback, where this user may use them.
TEST(PlatformNet, EchoToLoopback) {
    const int echo = QX::PingICMP(0x7F000001, 2000);
    const int raw = QX::Ping(LOOPBACK_NETWORK);
    if (echo != static_cast<int>(QX::ResultCode::UnsupportedOperation)) {
        EXPECT_EQ(0, echo);
    }
    if (raw != static_cast<int>(QX::ResultCode::Unexpected)) {
        EXPECT_EQ(0, raw);
    }
    if (echo != 0 && raw != 0) {
        GTEST_SKIP() << "no ICMP for this user (net.ipv4.ping_group_range, CAP_NET_RAW)";
    }
}

}  // namespace
