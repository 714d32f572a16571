// The mDNS client without a network: records filed directly, or through scripted sockets.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include <boost/make_shared.hpp>

#include "qxnet/common/QXScopedLock.h"
#include "qxnet/mdns/QXMDNSClient.h"
#include "qxnet/platform/QXSocket.h"
#include "qxnet/platform/QXSync.h"
#include "tests/support/QXDnsMessage.h"
#include "tests/support/QXFakeNetInfo.h"
#include "tests/support/QXRefusingSockets.h"
#include "tests/support/QXScriptedSockets.h"
#include "tests/support/QXTraceCapture.h"

using QXSDK::MDNSCameraData;
using QXSDK::MDNSClient;
using QXTest::DnsMessage;
using Bytes = std::vector<std::uint8_t>;

namespace {

constexpr std::uint64_t kMac = 0x0E1F2A00A1B2ull;

// Reaches the client's protected operations and members.
class TestClient : public MDNSClient {
public:
    explicit TestClient(std::uint32_t local = 0x7F000001)
        : MDNSClient(boost::make_shared<QX::CodeLock>(), local) {}
    using MDNSClient::AccumulateResponseData;
    using MDNSClient::GetResponses;
    using MDNSClient::GetResponseTransID;
    using MDNSClient::GetRRsFromResponse;

    std::uint16_t TransId() const { return m_transId; }
    void SetTransId(std::uint16_t id) { m_transId = id; }
    bool DelayThreadPresent() const { return m_hDelayThread != INVALID_HANDLE_VALUE; }
    std::size_t Queued() {
        QX::ScopedLock guard(m_lock);
        return m_sendQueue.size();
    }
    const std::map<std::uint16_t, PendingRecords>& PendingStore() const { return m_pending; }
    // One quiet period's translation; returns (self-announcement, query-response) counts.
    std::pair<std::uint32_t, std::uint32_t> Translate() {
        std::uint32_t self = 9;
        std::uint32_t query = 9;
        EXPECT_TRUE(TranslateResponseData(self, query));
        return {self, query};
    }
};

Bytes CameraMessage(std::uint16_t id, std::uint32_t low24 = 0x00A1B2,
                    std::uint32_t address = 0xC0A8010A) {
    return DnsMessage(id).Camera(low24, address).Bytes();
}

Bytes Query(std::uint16_t id, bool unicast) {
    return DnsMessage(id, 0).Question("_korv._tcp.local", 12, unicast ? 0x8001 : 1).Bytes();
}

}  // namespace

// Records join within one quiet period, by owner and SRV target; a MAC's first TXT owner wins.
TEST(MDNSClientCore, RecordsJoinWithinAQuietPeriod) {
    const std::string text = DnsMessage::CameraText(0x00A1B2);
    const std::string owner = "cam1._korv._tcp.local";
    const std::string host = "korv-QX00A1B2.local";
    const Bytes txt = DnsMessage(7).Txt(owner, text).Bytes();
    const std::vector<std::vector<Bytes>> twoPeriods = {
        {CameraMessage(7, 0x00A1B2, 1)},
        {CameraMessage(7, 0x00A1B2, 2), CameraMessage(7, 0xC3D4, 3)}};
    const Bytes srv = DnsMessage(7).Srv(owner, host).Bytes();
    const Bytes txtSrv = DnsMessage(7).Txt(owner, text).Srv(owner, host).Bytes();
    const Bytes a = DnsMessage(7).A(host, 1).Bytes();
    const Bytes serviceA =
        DnsMessage(7).A("_korv._tcp.local", 2).Txt(owner, text).Srv(owner, host).Bytes();
    const Bytes twoOwners =
        DnsMessage(7)
            .Txt("b._korv._tcp.local", DnsMessage::CameraText(0x00A1B2, "Second"))
            .Srv("b._korv._tcp.local", "hb.local")
            .A("hb.local", 2)
            .Txt("a._korv._tcp.local", DnsMessage::CameraText(0x00A1B2, "First"))
            .Srv("a._korv._tcp.local", "ha.local")
            .A("ha.local", 1)
            .Bytes();
    struct Case {
        const char* what;
        std::uint16_t id;
        std::pair<std::uint32_t, std::uint32_t> counts;  // of the last period
        std::map<std::uint64_t, std::uint32_t> cameras;  // MAC to address, under the ID
        const char* model;
        std::vector<std::vector<Bytes>> periods;  // messages, then a quiet period
    };
    const Case cases[] = {
        {"one response", 7, {0, 1}, {{kMac, 0xC0A8010A}}, "QX2000", {{CameraMessage(7)}}},
        {"self-announcement", 0, {1, 0}, {{kMac, 0xC0A8010A}}, "QX2000", {{CameraMessage(0)}}},
        {"split within one period", 7, {0, 1}, {{kMac, 1}}, "QX2000", {{txt, srv, a}}},
        {"split by a quiet period", 7, {0, 0}, {}, nullptr, {{txtSrv}, {a}}},
        {"service's A, by SRV target", 7, {0, 1}, {{kMac, 2}}, "QX2000", {{serviceA}}},
        {"two TXT owners: first wins", 7, {0, 1}, {{kMac, 1}}, "First", {{twoOwners}}},
        {"later replaces", 7, {0, 2}, {{kMac, 2}, {0x0E1F2A00C3D4ull, 3}}, "QX2000", twoPeriods},
    };
    for (const Case& c : cases) {
        TestClient client;
        std::pair<std::uint32_t, std::uint32_t> counts;
        for (const std::vector<Bytes>& period : c.periods) {
            for (const Bytes& message : period) {
                EXPECT_TRUE(client.AccumulateResponseData(message)) << c.what;
            }
            counts = client.Translate();
        }
        EXPECT_EQ(counts, c.counts) << c.what;
        MDNSClient::CameraMap cameras;
        cameras[1] = MDNSCameraData();  // replaced whole
        EXPECT_EQ(client.GetResponses(c.id, cameras), !c.cameras.empty()) << c.what;
        if (c.cameras.empty()) {
            continue;
        }
        ASSERT_EQ(cameras.size(), c.cameras.size()) << c.what;
        for (const auto& [mac, address] : c.cameras) {
            EXPECT_EQ(cameras.at(mac).m_ip, address) << c.what;
        }
        const MDNSCameraData& camera = cameras.at(kMac);
        EXPECT_EQ(std::tie(camera.m_valid, camera.m_model, camera.m_fwMinor),
                  std::make_tuple(true, std::string(c.model), 14))
            << c.what;
        EXPECT_FALSE(client.GetResponses(c.id, cameras)) << c.what;  // taken
    }
}

// Responses without error or questions are read, every whole record; other types are skipped.
TEST(MDNSClientCore, WhichRecordsAreRead) {
    TestClient client;
    const std::vector<Bytes> rejected = {
        DnsMessage(7, 0x0000).A("a.local", 1).Bytes(),  // a query
        DnsMessage(7, 0x8403).A("a.local", 1).Bytes(),  // an error code
        DnsMessage(7).Question("a.local", 1, 1).A("a.local", 1).Bytes(),
        Bytes{0, 7, 0x84, 0, 0, 0, 0, 1},  // shorter than a header
        Bytes{},
    };
    for (const Bytes& message : rejected) {
        std::vector<QXSDK::DNSResourceRecord> records;
        EXPECT_FALSE(client.GetRRsFromResponse(message, records));
        EXPECT_TRUE(records.empty());
        EXPECT_FALSE(client.AccumulateResponseData(message));
    }
    EXPECT_TRUE(client.PendingStore().empty());
    EXPECT_EQ(client.GetResponseTransID(Bytes{0x12}), 0);

    Bytes whole = DnsMessage(7).A("a.local", 1).A("b.local", 2).Bytes();
    whole[7] = 0;  // ANCOUNT 0
    for (std::size_t cut = 12; cut <= whole.size(); ++cut) {
        const Bytes message(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(cut));
        std::vector<QXSDK::DNSResourceRecord> records;
        EXPECT_TRUE(client.GetRRsFromResponse(message, records));
        EXPECT_EQ(records.size(), cut == whole.size() ? 2u : cut >= 12 + 23 ? 1u : 0u) << cut;
        if (!records.empty()) {
            EXPECT_EQ(records[0].m_name.ToString(), "a.local");
            EXPECT_EQ(records[0].m_rdata, (Bytes{0, 0, 0, 1}));
        }
    }

    // Owners pointing at a run of 2000 labels: the faulty records write a few trace lines.
    for (const std::uint16_t type : {std::uint16_t{33}, std::uint16_t{99}}) {
        QXTest::TraceCapture capture;
        EXPECT_TRUE(TestClient().AccumulateResponseData(QXTest::CompressionBomb(2000, type)));
        const std::vector<std::wstring> lines = capture.Lines();
        EXPECT_LE(lines.size(), 5u) << type;
        const std::wstring last = lines.empty() ? L"" : lines.back();
        EXPECT_TRUE(type != 99 || last.find(L"lines of this message left out") != last.npos);
    }
    QXTest::TraceCapture capture;
    EXPECT_TRUE(client.AccumulateResponseData(
        DnsMessage(7).Camera(0x00A1B2, 0xC0A8010A).Record("x.local", 28, Bytes(16, 0)).Bytes()));
    EXPECT_TRUE(capture.Contains(L"MDNSClient::AddResponseToMap: Unknown type encountered!"));
    EXPECT_EQ(client.Translate(), std::make_pair(0u, 1u));
}

// Scripted sockets that record binds, joins and closes; an empty wait sleeps, so nothing spins.
class FakeBackend : public QXTest::RefusingSockets {
public:
    explicit FakeBackend(QX::ScriptedSocketBackend& script)
        : RefusingSockets({}, script), script(script) {}
    bool Close(QX::SocketHandle socket) override {
        ++closes;
        return RefusingSockets::Close(socket);
    }
    bool Bind(QX::SocketHandle socket, const QX::SocketAddressV4& local) override {
        bound = local;
        return RefusingSockets::Bind(socket, local);
    }
    bool JoinGroup(QX::SocketHandle socket, std::uint32_t group, std::uint32_t iface) override {
        joinedGroup = group;
        joinedInterface = iface;
        return !failJoin && RefusingSockets::JoinGroup(socket, group, iface);
    }
    bool SetMulticastInterface(QX::SocketHandle socket, std::uint32_t iface) override {
        multicastInterface = iface;
        return RefusingSockets::SetMulticastInterface(socket, iface);
    }
    QX::SocketWait WaitReadable(QX::SocketHandle socket, std::uint32_t timeoutUs) override {
        if (script.Pending() == 0) {
            QX::SleepMs(std::min<std::uint32_t>(timeoutUs / 1000, 20));
        }
        return RefusingSockets::WaitReadable(socket, timeoutUs);
    }
    bool ReceiveFrom(QX::SocketHandle socket, void* buffer, int capacity,
                     QX::ReceivedDatagram* received) override {
        const bool ok = RefusingSockets::ReceiveFrom(socket, buffer, capacity, received);
        received->interfaceIndex = arrivalInterface;
        return ok;
    }
    void Push(const Bytes& datagram) { script.Push(datagram, QX::SocketAddressV4{}); }
    std::vector<Bytes> Sent() const {
        std::vector<Bytes> sent;
        for (const QX::ScriptedSocketBackend::Datagram& datagram : script.Sent()) {
            sent.push_back(datagram.bytes);
        }
        return sent;
    }

    QX::ScriptedSocketBackend& script;
    QX::SocketAddressV4 bound{};
    std::atomic<bool> failJoin{false};
    std::atomic<int> closes{0};
    std::atomic<std::uint32_t> arrivalInterface{0};
    std::uint32_t joinedGroup = 0, joinedInterface = 0, multicastInterface = 0;
};

class MDNSClientFake : public ::testing::Test {
protected:
    // A MAC query that the camera answers at once.
    void ExpectAnswered(TestClient& client) {
        m_backend.Push(CameraMessage(client.TransId()));
        std::uint64_t mac = 0;
        std::uint32_t ip = 0;
        EXPECT_TRUE(client.QueryKorvaneMAC(kMac, mac, ip));
        EXPECT_EQ(std::make_pair(mac, ip), std::make_pair(kMac, 0xC0A8010Au));
    }

    QX::ScriptedSocketBackend m_script;
    FakeBackend m_backend{m_script};
};

// Announcements from other interfaces are ignored; IDs wrap to 1; answered ID 9 repeats unicast.
TEST_F(MDNSClientFake, OpenJoinsAndTheSocketThreadServesQueries) {
    TestClient client;
    ASSERT_TRUE(client.Open());
    EXPECT_EQ(std::make_tuple(m_backend.bound.address, m_backend.bound.port, m_backend.joinedGroup),
              std::make_tuple(0u, QX::HostToNetwork16(5353), QX::HostToNetwork32(0xE00000FB)));

    const HANDLE announced = QX::EventCreate(true, false);
    client.RegisterSelfAnnounceEvent(announced);
    m_backend.arrivalInterface = 0x7FFF;  // no interface of the host has this index
    m_backend.Push(CameraMessage(0));
    EXPECT_EQ(QX::WaitForHandle(announced, 600), WAIT_TIMEOUT);
    m_backend.arrivalInterface = 0;
    m_backend.Push(CameraMessage(0, 0x00C3D4));
    ASSERT_EQ(QX::WaitForHandle(announced, 5000), WAIT_OBJECT_0);
    MDNSClient::CameraMap cameras;
    ASSERT_TRUE(client.GetSelfAnnounceResponses(cameras));
    ASSERT_EQ(cameras.size(), 1u);
    EXPECT_EQ(cameras.count(0x0E1F2A00C3D4ull), 1u);
    client.RegisterSelfAnnounceEvent(INVALID_HANDLE_VALUE);
    QX::HandleClose(announced);

    ExpectAnswered(client);
    QXTest::TraceCapture capture;
    EXPECT_FALSE(client.QueryKorvaneCams(true, cameras));
    EXPECT_TRUE(
        capture.Contains(L"MDNSClient::QueryHost(): No response for submitted query! "
                         L"m_hEventQueryResponseReceived unsignaled."));
    EXPECT_EQ(std::make_pair(m_script.Sent()[1].peer.address, m_script.Sent()[1].peer.port),
              std::make_pair(QX::HostToNetwork32(0xE00000FB), QX::HostToNetwork16(5353)));

    client.SetTransId(65535);
    EXPECT_FALSE(client.QueryKorvaneCams(false, cameras));
    m_backend.Push(CameraMessage(2));
    EXPECT_TRUE(client.QueryKorvaneCamsUniMulti(cameras));
    client.SetTransId(9);
    m_backend.Push(CameraMessage(9));
    EXPECT_TRUE(client.QueryKorvaneCamsUniMulti(cameras));
    EXPECT_EQ(cameras.size(), 1u);
    EXPECT_TRUE(client.DelayThreadPresent());
    EXPECT_FALSE(client.QueryKorvaneCamsUniMulti(cameras));  // unanswered
    EXPECT_FALSE(client.DelayThreadPresent());
    EXPECT_EQ(
        m_backend.Sent(),
        (std::vector<Bytes>{DnsMessage(1, 0).Question("korv-QX00A1B2.local", 1, 1).Bytes(),
                            Query(2, true), Query(65535, true), Query(1, true), Query(2, false),
                            Query(9, false), Query(8, true), Query(10, false)}));
}

// Unsent queries stay queued in order; Close closes once; a MAC answered twice takes neither.
TEST_F(MDNSClientFake, QueriesStayQueuedUntilSent) {
    {
        QXTest::TraceCapture capture;
        TestClient client;
        MDNSClient::CameraMap cameras;
        EXPECT_FALSE(client.QueryKorvaneCams(false, cameras));  // not open: ends after the wait
        ASSERT_TRUE(client.Open());
        m_script.FailSend(QX::SocketError::NetworkUnreachable);
        EXPECT_FALSE(client.QueryKorvaneCams(false, cameras));
        EXPECT_EQ(client.Queued(), 2u);
        EXPECT_TRUE(capture.Contains(L"MDNSClient::SendQueries: Error 1! sendto() failed!"));
        m_script.FailSend(0);
        EXPECT_TRUE(client.Close());
        EXPECT_TRUE(client.Close());
        EXPECT_EQ(m_backend.closes, 1);
        ASSERT_TRUE(client.Open());
        EXPECT_FALSE(client.QueryKorvaneCams(false, cameras));
        EXPECT_EQ(client.Queued(), 0u);
        EXPECT_EQ(m_backend.Sent(),
                  (std::vector<Bytes>{Query(1, true), Query(2, true), Query(3, true)}));
        std::uint64_t mac = 7;
        std::uint32_t ip = 0;
        m_backend.Push(DnsMessage(4).Camera(0x00A1B2, 5).Camera(0x00C3D4, 6).Bytes());
        EXPECT_FALSE(client.QueryKorvaneMAC(kMac, mac, ip));  // two cameras: neither is taken
        EXPECT_EQ(mac, 7u);
        m_backend.Push(CameraMessage(3));
    }
    EXPECT_EQ(m_backend.closes, 2);
}

// Open joins the interface listing the address, loopback for 127/8 (Debian's host name is there).
TEST_F(MDNSClientFake, OpenTakesTheInterfaceThatHoldsTheAddress) {
    using QXTest::FakeNetInfo;
    FakeNetInfo netInfo;
    const std::vector<MIB_IPADDRROW> rows = {
        MIB_IPADDRROW{FakeNetInfo::Net(192, 0, 2, 2), 2, 0, 0, 0, 0, 0},
        MIB_IPADDRROW{FakeNetInfo::Net(127, 0, 0, 1), 1, 0, 0, 0, 0, 0}};
    const auto listLater = [&](bool on) {
        netInfo.addrRows = rows;
        if (!on) {
            netInfo.addrRows.push_back({FakeNetInfo::Net(198, 51, 100, 1), 3, 0, 0, 0, 0, 0});
        }
    };
    netInfo.addrRows = rows;
    struct Case {
        const char* what;
        // Host order: the constructor's address (0: the host name's), the host name's, the joined.
        std::uint32_t given, resolved, joinedOn;
        std::function<void(bool)> fault;
    };
    const Case cases[] = {
        {"host name on 127.0.1.1", 0, 0x7F000101, 0x7F000001, nullptr},
        {"127.0.0.2 given", 0x7F000002, 0, 0x7F000001, nullptr},
        {"listed address given", 0xC0000202, 0, 0xC0000202, nullptr},
        {"no socket", 0x7F000001, 0, 0x7F000001,
         [&](bool on) { m_script.FailCreate(on ? QX::SocketError::TooManyOpen : 0); }},
        {"bind", 0x7F000001, 0, 0x7F000001,
         [&](bool on) { m_script.FailBind(on ? QX::SocketError::AddressInUse : 0); }},
        {"join", 0x7F000001, 0, 0x7F000001, [&](bool on) { m_backend.failJoin = on; }},
        {"host name unresolved", 0, 0x7F000001, 0x7F000001,
         [&](bool on) { netInfo.resolves = !on; }},
        {"unlisted address given", 0xC6336401, 0, 0xC6336401, listLater},
        {"host name on an unlisted address", 0, 0xC6336401, 0xC6336401, listLater},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        netInfo.resolved = {QX::HostToNetwork32(c.resolved)};
        TestClient client(c.given);
        if (c.fault) {
            c.fault(true);
            EXPECT_FALSE(client.Open());
            EXPECT_EQ(m_script.OpenSockets(), 0u);
            EXPECT_EQ(client.GetAddr(), c.given);  // chosen again by the next Open
            c.fault(false);
        }
        m_backend.joinedInterface = 0;
        ASSERT_TRUE(client.Open());
        EXPECT_EQ(m_backend.joinedInterface, QX::HostToNetwork32(c.joinedOn));
        EXPECT_EQ(m_backend.multicastInterface, QX::HostToNetwork32(c.joinedOn));
        EXPECT_EQ(client.GetAddr(), c.given != 0 ? c.given : c.resolved);
        ExpectAnswered(client);
    }
}

// A copy never uses its source's handles; steps: s(ource) or c(opy), then C(lose), D(estroy),
// Q(uery). Cases: assigned, steps.
TEST_F(MDNSClientFake, CopiesNeverUseTheirSourcesHandles) {
    const std::pair<bool, std::string> cases[] = {{false, "sC cQ cC sD"},
                                                  {true, "sD cQ cC cD"},
                                                  {false, "cC sQ cQ sC"},
                                                  {true, "cD sQ sC sD"},
                                                  {false, "cQ sQ cD sD"}};
    for (const auto& [assigned, steps] : cases) {
        SCOPED_TRACE(steps);
        const int closes = m_backend.closes;
        auto source = std::make_unique<TestClient>();
        ASSERT_TRUE(source->Open());
        auto copy = std::make_unique<TestClient>();
        if (assigned) {
            *copy = *source;
        } else {
            copy = std::make_unique<TestClient>(*source);
        }
        EXPECT_EQ(copy->GetAddr(), 0x7F000001u);
        for (std::size_t i = 0; i < steps.size(); i += 3) {
            std::unique_ptr<TestClient>& client = steps[i] == 'c' ? copy : source;
            QXTest::TraceCapture capture;
            MDNSClient::CameraMap cameras;
            if (steps[i + 1] == 'C') {
                EXPECT_TRUE(client->Close());
            } else if (steps[i + 1] == 'D') {
                client.reset();
            } else if (steps[i] == 'c') {
                EXPECT_FALSE(copy->QueryKorvaneCams(false, cameras));
                EXPECT_TRUE(capture.Contains(L"No response for submitted query"));
            } else {
                ExpectAnswered(*source);
            }
        }
        source.reset();
        copy.reset();
        EXPECT_EQ(m_backend.closes - closes, 1);
    }
}

// A client given no address opens on the host name's first (scripts/windows.sh gives it).
TEST_F(MDNSClientFake, DefaultAddressIsTheHostNamesFirst) {
    const char* expected = std::getenv("QXNET_HOST_NAME_ADDRESS");
    if (expected == nullptr || *expected == '\0') {
        GTEST_SKIP() << "QXNET_HOST_NAME_ADDRESS (the host name's first IPv4 address) not set";
    }
    unsigned o[4] = {};
    ASSERT_EQ(std::sscanf(expected, "%u.%u.%u.%u", &o[0], &o[1], &o[2], &o[3]), 4);
    ASSERT_EQ(QX::SocketLayerStart(), 0);
    TestClient client(0);
    EXPECT_TRUE(client.Open());
    EXPECT_EQ(client.GetAddr(), (o[0] << 24) | (o[1] << 16) | (o[2] << 8) | o[3]) << expected;
    client.Close();
    QX::SocketLayerEnd();
}
