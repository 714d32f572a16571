// The platform's own sources, read for real: the host's interfaces and tables (read only) and
// echo requests to loopback. Nothing is changed and nothing leaves 127.0.0.0/8.

#include <gtest/gtest.h>

#include <memory>

#include "qxnet/common/QXResult.h"
#include "qxnet/net/QXAddrTable.h"
#include "qxnet/net/QXInterfaceList.h"
#include "qxnet/net/QXNetTable.h"
#include "qxnet/net/QXPing.h"
#include "qxnet/platform/QXNetInfo.h"
#include "qxnet/tftp/QXTFTPClient.h"

namespace {

// The interface list needs the socket layer started by its caller, as an application does.
class SocketLayer : public testing::Environment {
public:
    void SetUp() override { ASSERT_FALSE(QXSDK::TFTPClient::Startup()); }
    void TearDown() override { QXSDK::TFTPClient::Cleanup(); }
};
const testing::Environment* const s_layer = testing::AddGlobalTestEnvironment(new SocketLayer);

constexpr std::uint32_t LOOPBACK_HOST = 0x7F000001;
constexpr std::uint32_t LOOPBACK_NETWORK = 0x0100007F;

TEST(PlatformNet, InterfaceListNeverHoldsLoopback) {
    QX::InterfaceList list;
    testing::internal::CaptureStdout();
    int result = list.Open();
    std::string printed = testing::internal::GetCapturedStdout();
    ASSERT_EQ(0, result);
    EXPECT_NE(std::string::npos, printed.find("Friendly Name: "));
    for (int i = 0; i < list.GetSize(); ++i) {
        EXPECT_NE(LOOPBACK_NETWORK, list.GetAddress(i, false));
        EXPECT_NE(0u, list.GetAddress(i, false));
    }
}

TEST(PlatformNet, InterfaceRecordsIncludeLoopbackWithItsMask) {
    INTERFACE_INFO records[20] = {};
    DWORD bytes = 0;
    ASSERT_TRUE(QX::NetInfoSource::Current().GetInterfaceList(records, sizeof records, &bytes));
    ASSERT_EQ(0u, bytes % sizeof(INTERFACE_INFO));
    bool loopback = false;
    for (DWORD i = 0; i < bytes / sizeof(INTERFACE_INFO); ++i) {
        if (records[i].iiAddress.AddressIn.sin_addr.s_addr == LOOPBACK_NETWORK) {
            loopback = true;
            EXPECT_EQ(0x000000FFu, records[i].iiNetmask.AddressIn.sin_addr.s_addr);
        }
    }
    EXPECT_TRUE(loopback);
}

TEST(PlatformNet, AddressTableAndRecordAgree) {
    std::unique_ptr<QX::CAddrTable> table(QX::CAddrTable::GetLocalAddresses());
    ASSERT_NE(nullptr, table);
    for (int i = 0; i < table->GetSize(); ++i) {
        EXPECT_NE(LOOPBACK_NETWORK, table->GetAddress(i, false));
    }
    MIB_IPADDRTABLE* record = nullptr;
    int count = GetLocalAddrTable(&record, 0, 0);
    EXPECT_EQ(table->GetSize(), count);
    EXPECT_EQ(count == 0, record == nullptr);
    FreeLocalAddrTable(record);
}

TEST(PlatformNet, NeighbourTableCanBeRead) {
    std::unique_ptr<QX::CNetTable> table(QX::CNetTable::GetLocalNetAddresses());
    ASSERT_NE(nullptr, table);
    EXPECT_TRUE(table->GetIPAddressesOfMac(0xFEFFFFFFFFFFull).empty());
}

TEST(PlatformNet, EchoToLoopback) {
    int result = QX::PingICMP(LOOPBACK_HOST, 2000);
    if (result == static_cast<int>(QX::ResultCode::UnsupportedOperation)) {
        GTEST_SKIP() << "no ICMP echo facility for this user (see net.ipv4.ping_group_range)";
    }
    EXPECT_EQ(0, result);
}

TEST(PlatformNet, RawPingToLoopback) {
    int result = QX::Ping(LOOPBACK_NETWORK);
    if (result == static_cast<int>(QX::ResultCode::Unexpected)) {
        GTEST_SKIP() << "raw ICMP sockets need root or CAP_NET_RAW";
    }
    EXPECT_EQ(0, result);
}

}  // namespace
