// The host-network functions against real interfaces, addresses and neighbours, all inside
// network namespaces that the tests make: nothing here touches the machine's own network.

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <sstream>
#include <string>

#include "qxnet/common/QXResult.h"
#include "qxnet/net/QXAddrTable.h"
#include "qxnet/net/QXInterfaceList.h"
#include "qxnet/net/QXNetTable.h"
#include "qxnet/net/QXPing.h"
#include "qxnet/platform/QXNetInfo.h"
#include "tests/support/QXNetNamespace.h"
#include "tests/support/QXTraceCapture.h"

namespace {

using QXTest::NetNamespace;

constexpr std::uint32_t HOST_A = 0x0A4D0101;    // 10.77.1.1/24, broadcast 10.77.1.255
constexpr std::uint32_t HOST_A32 = 0x0A4D0901;  // 10.77.9.1/32 on the same interface
constexpr std::uint32_t PEER_B = 0x0A4D0102;    // 10.77.1.2/24 in the peer namespace
constexpr std::uint32_t TUN_A = 0x0A580001;     // 10.88.0.1/30 on a tun device
constexpr std::uint32_t SILENT = 0x0A4D0163;    // 10.77.1.99: nobody
constexpr std::uint64_t STATIC_MAC = 0x021122334455ull;

std::uint32_t Net(std::uint32_t host) {
    return ((host & 0xFF) << 24) | ((host & 0xFF00) << 8) | ((host >> 8) & 0xFF00) | (host >> 24);
}

// The MAC of a link as a number, read with ip inside its namespace.
std::uint64_t MacOf(const NetNamespace& ns, const std::string& link) {
    std::string out = ns.Capture("ip -o link show dev " + link);
    std::size_t at = out.find("link/ether ");
    if (at == std::string::npos) {
        return 0;
    }
    std::uint64_t mac = 0;
    std::istringstream text(out.substr(at + 11, 17));
    for (int i = 0; i < 6; ++i) {
        unsigned int octet = 0;
        text >> std::hex >> octet;
        text.ignore(1);
        mac = (mac << 8) | octet;
    }
    return mac;
}

class HostNetwork : public testing::Test {
protected:
    void SetUp() override {
        if (!NetNamespace::Available()) {
            GTEST_SKIP() << "network namespaces need root and the ip tool";
        }
        m_host = std::make_unique<NetNamespace>("qxnet-host");
        m_peer = std::make_unique<NetNamespace>("qxnet-peer");
        ASSERT_TRUE(m_host->Valid() && m_peer->Valid());
        ASSERT_TRUE(NetNamespace::Link(*m_host, "veth0", "10.77.1.1/24 brd 10.77.1.255", *m_peer,
                                       "veth1", "10.77.1.2/24 brd 10.77.1.255"));
        ASSERT_EQ(0, m_host->Exec("ip addr add 10.77.9.1/32 dev veth0"));
        ASSERT_EQ(0, m_host->Exec("ip tuntap add mode tun dev qxtun0 && "
                                  "ip addr add 10.88.0.1/30 dev qxtun0 && ip link set qxtun0 up"));
    }

    std::unique_ptr<NetNamespace> m_host;
    std::unique_ptr<NetNamespace> m_peer;
};

TEST_F(HostNetwork, InterfaceListShowsTheNamespacesInterfaces) {
    QX::InterfaceList list;
    int result = -1;
    testing::internal::CaptureStdout();
    m_host->Run([&] { result = list.Open(); });
    std::string printed = testing::internal::GetCapturedStdout();
    ASSERT_EQ(0, result);
    EXPECT_NE(std::string::npos, printed.find("Friendly Name: lo\nDescription: "));
    EXPECT_NE(std::string::npos, printed.find("Friendly Name: veth0\nDescription: veth\n"));
    EXPECT_NE(std::string::npos, printed.find("Friendly Name: qxtun0\nDescription: tun\n"));

    ASSERT_EQ(3, list.GetSize());
    // veth0's two addresses in the order they were added, then the tun device; never 127.0.0.1.
    EXPECT_EQ(HOST_A, list.GetAddress(0, true));
    EXPECT_EQ(Net(HOST_A), list.GetAddress(0, false));
    EXPECT_EQ(0xFFFFFF00u, list.GetMask(0, true));
    EXPECT_EQ(0x0A4D01FFu, list.GetBroadcast(0, true));
    EXPECT_EQ(L"veth0", list.GetName(0));
    EXPECT_EQ(HOST_A32, list.GetAddress(1, true));
    EXPECT_EQ(0xFFFFFFFFu, list.GetMask(1, true));
    EXPECT_EQ(L"veth0", list.GetName(1));
    EXPECT_EQ(TUN_A, list.GetAddress(2, true));
    EXPECT_EQ(0xFFFFFFFCu, list.GetMask(2, true));
    EXPECT_EQ(0u, list.GetBroadcast(2, true));  // point-to-point: no broadcast address
    EXPECT_EQ(L"qxtun0", list.GetName(2));
    EXPECT_EQ(L"tun", list.GetDescription(2));

    EXPECT_EQ(0, list.IsValidAddress(0x0A4D0132u, false));  // 10.77.1.50
    // The /32 is tested as a /24: 10.77.9.77 is inside it.
    EXPECT_EQ(0, list.IsValidAddress(1, 0x0A4D094Du, false));
    EXPECT_EQ(1, list.IsValidAddress(2, 0x0A580005u, false));  // outside the /30
    EXPECT_EQ(1, list.IsValidAddress(0x0A4E0101u, false));
}

TEST_F(HostNetwork, AddressTableSkipsLoopbackAndKeepsMasks) {
    std::unique_ptr<QX::CAddrTable> table;
    int count = 0;
    MIB_IPADDRTABLE* record = nullptr;
    m_host->Run([&] {
        table.reset(QX::CAddrTable::GetLocalAddresses());
        count = GetLocalAddrTable(&record, 0x0A4D0000, 0x0A4DFFFF);
    });
    ASSERT_NE(nullptr, table);
    ASSERT_EQ(3, table->GetSize());
    EXPECT_EQ(HOST_A, table->GetAddress(0, true));
    EXPECT_EQ(0xFFFFFF00u, table->GetMask(0, true));
    EXPECT_EQ(HOST_A32, table->GetAddress(1, true));
    EXPECT_EQ(0xFFFFFFFFu, table->GetMask(1, true));
    EXPECT_EQ(TUN_A, table->GetAddress(2, true));
    EXPECT_EQ(0, table->IsValidAddress(0x0A580002u, false));
    ASSERT_EQ(2, count);
    ASSERT_NE(nullptr, record);
    EXPECT_EQ(Net(HOST_A), record->table[0].dwAddr);
    EXPECT_EQ(Net(0x0A4D01FF), record->table[0].dwBCastAddr);
    const MIB_IPADDRROW* rows = record->table;
    EXPECT_EQ(rows[0].dwIndex, rows[1].dwIndex);
    EXPECT_EQ(0, ValidateIP(0x0A4D0150, record));
    EXPECT_EQ(1, ValidateIP(TUN_A + 1, record));
    FreeLocalAddrTable(record);
}

TEST_F(HostNetwork, NeighbourTableFindsStaticAndLearntEntries) {
    ASSERT_EQ(0, m_host->Exec("ip neigh add 10.77.1.50 lladdr 02:11:22:33:44:55 dev veth0 nud "
                              "permanent && ip neigh add 10.77.1.51 lladdr 02:11:22:33:44:55 dev "
                              "veth0 nud permanent && ip neigh add 10.77.1.99 dev veth0 nud "
                              "incomplete"));
    // Learn the peer's address the ordinary way.
    ASSERT_EQ(0, m_host->Exec("ping -c 1 -W 2 10.77.1.2 >/dev/null"));
    std::uint64_t peerMac = MacOf(*m_peer, "veth1");
    ASSERT_NE(0u, peerMac);

    std::unique_ptr<QX::CNetTable> table;
    m_host->Run([&] { table.reset(QX::CNetTable::GetLocalNetAddresses()); });
    ASSERT_NE(nullptr, table);
    // Both addresses of the MAC, in the kernel's table order, which ip shows too.
    std::string listed = m_host->Capture("ip -4 neigh show dev veth0");
    bool fiftyFirst = listed.find("10.77.1.50 ") < listed.find("10.77.1.51 ");
    std::vector<std::uint32_t> expected = fiftyFirst
                                              ? std::vector<std::uint32_t>{0x0A4D0132, 0x0A4D0133}
                                              : std::vector<std::uint32_t>{0x0A4D0133, 0x0A4D0132};
    EXPECT_EQ(expected, table->GetIPAddressesOfMac(STATIC_MAC));
    EXPECT_EQ((std::vector<std::uint32_t>{PEER_B}), table->GetIPAddressesOfMac(peerMac));
    // The incomplete entry has no physical address and never reaches the table.
    EXPECT_NE(std::string::npos, m_host->Capture("ip neigh show 10.77.1.99").find("INCOMPLETE"));
    EXPECT_TRUE(table->GetIPAddressesOfMac(0).empty());
    EXPECT_TRUE(table->GetIPAddressesOfMac(0x0A0B0C0D0E0Full).empty());
}

TEST_F(HostNetwork, FlushEmptiesEthernetNeighboursOnly) {
    ASSERT_EQ(0, m_host->Exec("ip neigh add 10.77.1.50 lladdr 02:11:22:33:44:55 dev veth0 nud "
                              "permanent && ip neigh add 10.88.0.2 dev qxtun0 nud permanent"));
    ASSERT_EQ(0, m_host->Exec("ping -c 1 -W 2 10.77.1.2 >/dev/null"));
    std::string tunBefore = m_host->Capture("ip neigh show dev qxtun0");
    ASSERT_NE("", tunBefore);
    ASSERT_NE("", m_host->Capture("ip neigh show dev veth0"));

    std::vector<QX::AdapterInfo> adapters;
    DWORD size = 64 * QX::NETINFO_ADAPTER_INFO_SIZE;
    DWORD answer = 1;
    m_host->Run([&] {
        answer = QX::NetInfo().GetAdaptersInfo(&adapters, &size);
        QX::FlashARP();
    });
    ASSERT_EQ(QX::NetInfoError::Success, answer);
    ASSERT_EQ(2u, adapters.size());  // veth0 and the tun device; loopback is no adapter here
    int ethernet = 0;
    for (const QX::AdapterInfo& adapter : adapters) {
        ethernet += adapter.type == QX::NETINFO_TYPE_ETHERNET ? 1 : 0;
    }
    EXPECT_EQ(1, ethernet);
    // Permanent entries go too: the flush empties the adapter's table.
    EXPECT_EQ("", m_host->Capture("ip neigh show dev veth0"));
    EXPECT_EQ(tunBefore, m_host->Capture("ip neigh show dev qxtun0"));
}

TEST_F(HostNetwork, PingICMPThroughRawAndDatagramSockets) {
    int answered = -1;
    int silent = -1;
    // A fresh namespace lets no group use ICMP datagram sockets: the raw socket serves.
    m_host->Run([&] {
        answered = QX::PingICMP(PEER_B, 2000);
        silent = QX::PingICMP(SILENT, 100);
    });
    EXPECT_EQ(0, answered);
    EXPECT_EQ(1, silent);
    ASSERT_EQ(0, m_host->Exec("sysctl -q -w net.ipv4.ping_group_range=\"0 2147483647\""));
    m_host->Run([&] {
        answered = QX::PingICMP(PEER_B, 2000);
        silent = QX::PingICMP(SILENT, 100);
    });
    EXPECT_EQ(0, answered);
    EXPECT_EQ(1, silent);
}

TEST_F(HostNetwork, RawPingAnswersAndTimesOut) {
    int answered = -1;
    int silent = -1;
    QXTest::TraceCapture capture;
    m_host->Run([&] {
        // Resolve the peer's link address first so that the reply can come within the wait.
        QX::PingICMP(PEER_B, 2000);
        answered = QX::Ping(Net(PEER_B));
        silent = QX::Ping(Net(SILENT));
    });
    EXPECT_EQ(0, answered);
    EXPECT_EQ(static_cast<int>(QX::ResultCode::TimedOut), silent);
    EXPECT_TRUE(capture.Contains(L"Pinging 10.77.1.2"));
    EXPECT_TRUE(capture.Contains(L"Pinging 10.77.1.99"));
}

TEST_F(HostNetwork, FreeAddressSearchSkipsAnsweringAddresses) {
    ASSERT_EQ(0, m_peer->Exec("ip addr add 10.77.1.10/24 dev veth1 && "
                              "ip addr add 10.77.1.11/24 dev veth1"));
    std::uint32_t found = 0;
    bool tenFree = true;
    QXTest::TraceCapture capture;
    m_host->Run([&] {
        tenFree = QX::IsAddrAvailable(0x0A4D010A);
        found = QX::GetAvailableAddress(0x0A4D010A, 0x0A4D010C);
    });
    EXPECT_FALSE(tenFree);
    EXPECT_EQ(0x0A4D010Cu, found);
    EXPECT_TRUE(capture.Contains(L"IsAddrAvailable(10.77.1.11). IP not available"));
}

}  // namespace
