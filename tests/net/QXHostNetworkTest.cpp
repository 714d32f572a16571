// The Linux backend against real interfaces, neighbours and ICMP peers, in the tests' namespaces.
#include <gtest/gtest.h>

#include <sched.h>
#include <sys/mount.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <memory>
#include <string>
#include <tuple>

#include "qxnet/common/QXAddress.h"
#include "qxnet/common/QXResult.h"
#include "qxnet/net/QXAddrTable.h"
#include "qxnet/net/QXInterfaceList.h"
#include "qxnet/net/QXLocalAddresses.h"
#include "qxnet/net/QXNetTable.h"
#include "qxnet/net/QXPing.h"
#include "qxnet/platform/QXNetInfo.h"
#include "qxnet/platform/posix/QXWirelessLinks.h"
#include "tests/support/QXNetNamespace.h"
#include "tests/support/QXTraceCapture.h"

namespace {

using QXTest::NetNamespace;

// The entry of an interface list that holds an address (host order), or -1.
int EntryOf(const QX::InterfaceList& list, std::uint32_t address) {
    for (int i = 0; i < list.GetSize(); ++i) {
        if (list.GetAddress(i, true) == address) {
            return i;
        }
    }
    return -1;
}

// Host and peer namespaces on a veth pair, 10.N.1.1/24 and 10.N.1.2/24 (the peer's MAC fixed).
class HostPair : public testing::Test {
protected:
    void Make(const std::string& n, const std::string& hostSetUp) {
        if (!NetNamespace::Available()) {
            GTEST_SKIP() << "network namespaces need root and the ip tool";
        }
        m_host = std::make_unique<NetNamespace>("qxnet-host");
        m_peer = std::make_unique<NetNamespace>("qxnet-peer");
        ASSERT_TRUE(m_host->Valid() && m_peer->Valid());
        const std::string brd = "/24 brd 10." + n + ".1.255";
        ASSERT_TRUE(NetNamespace::Link(*m_host, "veth0", "10." + n + ".1.1" + brd, *m_peer, "veth1",
                                       "10." + n + ".1.2" + brd));
        ASSERT_EQ(0, m_peer->Exec("ip link set veth1 address 02:11:22:33:44:66"));
        ASSERT_EQ(0, m_host->Exec(hostSetUp));
    }

    std::unique_ptr<NetNamespace> m_host;
    std::unique_ptr<NetNamespace> m_peer;
};

// A tun device, and a link that was up and is down (Windows leaves disabled adapters out).
class HostNetwork : public HostPair {
protected:
    void SetUp() override {
        Make("77",
             "ip tuntap add mode tun dev qxtun0 && ip addr add 10.88.0.1/30 dev qxtun0 && "
             "ip link set qxtun0 up && ip link add qxdown0 type veth peer name qxdown1 && "
             "ip addr add 10.66.0.1/24 dev qxdown0 && ip link set qxdown0 up && "
             "ip link set qxdown0 down");
    }
};

// Every address but loopback's and the down link's, secondaries last, with the broadcast Windows
// gives where the kernel holds none; links without IPv4 must not fill the adapter block.
TEST_F(HostNetwork, InterfacesAddressesAndBroadcasts) {
    ASSERT_EQ(0, m_host->Exec("ip addr add 10.77.9.1/32 dev veth0 && "
                              "ip addr add 10.77.3.1/24 dev veth0 && "
                              "ip addr add 10.77.1.7/24 dev veth0 && "
                              "ip addr add 10.77.4.0/31 dev veth0 && "
                              "ip tuntap add mode tun dev qxt\xc3\xbcn1 && "
                              "ip link set qxt\xc3\xbcn1 alias \"B\xc3\xbcro-Kamera\" && "
                              "ip addr add 10.89.0.1 peer 10.89.0.2 dev qxt\xc3\xbcn1 && "
                              "ip link set qxt\xc3\xbcn1 up && "
                              "ip link add qxnc0 type veth peer name qxnc1 && "
                              "ip addr add 10.67.0.1/24 dev qxnc0 && ip link set qxnc0 up"));
    std::string batch;
    for (int i = 0; i < 150; ++i) {
        const std::string a = "qxa" + std::to_string(i);
        batch += "link add " + a + " type veth peer name qxb" + std::to_string(i) + "\n";
        batch += i % 2 == 0 ? "link set " + a + " up\n" : "";
    }
    ASSERT_EQ(0, m_host->Exec("printf \"" + batch + "\" | ip -batch -"));
    constexpr std::uint32_t NO_CARRIER = 0x0A430001;
    const struct {
        std::uint32_t address, mask, broadcast;
        const wchar_t *name, *description;
    } cases[] = {
        {0x0A4D0101, 0xFFFFFF00, 0x0A4D01FF, L"veth0", L"veth"},  // given with brd
        {0x0A4D0901, 0xFFFFFFFF, 0x0A4D0901, L"veth0", L"veth"},  // /32
        {0x0A4D0301, 0xFFFFFF00, 0x0A4D03FF, L"veth0", L"veth"},  // without brd
        {0x0A4D0107, 0xFFFFFF00, 0x0A4D01FF, L"veth0", L"veth"},  // secondary
        {0x0A4D0400, 0xFFFFFFFE, 0x0A4D0401, L"veth0", L"veth"},  // /31
        {0x0A580001, 0xFFFFFFFC, 0x0A580003, L"qxtun0", L"tun"},  // point-to-point without a peer
        {0x0A590001, 0xFFFFFFFF, 0x0A590002, L"qxt\u00fcn1", L"B\u00fcro-Kamera"},  // the peer
        {NO_CARRIER, 0xFFFFFF00, 0x0A4300FF, L"qxnc0", L"veth"},
    };
    constexpr int N = static_cast<int>(std::size(cases));
    QX::InterfaceList list;
    MIB_IPADDRTABLE* record = nullptr;
    int opened = -1, count = 0;
    testing::internal::CaptureStdout();  // the adapter lines the list prints
    m_host->Run([&] {
        opened = list.Open();
        count = GetLocalAddrTable(&record, 0, 0);
    });
    testing::internal::GetCapturedStdout();
    std::unique_ptr<MIB_IPADDRTABLE, void (*)(MIB_IPADDRTABLE*)> owner(record, FreeLocalAddrTable);
    ASSERT_EQ(0, opened);
    ASSERT_EQ(N, list.GetSize());
    ASSERT_EQ(N, count);
    EXPECT_EQ(std::make_pair(0, 1),
              std::make_pair(EntryOf(list, 0x0A4D0101), EntryOf(list, 0x0A4D0901)));
    EXPECT_EQ(record->table[0].dwIndex, record->table[1].dwIndex);
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << c.address);
        int i = EntryOf(list, c.address);
        ASSERT_GE(i, 0);
        EXPECT_EQ(
            std::make_tuple(QX::SwapAddress(c.address), c.mask, c.broadcast, std::wstring(c.name),
                            std::wstring(c.description)),
            std::make_tuple(list.GetAddress(i, false), list.GetMask(i, true),
                            list.GetBroadcast(i, true), list.GetName(i), list.GetDescription(i)));
        const auto* row = std::find_if(record->table, record->table + N, [&](const auto& r) {
            return r.dwAddr == QX::SwapAddress(c.address);
        });
        ASSERT_NE(record->table + N, row);
        EXPECT_EQ(c.mask, QX::SwapAddress(row->dwMask));
        // As Windows fills it: the broadcast address has all host bits set.
        EXPECT_EQ(1u, row->dwBCastAddr);
        if (c.address == NO_CARRIER || c.address == 0x0A4D0101) {
            EXPECT_EQ(c.address == NO_CARRIER ? MIB_IPADDR_DISCONNECTED : 0,
                      row->wType & MIB_IPADDR_DISCONNECTED);
        }
    }
}

// Neighbours in the kernel's order, incomplete ones left out; the flush empties Ethernet adapters'
// tables, permanent entries too, but not wireless ones (veth0 made one).
std::vector<int> s_wireless;

TEST_F(HostNetwork, NeighbourTableAndFlush) {
    DWORD size = 0, answer = 0;
    std::unique_ptr<QX::CNetTable> table;
    m_peer->Run([&] {
        answer = QX::NetInfoSource::Current().GetIpNetTable(nullptr, &size, false);
        table.reset(QX::CNetTable::GetLocalNetAddresses());
    });
    EXPECT_EQ(QX::NetInfoError::NoData, answer);
    EXPECT_EQ(nullptr, table);

    std::string batch =
        "neigh add 10.77.1.99 dev veth0 nud incomplete\n"
        "neigh add 10.77.1.5 lladdr 01:00:5e:00:00:05 dev veth0 nud noarp\n"
        "neigh add 10.88.0.2 dev qxtun0 nud permanent\n";
    for (int last : {90, 51, 80, 70, 60, 50, 40, 30, 20}) {
        const std::string mac = last == 50 || last == 51 ? "55" : std::to_string(last);
        batch += "neigh add 10.77.1." + std::to_string(last) + " lladdr 02:11:22:33:44:" + mac +
                 " dev veth0 nud permanent\n";
    }
    ASSERT_EQ(0, m_host->Exec("printf \"" + batch + "\" | ip -batch -"));
    // The peer's address is learnt the ordinary way.
    ASSERT_EQ(0, m_host->Exec("ping -c 1 -W 2 10.77.1.2 >/dev/null"));
    std::vector<unsigned char> block;
    std::vector<int> wireless{-1};
    m_host->Run([&] {
        table.reset(QX::CNetTable::GetLocalNetAddresses());
        size = 0;
        QX::NetInfoSource::Current().GetIpNetTable(nullptr, &size, true);
        block.resize(size);
        answer = QX::NetInfoSource::Current().GetIpNetTable(
            reinterpret_cast<MIB_IPNETTABLE*>(block.data()), &size, true);
        wireless = QX::WirelessLinkIndexes();
    });
    ASSERT_NE(nullptr, table);
    const std::string listed = m_host->Capture("ip -4 neigh show dev veth0");
    std::vector<std::uint32_t> both = {0x0A4D0132, 0x0A4D0133};
    if (listed.find("10.77.1.50 ") > listed.find("10.77.1.51 ")) {
        std::swap(both[0], both[1]);
    }
    EXPECT_EQ(both, table->GetIPAddressesOfMac(0x021122334455ull));
    EXPECT_EQ((std::vector<std::uint32_t>{0x0A4D0102}),
              table->GetIPAddressesOfMac(0x021122334466ull));
    unsigned char mac[] = {0x02, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88};
    // Nine bytes are more than the result holds.
    EXPECT_EQ(std::make_pair(std::uint64_t{0x0211223344556677}, std::uint64_t{0}),
              std::make_pair(table->NetworkToHostQWORD(mac, 8), table->NetworkToHostQWORD(mac, 9)));
    ASSERT_EQ(QX::NetInfoError::Success, answer);
    const auto* sorted = reinterpret_cast<const MIB_IPNETTABLE*>(block.data());
    std::vector<std::uint32_t> order;
    for (DWORD i = 0; i < sorted->dwNumEntries; ++i) {
        order.push_back(QX::SwapAddress(sorted->table[i].dwAddr));
        if (order.back() == 0x0A4D0105) {
            EXPECT_EQ(static_cast<DWORD>(MIB_IPNET_TYPE_STATIC), sorted->table[i].dwType);
        }
    }
    EXPECT_EQ(std::stoul(m_host->Capture("ip -4 neigh show nud all | wc -l")), order.size());
    EXPECT_TRUE(std::is_sorted(order.begin(), order.end())) << testing::PrintToString(order);

    EXPECT_TRUE(wireless.empty());
    const std::string tunBefore = m_host->Capture("ip neigh show dev qxtun0");
    ASSERT_NE("", tunBefore);
    QX::WirelessLinkSource previous = QX::SetWirelessLinkSource([] { return s_wireless; });
    for (int radio : {std::stoi(m_host->Capture("ip -o link show dev veth0")), -1}) {
        SCOPED_TRACE(radio);
        s_wireless = {radio};
        ASSERT_EQ(0, m_host->Exec("ip neigh replace 10.77.1.50 lladdr 02:11:22:33:44:55 dev "
                                  "veth0 nud permanent"));
        std::vector<QX::AdapterInfo> adapters;
        size = 64 * QX::NETINFO_ADAPTER_INFO_SIZE;
        m_host->Run([&] {
            answer = QX::NetInfoSource::Current().GetAdaptersInfo(&adapters, &size);
            QX::FlashARP();
        });
        ASSERT_EQ(QX::NetInfoError::Success, answer);
        // veth0 and the tun device; loopback and the link that is down are no adapters.
        ASSERT_EQ(2u, adapters.size());
        const std::size_t ethernet = std::count_if(
            adapters.begin(), adapters.end(),
            [](const QX::AdapterInfo& a) { return a.type == QX::NETINFO_TYPE_ETHERNET; });
        EXPECT_EQ(radio < 0 ? 1u : 0u, ethernet);
        EXPECT_EQ(radio < 0, m_host->Capture("ip neigh show dev veth0").empty());
    }
    QX::SetWirelessLinkSource(previous);
    EXPECT_EQ(tunBefore, m_host->Capture("ip neigh show dev qxtun0"));
}

// The hosts file's order holds though the resolver would rank 127.x (routed) above 10.0.x (not).
TEST_F(HostNetwork, HostNameAddressesKeepTheHostsFileOrder) {
    char path[] = "/tmp/qxnet-hosts-XXXXXX";
    ASSERT_EQ(0, close(mkstemp(path)));
    std::ofstream hosts(path);
    std::vector<std::uint32_t> expected, found;
    for (std::uint32_t i = 1; i <= 10; ++i) {
        hosts << "10.0.0." << i << " qxnet-hosts-test\n";
        expected.push_back(0x0A000000u + i);
    }
    hosts << "127.0.0.11 qxnet-hosts-test\n127.0.0.12 qxnet-hosts-test\n" << std::flush;
    bool ready = false;
    m_host->Run([&] {
        // Mount and host-name namespaces are per thread, and this thread ends with the call.
        ready = unshare(CLONE_NEWNS | CLONE_NEWUTS) == 0 &&
                mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
                mount(path, "/etc/hosts", nullptr, MS_BIND, nullptr) == 0 &&
                sethostname("qxnet-hosts-test", 16) == 0;
        if (ready) {
            found = QX::GetLocalAddresses();
        }
    });
    unlink(path);
    ASSERT_TRUE(ready);
    EXPECT_EQ(expected, found);
}

constexpr std::uint32_t PEER = 0x0A4E0102;       // 10.78.1.2, the peer's address
constexpr std::uint32_t BROADCAST = 0x0A4E01FF;  // 10.78.1.255
constexpr std::uint32_t SILENT = 0x0A4E0163;     // 10.78.1.99: nobody

class HostPing : public HostPair {
protected:
    // The peer's link address is resolved once, so that every wait is about ICMP only.
    void SetUp() override { Make("78", "ping -c 1 -W 2 10.78.1.2 >/dev/null"); }

    int PingFromHost(std::uint32_t address, std::uint32_t timeoutMs) {
        int result = -1;
        m_host->Run([&] { result = QX::PingICMP(address, timeoutMs); });
        return result;
    }
    void PeerSysctl(const std::string& name, int value) {
        ASSERT_EQ(0, m_peer->Exec("sysctl -q -w net.ipv4." + name + "=" + std::to_string(value)));
    }
};

// Both echo paths (raw: a new namespace's default); an ICMP error quoting the request ends the
// wait. Then the search, the raw ping, and, as nobody, one trace saying why ping is unavailable.
TEST_F(HostPing, BothPathsTheSearchTheRawPingAndAnUnprivilegedUser) {
    ASSERT_EQ(0, m_peer->Exec("ip addr add 10.78.1.10/24 dev veth1 && "
                              "ip addr add 10.78.1.11/24 dev veth1"));
    PeerSysctl("ip_forward", 1);
    ASSERT_EQ(0, m_host->Exec("ip route add 10.99.0.0/24 via 10.78.1.2"));
    // Long enough that an error waited out cannot pass for one that ended the wait.
    constexpr std::uint32_t TIMEOUT_MS = 20000;
    for (bool datagram : {true, false}) {  // the raw path last, for the unprivileged user
        SCOPED_TRACE(datagram ? "datagram path" : "raw path");
        ASSERT_EQ(0, m_host->Exec(std::string("sysctl -q -w net.ipv4.ping_group_range=\"") +
                                  (datagram ? "0 2147483647" : "1 0") + "\""));
        EXPECT_EQ(0, PingFromHost(PEER, 2000));
        EXPECT_EQ(1, PingFromHost(SILENT, 100));
        for (int ignored : {1, 0}) {
            PeerSysctl("icmp_echo_ignore_broadcasts", ignored);
            EXPECT_EQ(ignored, PingFromHost(BROADCAST, ignored == 1 ? 300 : 2000));
        }
        auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(1, PingFromHost(0x0A630001, TIMEOUT_MS));
        EXPECT_LT(std::chrono::steady_clock::now() - start,
                  std::chrono::milliseconds(TIMEOUT_MS / 2));
    }
    QXTest::TraceCapture capture;
    std::vector<int> results;
    m_host->Run([&] {
        results.push_back(static_cast<int>(QX::GetAvailableAddress(0x0A4E010A, 0x0A4E010C)));
        results.push_back(QX::Ping(QX::SwapAddress(PEER)));  // the raw ping
        results.push_back(QX::Ping(QX::SwapAddress(SILENT)));
        // Raw system calls make this thread alone nobody, without root's capabilities.
        ASSERT_EQ(0, syscall(SYS_setgroups, 0, nullptr));
        ASSERT_EQ(0, syscall(SYS_setresgid, 65534, 65534, 65534));
        ASSERT_EQ(0, syscall(SYS_setresuid, 65534, 65534, 65534));
        results.push_back(QX::PingICMP(PEER, 300));
        results.push_back(QX::PingICMP(PEER, 300));
    });
    constexpr int UNSUPPORTED = static_cast<int>(QX::ResultCode::UnsupportedOperation);
    EXPECT_EQ((std::vector<int>{0x0A4E010C, 0, static_cast<int>(QX::ResultCode::TimedOut),
                                UNSUPPORTED, UNSUPPORTED}),
              results);
    std::wstring reasons;  // the lines that say why, which must be one
    for (const std::wstring& line : capture.Lines()) {
        reasons += line.find(L"Ping is not available") != line.npos ? line : L"";
    }
    EXPECT_EQ(reasons.find(L"Ping is not available"), reasons.rfind(L"Ping is not available"));
    for (const wchar_t* part : {L"net.ipv4.ping_group_range", L"CAP_NET_RAW", L"errno 13"}) {
        EXPECT_NE(std::wstring::npos, reasons.find(part)) << part;
    }
}

}  // namespace
