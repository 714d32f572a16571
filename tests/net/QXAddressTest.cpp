// Addresses, neighbours, interfaces, ping and the search over fakes in the Windows shapes.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "qxnet/common/QXAddress.h"
#include "qxnet/common/QXResult.h"
#include "qxnet/net/QXAddrTable.h"
#include "qxnet/net/QXInterfaceList.h"
#include "qxnet/net/QXLocalAddresses.h"
#include "qxnet/net/QXNetTable.h"
#include "qxnet/net/QXPing.h"
#include "qxnet/net/QXReservedAddress.h"
#include "qxnet/platform/QXIcmp.h"
#include "tests/support/QXFakeEcho.h"
#include "tests/support/QXFakeNetInfo.h"
#include "tests/support/QXTraceCapture.h"

namespace {

using QXTest::FakeNetInfo;

constexpr int INVALID = static_cast<int>(QX::ResultCode::InvalidArgument);
constexpr int TIMED_OUT = static_cast<int>(QX::ResultCode::TimedOut);
constexpr int UNEXPECTED = static_cast<int>(QX::ResultCode::Unexpected);
constexpr int UNSUPPORTED = static_cast<int>(QX::ResultCode::UnsupportedOperation);
const std::uint32_t HOST = FakeNetInfo::Net(192, 168, 1, 10);
const std::uint32_t MASK8 = FakeNetInfo::Net(255, 0, 0, 0);
const std::uint32_t MASK24 = FakeNetInfo::Net(255, 255, 255, 0);
const std::uint32_t WIDE = FakeNetInfo::Net(172, 16, 0, 1);  // a /16
const std::uint32_t SINGLE = FakeNetInfo::Net(10, 0, 0, 1);  // an all-ones mask

MIB_IPADDRROW Row(std::uint32_t address, std::uint32_t mask) {
    return MIB_IPADDRROW{address, 0, mask, 0, 65535, 0, 0};
}

std::string Open(QX::InterfaceList& list, int expected = 0) {
    testing::internal::CaptureStdout();
    EXPECT_EQ(expected, list.Open());
    return testing::internal::GetCapturedStdout();
}

// One host with five addresses; Wi-Fi's record is beyond the 20 the list asks for.
class Host : public testing::Test {
protected:
    void SetUp() override {
        const std::uint32_t loopback = FakeNetInfo::Net(127, 0, 0, 1);
        const std::uint32_t mask16 = FakeNetInfo::Net(255, 255, 0, 0);
        fake.addrRows = {Row(loopback, MASK8), Row(HOST, MASK24),
                         Row(FakeNetInfo::Net(127, 0, 0, 2), MASK8), Row(SINGLE, 0xFFFFFFFF),
                         Row(WIDE, mask16)};
        fake.AddRecord(SINGLE, 0, 0xFFFFFFFF);
        fake.AddRecord(loopback, FakeNetInfo::Net(127, 255, 255, 255), MASK8);
        fake.AddRecord(HOST, FakeNetInfo::Net(192, 168, 1, 255), MASK24);
        fake.AddRecord(WIDE, FakeNetInfo::Net(172, 16, 255, 255), mask16);
        for (int i = 0; i < 17; ++i) {  // the 21st record, Wi-Fi's, is beyond the 20
            fake.AddRecord(FakeNetInfo::Net(10, 1, 2, i == 16 ? 4 : 3), 0, MASK8);
        }
        fake.adapters = {{L"Ethernet", L"Fast NIC", {{2, HOST}}},
                         {L"Loopback", L"Software Loopback", {{2, loopback}}},
                         {L"Wi-Fi", L"Radio", {{2, FakeNetInfo::Net(10, 1, 2, 4)}}},
                         {L"R\u00e9seau \u4e00", L"Tunnel", {{23, HOST}}},
                         {L"vpn", L"", {{2, SINGLE}, {2, WIDE}}}};
    }
    FakeNetInfo fake;
};

// The exported record takes a range, both ends included, all rows when one end is 0; delete[].
TEST_F(Host, AddressTableExportedRecordAndFetchFailures) {
    std::unique_ptr<QX::CAddrTable> table(QX::CAddrTable::GetLocalAddresses());
    ASSERT_NE(nullptr, table);
    EXPECT_EQ(std::make_tuple(4, HOST, 0xC0A8010Au, 0xFFFFFF00u, 0x7F000002u, 0u, 0u, 2, false),
              std::make_tuple(QX::CAddrTable(*table).GetSize(), table->GetAddress(0, false),
                              table->GetAddress(0, true), table->GetMask(0, true),
                              table->GetAddress(1, true), table->GetAddress(4, false),
                              table->GetMask(-1, false), fake.addrCalls, fake.sortAsked));
    const struct {
        std::uint32_t low, high;
        std::vector<std::uint32_t> rows;
    } cases[] = {
        {0xC0A80100, 0xC0A801FF, {HOST}},
        {0xC0A8010A, 0xC0A8010A, {HOST}},
        {0xC0A80100, 0, {HOST, FakeNetInfo::Net(127, 0, 0, 2), SINGLE, WIDE}},
        {0xAC110000, 0xAC1100FF, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << c.low << "-" << c.high);
        MIB_IPADDRTABLE* record = reinterpret_cast<MIB_IPADDRTABLE*>(1);
        ASSERT_EQ(static_cast<int>(c.rows.size()), GetLocalAddrTable(&record, c.low, c.high));
        for (std::size_t i = 0; i < c.rows.size(); ++i) {
            EXPECT_EQ(c.rows[i], record->table[i].dwAddr);
            EXPECT_EQ(65535u, record->table[i].dwReasmSize);
        }
        EXPECT_EQ(c.rows.empty(), record == nullptr);
        delete[] reinterpret_cast<unsigned char*>(record);
    }
    // A table that grows between the size query and the fetch, or cannot be read, makes no
    // table; a failed lookup of the host name gives no addresses and says so.
    fake.resolves = false;
    QXTest::TraceCapture capture;
    EXPECT_TRUE(QX::GetLocalAddresses().empty());
    EXPECT_TRUE(capture.Contains(L"gethostbyname() failed"));
    fake.netRows = {MIB_IPNETROW{}};
    for (bool grows : {true, false}) {
        SCOPED_TRACE(grows);
        fake.addrCalls = fake.netCalls = 0;
        fake.addrGrowth = fake.netGrowth = grows ? 1 : 0;
        fake.addrTableAnswer = fake.netTableAnswer =
            grows ? QX::NetInfoError::Success : QX::NetInfoError::NotSupported;
        EXPECT_EQ(nullptr, QX::CAddrTable::GetLocalAddresses());
        EXPECT_EQ(nullptr, QX::CNetTable::GetLocalNetAddresses());
        fake.addrCalls = 0;
        MIB_IPADDRTABLE* record = reinterpret_cast<MIB_IPADDRTABLE*>(1);
        EXPECT_EQ(0, GetLocalAddrTable(&record, 0, 0));
        EXPECT_EQ(nullptr, record);
    }
}

// Masks rule (all-ones as a /24), reserved addresses refused, alike in table, record and list.
TEST_F(Host, SubnetTestOfTheTableTheRecordAndTheList) {
    std::unique_ptr<QX::CAddrTable> table(QX::CAddrTable::GetLocalAddresses());
    ASSERT_NE(nullptr, table);
    MIB_IPADDRTABLE* record = nullptr;
    ASSERT_EQ(4, GetLocalAddrTable(&record, 0, 0));
    QX::InterfaceList list;
    Open(list);
    const std::pair<std::uint32_t, int> cases[] = {
        {0xC0A80114, 0}, {0xAC10FF01, 0}, {0x0A00004D, 0},       {0x0A00014D, 1},
        {0xC0A80205, 1}, {0xAC110001, 1}, {0xC0A80100, INVALID}, {0xC6120001, INVALID},
    };
    for (const auto& [address, expected] : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << address);
        EXPECT_EQ(expected, table->IsValidAddress(address, false));
        EXPECT_EQ(expected, table->IsValidAddress(QX::SwapAddress(address), true));
        EXPECT_EQ(expected, ValidateIP(address, record));
        EXPECT_EQ(expected, list.IsValidAddress(address, false));
        EXPECT_EQ(expected == INVALID ? INVALID : 0, ValidateIP(address, nullptr));
        EXPECT_EQ(expected == INVALID ? INVALID : 1,
                  QX::InterfaceList().IsValidAddress(address, false));
    }
    // One entry of the list (3 is none): Ethernet's, then vpn's all-ones mask.
    EXPECT_EQ(
        (std::vector<int>{0, INVALID, INVALID, 0, 1}),
        (std::vector<int>{
            list.IsValidAddress(0, 0xC0A80105u, false), list.IsValidAddress(0, 0xC0A801FFu, false),
            list.IsValidAddress(3, 0xC0A80105u, false), list.IsValidAddress(1, 0x0A00004Du, false),
            list.IsValidAddress(1, 0x0A00014Du, false)}));
    QXTest::TraceCapture capture;
    EXPECT_EQ(0, table->IsValidAddress(0xC0A80114u, false));
    EXPECT_EQ(0, list.IsValidAddress(0x0501A8C0u, true));
    EXPECT_TRUE(capture.Contains(L"Validating IP: 192.168.1.20 (swap 0)"));
    EXPECT_TRUE(capture.Contains(L"Validating IP: 5.1.168.192 (swap 1)"));
    EXPECT_TRUE(capture.Contains(L"LocalIP: 192.168.1.10"));
    record->dwNumEntries = 0;
    EXPECT_EQ(1, ValidateIP(0xC0A80114, record));
    FreeLocalAddrTable(record);
    fake.addrRows.clear();
    std::unique_ptr<QX::CAddrTable> empty(QX::CAddrTable::GetLocalAddresses());
    ASSERT_NE(nullptr, empty);
    EXPECT_EQ(1, empty->IsValidAddress(0xC0A80114u, false));
}

// Last octet 0 or 255, five one-/24 blocks, and multicast and above up to 247.
TEST(ReservedAddress, ScreenedAddressesAndTheirNeighbours) {
    const std::pair<std::uint32_t, bool> cases[] = {
        {0xC0A80100, true},  {0xC0A801FF, true},  {0xC0A80101, false}, {0xC0A801FE, false},
        {0x00000001, true},  {0x000001FE, false}, {0x7F0000FE, true},  {0x7F000101, false},
        {0x7EFFFF01, false}, {0xC0000201, true},  {0xC0000101, false}, {0xC0000301, false},
        {0xC05863FE, true},  {0xC0586201, false}, {0xC0586401, false}, {0xC6120001, true},
        {0xC6130001, false}, {0xC611FF01, false}, {0x7F010203, false}, {0xDFFFFFFE, false},
        {0xE0000001, true},  {0xEFFFFFFA, true},  {0xF7FFFFFE, true},  {0xF8000001, false},
    };
    for (const auto& [address, reserved] : cases) {
        EXPECT_EQ(reserved, QX::IsReservedAddress(address)) << std::hex << address;
    }
    EXPECT_EQ(0xFFFF0000u, QX::TestMask(0x0000FFFFu));
    EXPECT_EQ(0u, QX::TestMask(0u));
}

// Listed in the adapters' order: addresses with a record, not loopback's; reopened, they double.
TEST_F(Host, InterfaceListOpensWhatHasARecordButNotLoopbackAndFailures) {
    QX::InterfaceList opened;
    EXPECT_EQ(
        "Friendly Name: Ethernet\nDescription: Fast NIC\n"
        "Friendly Name: Loopback\nDescription: Software Loopback\n"
        "Friendly Name: Wi-Fi\nDescription: Radio\n"
        "Friendly Name: R\xc3\xa9seau \xe4\xb8\x80\nDescription: Tunnel\n"
        "Friendly Name: vpn\nDescription: \n",
        Open(opened));
    // The buffers offered to the platform: 20 records of 76 bytes, 32000 bytes of adapters.
    EXPECT_EQ(1520u, fake.offeredInterfaceBytes);
    EXPECT_EQ(32000u, fake.offeredAdapterBytes);
    const QX::InterfaceList list(opened);
    EXPECT_EQ(std::make_tuple(3, 0x0A01A8C0u, 0xC0A8010Au, 0xFFFFFF00u, 0x00FFFFFFu, 0xC0A801FFu,
                              std::wstring(L"Ethernet"), std::wstring(L"Fast NIC"),
                              std::wstring(L"vpn"), 0xAC100001u),
              std::make_tuple(list.GetSize(), list.GetAddress(0, false), list.GetAddress(0, true),
                              list.GetMask(0, true), list.GetMask(0, false),
                              list.GetBroadcast(0, true), list.GetName(0), list.GetDescription(0),
                              list.GetName(1), list.GetAddress(2, true)));
    Open(opened);
    ASSERT_EQ(6, opened.GetSize());
    EXPECT_EQ(opened.GetAddress(0, false), opened.GetAddress(3, false));
    // Failures leave a list empty, and every getter answers for an absent entry.
    QX::InterfaceList failed;
    fake.interfaceListWorks = false;
    EXPECT_EQ("", Open(failed, UNEXPECTED));
    fake.interfaceListWorks = true;
    fake.adapterBytesNeeded = 32001;
    Open(failed, static_cast<int>(QX::ResultCode::BufferTooSmall));
    fake.adapterBytesNeeded = 0;
    fake.adapterAnswer = QX::NetInfoError::NoData;
    Open(failed, UNEXPECTED);
    EXPECT_EQ(
        std::make_tuple(0, 0u, 0u, 0u, std::wstring(), std::wstring(), INVALID),
        std::make_tuple(failed.GetSize(), failed.GetAddress(0, true), failed.GetMask(3, false),
                        failed.GetBroadcast(1, false), failed.GetName(5), failed.GetDescription(-1),
                        failed.IsValidAddress(0, 0xC0A80105u, false)));
}

// Availability asks three times, waits growing; without the facility every address is free.
TEST(Echo, RequestsAvailabilityAndAMissingFacility) {
    QXTest::FakeEcho script;
    script.answering = {0xC0A8010A};
    EXPECT_EQ(0, QX::PingICMP(0xC0A8010A, 300));
    EXPECT_EQ(
        std::make_tuple(std::vector<std::uint32_t>{HOST}, std::vector<DWORD>{300}, 1, 1),
        std::make_tuple(script.networkAddresses, script.timeouts, script.creates, script.closes));
    EXPECT_EQ(script.binds, script.releases);
    script.timeouts.clear();
    script.silentRequests = 1;
    QXTest::TraceCapture capture;
    EXPECT_FALSE(QX::IsAddrAvailable(0xC0A8010A));
    EXPECT_EQ((std::vector<DWORD>{100, 1500}), script.timeouts);
    script.timeouts.clear();
    EXPECT_TRUE(QX::IsAddrAvailable(0xC0A8010C));
    EXPECT_EQ((std::vector<DWORD>{100, 1500, 1500}), script.timeouts);
    EXPECT_EQ(6, script.closes);
    EXPECT_EQ(capture.Lines(),
              std::vector<std::wstring>{L"QXNET_API IsAddrAvailable(192.168.1.10). IP not "
                                        L"available, responds to ping\n"});
    script.networkAddresses.clear();
    script.creates = script.releases = 0;
    script.available = false;
    script.everyAddressAnswers = true;
    EXPECT_EQ(UNSUPPORTED, QX::PingICMP(0xC0A8010A, 300));
    EXPECT_TRUE(QX::IsAddrAvailable(0xC0A8010A));
    EXPECT_EQ(0xC0A8010Au, QX::GetAvailableAddress(0xC0A8010A, 0xC0A8010C));
    EXPECT_EQ(std::make_tuple(0, 0, true),
              std::make_tuple(script.creates, script.releases, script.networkAddresses.empty()));
}

// The first silent address is taken; no wrap past the last; no end runs past the /24.
TEST(Echo, SearchTakesTheFirstSilentAddress) {
    QXTest::FakeEcho script;
    constexpr std::uint32_t EVERY = 0xFFFFFFFF;
    const struct {
        std::uint32_t answeringBelow;  // the addresses from the start up to this one answer
        std::uint32_t start, end, found;
        std::size_t requests;
        std::vector<std::uint32_t> sent;  // host order; empty: not checked
    } cases[] = {
        {0xC0A8010C, 0xC0A8010A, 0xC0A8010C, 0xC0A8010C, 5, {}},
        {EVERY, 0xC0A8010A, 0xC0A8010C, 0, 3, {0xC0A8010A, 0xC0A8010B, 0xC0A8010C}},
        {EVERY, 0xC0A8010C, 0xC0A8010A, 0, 0, {}},
        {EVERY, 0xFFA8010A, 0, 0, 1, {0xFFA8010A}},
        {EVERY, 0xFFFFFFFE, 0xFFFFFFFF, 0, 2, {0xFFFFFFFE, 0xFFFFFFFF}},
        {0xC0A80205, 0xC0A8010A, 0, 0xC0A80205, 254, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << c.start << "-" << c.end);
        script.networkAddresses.clear();
        script.everyAddressAnswers = c.answeringBelow == EVERY;
        for (std::uint32_t a = c.start; !script.everyAddressAnswers && a < c.answeringBelow; ++a) {
            script.answering.insert(a);
        }
        EXPECT_EQ(c.found, QX::GetAvailableAddress(c.start, c.end));
        ASSERT_EQ(c.requests, script.networkAddresses.size());
        for (std::size_t i = 0; i < c.sent.size(); ++i) {
            EXPECT_EQ(QX::SwapAddress(c.sent[i]), script.networkAddresses[i]);
        }
    }
}

// A raw ICMP socket played from a case in place of the platform's; it records sends and waits.
struct RawCase {
    int openError, sendError, closeError;
    std::vector<int> waits;  // in turn: 1 readable, 0 time-out, -1 failure; then time-outs
    int receiveError, result;
    std::size_t sent;
    const wchar_t* trace;
};

struct RawScript : QX::IcmpBackend {
    explicit RawScript(const RawCase& c) : c(c), previous(QX::IcmpBackend::Set(this)) {}
    ~RawScript() override { QX::IcmpBackend::Set(previous); }
    std::unique_ptr<QX::RawIcmpSocket> CreateRawIcmpSocket() override {
        return std::make_unique<Socket>(*this);
    }

    struct Socket : QX::RawIcmpSocket {
        explicit Socket(RawScript& script) : s(script) {}
        int Open() override { return s.c.openError; }
        int SendTo(const unsigned char* data, int length, std::uint32_t address) override {
            s.sent.emplace_back(data, data + length);
            s.destinations.push_back(address);
            return s.c.sendError;
        }
        int WaitReadable(long seconds, long microseconds, int* error) override {
            s.waitMicroseconds.push_back(seconds * 1000000 + microseconds);
            const std::size_t turn = s.waitMicroseconds.size() - 1;
            const int result = turn < s.c.waits.size() ? s.c.waits[turn] : 0;
            *error = result < 0 ? 10038 : 0;
            return result;
        }
        int ReceiveFrom(unsigned char*, int, std::uint32_t* source, int* error) override {
            *source = 0;
            *error = s.c.receiveError;
            return s.c.receiveError != 0 ? -1 : 28;
        }
        int Close() override { return s.c.closeError; }
        RawScript& s;
    };

    const RawCase& c;
    QX::IcmpBackend* previous;
    std::vector<std::vector<unsigned char>> sent;
    std::vector<std::uint32_t> destinations;
    std::vector<long> waitMicroseconds;
};

// Five fresh requests time out; any datagram answers; a failed wait or socket ends the ping.
TEST(RawPing, FailuresAlongTheWay) {
    const RawCase cases[] = {
        {0, 0, 0, {}, 0, TIMED_OUT, 5, L"Pinging 192.168.1.10"},
        {0, 0, 0, {0, 1}, 10054, 0, 2, L"recvfrom(): WSAError: 10054"},
        {0, 10065, 10038, {}, 0, TIMED_OUT, 5, L"sendto(): WSAError: 10065"},
        {0, 10065, 10038, {}, 0, TIMED_OUT, 5, L"closesocket(): WSAError: 10038"},
        {0, 0, 0, {0, -1}, 0, UNEXPECTED, 2, L"Pinging"},
        {10013, 0, 0, {}, 0, UNEXPECTED, 0, L"socket(): WSAError: 10013"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.trace);
        RawScript raw(c);
        QXTest::TraceCapture capture;
        EXPECT_EQ(c.result, QX::Ping(0x0A01A8C0));
        ASSERT_EQ(c.sent, raw.sent.size());
        EXPECT_EQ(c.sent, raw.waitMicroseconds.size());
        EXPECT_TRUE(capture.Contains(c.trace));
        for (std::size_t attempt = 0; attempt < c.sent; ++attempt) {
            const std::vector<unsigned char>& request = raw.sent[attempt];
            ASSERT_EQ(45u, request.size());
            EXPECT_EQ(std::make_tuple(attempt, std::uint16_t{0}, 0x0A01A8C0u, 200L),
                      std::make_tuple(std::size_t{request[4]},
                                      QX::InternetChecksum(request.data(), request.size()),
                                      raw.destinations[attempt], raw.waitMicroseconds[attempt]));
        }
    }
}

}  // namespace
