// The platform's own sources on this host, read only, and echo requests to loopback: nothing is
// changed and nothing leaves 127.0.0.0/8. The Linux backend's cases are net_host_test's; this
// one runs on every platform, Windows included.

#include <gtest/gtest.h>

#include <memory>

#include "qxnet/common/QXResult.h"
#include "qxnet/net/QXAddrTable.h"
#include "qxnet/net/QXInterfaceList.h"
#include "qxnet/net/QXNetTable.h"
#include "qxnet/net/QXPing.h"
#include "qxnet/tftp/QXTFTPClient.h"

namespace {

constexpr std::uint32_t LOOPBACK_NETWORK = 0x0100007F;

// Loopback is no entry of the interface list nor of the address table. The list needs the
// socket layer started by its caller, as an application does.
TEST(PlatformNet, TablesReadAndEchoToLoopback) {
    ASSERT_FALSE(QXSDK::TFTPClient::Startup());
    QX::InterfaceList list;
    testing::internal::CaptureStdout();
    EXPECT_EQ(0, list.Open());
    EXPECT_NE(std::string::npos, testing::internal::GetCapturedStdout().find("Friendly Name: "));
    QXSDK::TFTPClient::Cleanup();
    std::unique_ptr<QX::CAddrTable> table(QX::CAddrTable::GetLocalAddresses());
    ASSERT_NE(nullptr, table);
    for (int i = 0; i < list.GetSize() || i < table->GetSize(); ++i) {
        EXPECT_NE(LOOPBACK_NETWORK, list.GetAddress(i, false));
        EXPECT_NE(LOOPBACK_NETWORK, table->GetAddress(i, false));
    }
    EXPECT_NE(nullptr, std::unique_ptr<QX::CNetTable>(QX::CNetTable::GetLocalNetAddresses()));
    const int echo = QX::PingICMP(0x7F000001, 2000);
    const int raw = QX::Ping(LOOPBACK_NETWORK);
    EXPECT_TRUE(echo == 0 || echo == static_cast<int>(QX::ResultCode::UnsupportedOperation));
    EXPECT_TRUE(raw == 0 || raw == static_cast<int>(QX::ResultCode::Unexpected));
    if (echo != 0 && raw != 0) {
        GTEST_SKIP() << "no ICMP for this user (net.ipv4.ping_group_range, CAP_NET_RAW)";
    }
}

}  // namespace
