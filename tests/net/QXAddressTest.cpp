// The host's addresses, neighbours and interfaces as the library reads them from the platform's
// network information, here a fake that answers in the Windows shapes.
#include <gtest/gtest.h>

#include <memory>

#include "qxnet/common/QXAddress.h"
#include "qxnet/common/QXResult.h"
#include "qxnet/net/QXAddrTable.h"
#include "qxnet/net/QXInterfaceList.h"
#include "qxnet/net/QXLocalAddresses.h"
#include "qxnet/net/QXNetTable.h"
#include "qxnet/net/QXReservedAddress.h"
#include "tests/support/QXFakeNetInfo.h"
#include "tests/support/QXTraceCapture.h"

namespace {

using QXTest::FakeNetInfo;

constexpr int INVALID = static_cast<int>(QX::ResultCode::InvalidArgument);
const std::uint32_t HOST = FakeNetInfo::Net(192, 168, 1, 10);
const std::uint32_t MASK8 = FakeNetInfo::Net(255, 0, 0, 0);
const std::uint32_t MASK24 = FakeNetInfo::Net(255, 255, 255, 0);
const std::uint32_t WIDE = FakeNetInfo::Net(172, 16, 0, 1);  // a /16
const std::uint32_t SINGLE = FakeNetInfo::Net(10, 0, 0, 1);  // an all-ones mask

MIB_IPADDRROW Row(std::uint32_t address, std::uint32_t mask) {
    MIB_IPADDRROW row{};
    row.dwAddr = address;
    row.dwMask = mask;
    row.dwReasmSize = 65535;
    return row;
}

// Opens the list with its printed adapter lines captured; returns them.
std::string Open(QX::InterfaceList& list, int expected = 0) {
    testing::internal::CaptureStdout();
    EXPECT_EQ(expected, list.Open());
    return testing::internal::GetCapturedStdout();
}

// One host as the address table and as the interface list see it: loopback, 192.168.1.10/24,
// 127.0.0.2/8 (no loopback), 10.0.0.1/32 and 172.16.0.1/16. Adapters: Ethernet, loopback, one
// whose record is beyond the 20 the list asks for, one with an IPv6 address, then the rest.
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

// The table drops the loopback row, in two unsorted steps; the exported record also takes a
// range of addresses, both ends included, every row when one end is 0, and can be released with
// the plain array delete.
TEST_F(Host, AddressTableAndExportedRecord) {
    std::unique_ptr<QX::CAddrTable> table(QX::CAddrTable::GetLocalAddresses());
    ASSERT_NE(nullptr, table);
    ASSERT_EQ(4, QX::CAddrTable(*table).GetSize());
    EXPECT_EQ(HOST, table->GetAddress(0, false));
    EXPECT_EQ(0xC0A8010Au, table->GetAddress(0, true));
    EXPECT_EQ(0xFFFFFF00u, table->GetMask(0, true));
    EXPECT_EQ(0x7F000002u, table->GetAddress(1, true));
    EXPECT_EQ(0u, table->GetAddress(4, false));
    EXPECT_EQ(0u, table->GetMask(-1, false));
    EXPECT_EQ(2, fake.addrCalls);
    EXPECT_FALSE(fake.sortAsked);
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
}

// The subnet test follows the masks, an all-ones mask tested as a /24, and refuses reserved
// addresses; the table, the exported record and the interface list agree. No record: every
// address but a reserved one passes; an empty one: none does.
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
        EXPECT_EQ(expected, list.IsValidAddress(QX::SwapAddress(address), true));
        EXPECT_EQ(expected == INVALID ? INVALID : 0, ValidateIP(address, nullptr));
        EXPECT_EQ(expected == INVALID ? INVALID : 1,
                  QX::InterfaceList().IsValidAddress(address, false));
    }
    // One entry of the list (3 is none): Ethernet's, then vpn's all-ones mask.
    EXPECT_EQ(0, list.IsValidAddress(0, 0xC0A80105u, false));
    EXPECT_EQ(INVALID, list.IsValidAddress(0, 0xC0A801FFu, false));
    EXPECT_EQ(INVALID, list.IsValidAddress(3, 0xC0A80105u, false));
    EXPECT_EQ(0, list.IsValidAddress(1, 0x0A00004Du, false));
    EXPECT_EQ(1, list.IsValidAddress(1, 0x0A00014Du, false));
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

// A table that grows between the size query and the fetch, or cannot be read, makes no table; a
// failed lookup of the host name gives no addresses and says so.
TEST_F(Host, FetchFailuresMakeNoTable) {
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

// Every adapter is printed; listed in the adapters' order are the addresses with a record, but
// not loopback's. The copy of a list stands on its own; opened again, the entries double.
TEST_F(Host, InterfaceListOpensWhatHasARecordButNotLoopback) {
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
    ASSERT_EQ(3, list.GetSize());
    EXPECT_EQ(0x0A01A8C0u, list.GetAddress(0, false));
    EXPECT_EQ(0xC0A8010Au, list.GetAddress(0, true));
    EXPECT_EQ(0xFFFFFF00u, list.GetMask(0, true));
    EXPECT_EQ(0x00FFFFFFu, list.GetMask(0, false));
    EXPECT_EQ(0xC0A801FFu, list.GetBroadcast(0, true));
    EXPECT_EQ(L"Ethernet", list.GetName(0));
    EXPECT_EQ(L"Fast NIC", list.GetDescription(0));
    EXPECT_EQ(L"vpn", list.GetName(1));
    EXPECT_EQ(0xAC100001u, list.GetAddress(2, true));
    Open(opened);
    ASSERT_EQ(6, opened.GetSize());
    EXPECT_EQ(opened.GetAddress(0, false), opened.GetAddress(3, false));
}

// Failures leave the list empty and every getter answers for an absent entry.
TEST_F(Host, InterfaceListFailuresLeaveItEmpty) {
    QX::InterfaceList failed;
    fake.interfaceListWorks = false;
    EXPECT_EQ("", Open(failed, static_cast<int>(QX::ResultCode::Unexpected)));
    fake.interfaceListWorks = true;
    fake.adapterBytesNeeded = 32001;
    Open(failed, static_cast<int>(QX::ResultCode::BufferTooSmall));
    fake.adapterBytesNeeded = 0;
    fake.adapterAnswer = QX::NetInfoError::NoData;
    Open(failed, static_cast<int>(QX::ResultCode::Unexpected));
    EXPECT_EQ(0, failed.GetSize());
    EXPECT_EQ(0u, failed.GetAddress(0, true));
    EXPECT_EQ(0u, failed.GetMask(3, false));
    EXPECT_EQ(0u, failed.GetBroadcast(1, false));
    EXPECT_EQ(L"", failed.GetName(5));
    EXPECT_EQ(L"", failed.GetDescription(-1));
    EXPECT_EQ(1, failed.IsValidAddress(0xC0A80105u, false));
    EXPECT_EQ(INVALID, failed.IsValidAddress(0, 0xC0A80105u, false));
}

}  // namespace
