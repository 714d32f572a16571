// The host-network functions against real interfaces, addresses and neighbours, all inside
// network namespaces that the tests make: nothing here touches the machine's own network.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>

#include "qxnet/common/QXAddress.h"
#include "qxnet/common/QXResult.h"
#include "qxnet/net/QXAddrTable.h"
#include "qxnet/net/QXInterfaceList.h"
#include "qxnet/net/QXLocalAddresses.h"
#include "qxnet/net/QXNetTable.h"
#include "qxnet/net/QXPing.h"
#include "qxnet/net/QXReservedAddress.h"
#include "qxnet/platform/QXNetInfo.h"
#include "qxnet/platform/posix/QXWirelessLinks.h"
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

// The interface index of a link, read with ip inside its namespace.
int IndexOf(const NetNamespace& ns, const std::string& link) {
    std::string out = ns.Capture("ip -o link show dev " + link);
    return out.empty() ? -1 : std::stoi(out);
}

// The entry of an interface list that holds an address (host order), or -1.
int EntryOf(const QX::InterfaceList& list, std::uint32_t address) {
    for (int i = 0; i < list.GetSize(); ++i) {
        if (list.GetAddress(i, true) == address) {
            return i;
        }
    }
    return -1;
}

// Opens an interface list inside ns, its printed adapter lines set aside.
int OpenIn(const NetNamespace& ns, QX::InterfaceList& list) {
    int result = -1;
    testing::internal::CaptureStdout();
    ns.Run([&] { result = list.Open(); });
    testing::internal::GetCapturedStdout();
    return result;
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
    // Point-to-point without a peer: the subnet's broadcast address, never 0.0.0.0.
    EXPECT_EQ(0x0A580003u, list.GetBroadcast(2, true));
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
    // As Windows fills it: the broadcast address has all host bits set.
    EXPECT_EQ(1u, record->table[0].dwBCastAddr);
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
        answer = QX::NetInfoSource::Current().GetAdaptersInfo(&adapters, &size);
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

// Where the kernel holds no broadcast address (iproute2 adds none unless asked, nor for
// secondary addresses, /31 or /32), the records give what Windows gives: the address with all
// host bits set, or on a point-to-point link the peer.
TEST_F(HostNetwork, BroadcastAddressWhereTheKernelHoldsNone) {
    ASSERT_EQ(0, m_host->Exec("ip addr add 10.77.3.1/24 dev veth0 && "
                              "ip addr add 10.77.1.7/24 dev veth0 && "
                              "ip addr add 10.77.4.0/31 dev veth0 && "
                              "ip tuntap add mode tun dev qxtun1 && "
                              "ip addr add 10.89.0.1 peer 10.89.0.2 dev qxtun1 && "
                              "ip link set qxtun1 up"));
    const struct {
        std::uint32_t address;
        std::uint32_t broadcast;
    } cases[] = {
        {0x0A4D0101, 0x0A4D01FF},  // given with brd
        {0x0A4D0301, 0x0A4D03FF},  // without brd
        {0x0A4D0107, 0x0A4D01FF},  // secondary
        {0x0A4D0400, 0x0A4D0401},  // /31
        {HOST_A32, HOST_A32},      // /32
        {TUN_A, 0x0A580003},       // point-to-point without a peer
        {0x0A590001, 0x0A590002},  // point-to-point: the peer
    };
    QX::InterfaceList list;
    ASSERT_EQ(0, OpenIn(*m_host, list));
    std::unique_ptr<QX::CAddrTable> table;
    MIB_IPADDRTABLE* record = nullptr;
    int count = 0;
    m_host->Run([&] { count = GetLocalAddrTable(&record, 0, 0); });
    std::unique_ptr<MIB_IPADDRTABLE, void (*)(MIB_IPADDRTABLE*)> owner(record, FreeLocalAddrTable);
    ASSERT_EQ(7, count);
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << c.address);
        int entry = EntryOf(list, c.address);
        ASSERT_GE(entry, 0);
        EXPECT_EQ(c.broadcast, list.GetBroadcast(entry, true));
    }
    // The address table's field is 1 on every row, as on Windows.
    for (int i = 0; i < count; ++i) {
        EXPECT_EQ(1u, record->table[i].dwBCastAddr);
    }
}

// A link set down takes no part in the host's addressing (Windows leaves disabled adapters out);
// one that is up without carrier is listed and marked disconnected in the address table.
TEST_F(HostNetwork, AddressesOfLinksThatAreDownAreLeftOut) {
    ASSERT_EQ(0, m_host->Exec("ip link add qxdown0 type veth peer name qxdown1 && "
                              "ip addr add 10.66.0.1/24 dev qxdown0 && ip link set qxdown0 up && "
                              "ip link set qxdown0 down"));
    const int downIndex = IndexOf(*m_host, "qxdown0");
    constexpr std::uint32_t DOWN_ADDRESS = 0x0A420001;
    constexpr std::uint32_t DOWN_NEIGHBOUR = 0x0A420005;
    for (bool up : {false, true}) {
        SCOPED_TRACE(up ? "up without carrier" : "down");
        if (up) {
            ASSERT_EQ(0, m_host->Exec("ip link set qxdown0 up"));
        }
        QX::InterfaceList list;
        ASSERT_EQ(0, OpenIn(*m_host, list));
        EXPECT_EQ(up, EntryOf(list, DOWN_ADDRESS) >= 0);
        EXPECT_EQ(up ? 0 : 1, list.IsValidAddress(DOWN_NEIGHBOUR, false));

        std::unique_ptr<QX::CAddrTable> table;
        MIB_IPADDRTABLE* record = nullptr;
        int count = -1;
        std::vector<QX::AdapterInfo> adapters;
        DWORD size = 64 * QX::NETINFO_ADAPTER_INFO_SIZE;
        m_host->Run([&] {
            table.reset(QX::CAddrTable::GetLocalAddresses());
            count = GetLocalAddrTable(&record, 0x0A420000, 0x0A4200FF);
            QX::NetInfoSource::Current().GetAdaptersInfo(&adapters, &size);
        });
        std::unique_ptr<MIB_IPADDRTABLE, void (*)(MIB_IPADDRTABLE*)> owner(record,
                                                                           FreeLocalAddrTable);
        ASSERT_NE(nullptr, table);
        EXPECT_EQ(up ? 0 : 1, table->IsValidAddress(DOWN_NEIGHBOUR, false));
        ASSERT_EQ(up ? 1 : 0, count);
        if (up) {
            EXPECT_EQ(MIB_IPADDR_DISCONNECTED, record->table[0].wType & MIB_IPADDR_DISCONNECTED);
        }
        EXPECT_EQ(up, std::any_of(adapters.begin(), adapters.end(), [&](const QX::AdapterInfo& a) {
                      return static_cast<int>(a.index) == downIndex;
                  }));
    }
}

// Container hosts have hundreds of links without an IPv4 address; they must not fill the
// adapter block.
TEST_F(HostNetwork, OpenSucceedsWithHundredsOfLinks) {
    std::string batch;
    for (int i = 0; i < 150; ++i) {
        batch += "link add qxa" + std::to_string(i) + " type veth peer name qxb" +
                 std::to_string(i) + "\n";
        if (i % 2 == 0) {
            batch += "link set qxa" + std::to_string(i) + " up\n";
        }
    }
    ASSERT_EQ(0, m_host->Exec("printf \"" + batch + "\" | ip -batch -"));
    ASSERT_GE(std::stoi(m_host->Capture("ip -o link show | wc -l")), 300);
    QX::InterfaceList list;
    ASSERT_EQ(0, OpenIn(*m_host, list));
    EXPECT_EQ(3, list.GetSize());
    EXPECT_GE(EntryOf(list, HOST_A), 0);
}

// Link names and aliases are UTF-8.
TEST_F(HostNetwork, NonAsciiNamesReadBackAsTheyWereSet) {
    ASSERT_EQ(0, m_host->Exec("ip link set veth0 alias \"B\xc3\xbcro-Kamera\" && "
                              "ip link set qxtun0 down && ip link set qxtun0 name "
                              "\"qxt\xc3\xbcn0\" && ip link set \"qxt\xc3\xbcn0\" up"));
    QX::InterfaceList list;
    ASSERT_EQ(0, OpenIn(*m_host, list));
    int veth = EntryOf(list, HOST_A);
    int tun = EntryOf(list, TUN_A);
    ASSERT_GE(veth, 0);
    ASSERT_GE(tun, 0);
    EXPECT_EQ(L"B\u00fcro-Kamera", list.GetDescription(veth));
    EXPECT_EQ(L"qxt\u00fcn0", list.GetName(tun));
}

// No wireless device exists here: the decision is tried with the wireless list put in place.
std::vector<int> s_wireless;

TEST_F(HostNetwork, WirelessLinksAreNotFlushed) {
    ASSERT_EQ(0, m_host->Exec("ip neigh add 10.77.1.50 lladdr 02:11:22:33:44:55 dev veth0 nud "
                              "permanent"));
    // Nothing here is driven by the wireless stack.
    std::vector<int> real{-1};
    m_host->Run([&] { real = QX::WirelessLinkIndexes(); });
    EXPECT_TRUE(real.empty());

    s_wireless = {IndexOf(*m_host, "veth0")};
    QX::WirelessLinkSource previous = QX::SetWirelessLinkSource([] { return s_wireless; });
    std::vector<QX::AdapterInfo> adapters;
    DWORD size = 64 * QX::NETINFO_ADAPTER_INFO_SIZE;
    m_host->Run([&] {
        QX::NetInfoSource::Current().GetAdaptersInfo(&adapters, &size);
        QX::FlashARP();
    });
    QX::SetWirelessLinkSource(previous);
    auto veth = std::find_if(adapters.begin(), adapters.end(), [](const QX::AdapterInfo& a) {
        return static_cast<int>(a.index) == s_wireless[0];
    });
    ASSERT_NE(adapters.end(), veth);
    EXPECT_EQ(QX::NETINFO_TYPE_IEEE80211, veth->type);
    EXPECT_NE("", m_host->Capture("ip neigh show dev veth0"));
}

// An empty neighbour table is "no data", as on Windows; a sorted fetch is sorted by address;
// NOARP entries (the kernel's multicast mappings) are static.
TEST_F(HostNetwork, NeighbourTableAnswersAsWindowsDoes) {
    DWORD size = 0;
    DWORD empty = 0;
    std::unique_ptr<QX::CNetTable> none;
    m_peer->Run([&] {
        empty = QX::NetInfoSource::Current().GetIpNetTable(nullptr, &size, false);
        none.reset(QX::CNetTable::GetLocalNetAddresses());
    });
    EXPECT_EQ(QX::NetInfoError::NoData, empty);
    EXPECT_EQ(nullptr, none);

    for (int last : {90, 80, 70, 60, 50, 40, 30, 20}) {
        ASSERT_EQ(0, m_host->Exec("ip neigh add 10.77.1." + std::to_string(last) +
                                  " lladdr 02:11:22:33:44:" + std::to_string(last) +
                                  " dev veth0 nud permanent"));
    }
    ASSERT_EQ(0, m_host->Exec("ip neigh add 10.77.1.5 lladdr 01:00:5e:00:00:05 dev veth0 nud "
                              "noarp"));
    std::vector<unsigned char> block;
    DWORD answer = 0;
    m_host->Run([&] {
        size = 0;
        QX::NetInfoSource::Current().GetIpNetTable(nullptr, &size, true);
        block.resize(size);
        answer = QX::NetInfoSource::Current().GetIpNetTable(
            reinterpret_cast<MIB_IPNETTABLE*>(block.data()), &size, true);
    });
    ASSERT_EQ(QX::NetInfoError::Success, answer);
    const auto* table = reinterpret_cast<const MIB_IPNETTABLE*>(block.data());
    std::vector<std::uint32_t> order;
    for (DWORD i = 0; i < table->dwNumEntries; ++i) {
        order.push_back(QX::SwapAddress(table->table[i].dwAddr));
        DWORD expected =
            order.back() == 0x0A4D0105 ? MIB_IPNET_TYPE_STATIC : table->table[i].dwType;
        EXPECT_EQ(expected, table->table[i].dwType);
    }
    EXPECT_EQ(9u, order.size());
    EXPECT_TRUE(std::is_sorted(order.begin(), order.end()));
}

// The host name's addresses keep the hosts database's order: the first ten are the first ten
// lines, whichever of them the resolver would rank higher. The child process gets its own
// mount and host-name namespaces for its hosts file and name, and a network namespace with
// nothing but loopback, where the 10.x addresses have no route and 127.x ones do.
TEST(HostName, LocalAddressesKeepTheHostsFileOrder) {
    if (!NetNamespace::Available()) {
        GTEST_SKIP() << "network namespaces need root and the ip tool";
    }
    NetNamespace ns("qxnet-hosts");
    ASSERT_TRUE(ns.Valid());
    char path[] = "/tmp/qxnet-hosts-XXXXXX";
    int file = mkstemp(path);
    ASSERT_GE(file, 0);
    close(file);
    std::vector<std::uint32_t> expected;
    {
        std::ofstream hosts(path);
        for (int i = 1; i <= 10; ++i) {
            hosts << "10.0.0." << i << " qxnet-hosts-test\n";
            expected.push_back(0x0A000000u + static_cast<std::uint32_t>(i));
        }
        hosts << "127.0.0.11 qxnet-hosts-test\n127.0.0.12 qxnet-hosts-test\n";
    }
    int pipeEnds[2];
    ASSERT_EQ(0, pipe(pipeEnds));
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        int netns = open(("/var/run/netns/" + ns.Name()).c_str(), O_RDONLY);
        bool ready = netns >= 0 && setns(netns, CLONE_NEWNET) == 0 &&
                     unshare(CLONE_NEWNS | CLONE_NEWUTS) == 0 &&
                     mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
                     mount(path, "/etc/hosts", nullptr, MS_BIND, nullptr) == 0 &&
                     sethostname("qxnet-hosts-test", 16) == 0;
        std::vector<std::uint32_t> found;
        if (ready) {
            found = QX::GetLocalAddresses();
        }
        ssize_t written = write(pipeEnds[1], found.data(), found.size() * sizeof(std::uint32_t));
        _exit(ready && written >= 0 ? 0 : 1);
    }
    close(pipeEnds[1]);
    std::vector<std::uint32_t> found(16);
    ssize_t length = read(pipeEnds[0], found.data(), found.size() * sizeof(std::uint32_t));
    close(pipeEnds[0]);
    int status = -1;
    waitpid(child, &status, 0);
    unlink(path);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    found.resize(length > 0 ? static_cast<std::size_t>(length) / sizeof(std::uint32_t) : 0);
    EXPECT_EQ(expected, found);
}

}  // namespace
