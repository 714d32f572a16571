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

// Loopback rows are dropped (127.0.0.2 is no loopback) and the subnet test follows the masks, an
// all-ones mask tested as a /24.
TEST(AddrTable, LoopbackRowIsDroppedAndTheSubnetTestFollowsTheMasks) {
    FakeNetInfo fake;
    fake.addrRows = {Row(FakeNetInfo::Net(127, 0, 0, 1), MASK8), Row(HOST, MASK24),
                     Row(FakeNetInfo::Net(127, 0, 0, 2), MASK8),
                     Row(FakeNetInfo::Net(10, 0, 0, 1), 0xFFFFFFFF)};
    std::unique_ptr<QX::CAddrTable> table(QX::CAddrTable::GetLocalAddresses());
    ASSERT_NE(nullptr, table);
    ASSERT_EQ(3, QX::CAddrTable(*table).GetSize());
    EXPECT_EQ(HOST, table->GetAddress(0, false));
    EXPECT_EQ(0xC0A8010Au, table->GetAddress(0, true));
    EXPECT_EQ(0xFFFFFF00u, table->GetMask(0, true));
    EXPECT_EQ(0x7F000002u, table->GetAddress(1, true));
    EXPECT_EQ(0u, table->GetAddress(3, false));
    EXPECT_EQ(0u, table->GetMask(-1, false));
    EXPECT_EQ(2, fake.addrCalls);  // two steps, unsorted
    EXPECT_FALSE(fake.sortAsked);
    QXTest::TraceCapture capture;
    EXPECT_EQ(0, table->IsValidAddress(0xC0A80114u, false));
    EXPECT_TRUE(capture.Contains(L"Validating IP: 192.168.1.20 (swap 0)"));
    EXPECT_TRUE(capture.Contains(L"LocalIP: 192.168.1.10"));
    EXPECT_EQ(0, table->IsValidAddress(0x1401A8C0u, true));
    EXPECT_EQ(0, table->IsValidAddress(0x0A00004Du, false));
    EXPECT_EQ(1, table->IsValidAddress(0x0A00014Du, false));
    EXPECT_EQ(INVALID, table->IsValidAddress(0xC0A80100u, false));
    fake.addrRows.clear();
    std::unique_ptr<QX::CAddrTable> empty(QX::CAddrTable::GetLocalAddresses());
    ASSERT_NE(nullptr, empty);
    EXPECT_EQ(1, empty->IsValidAddress(0xC0A80114u, false));
}

// A table that grows between the size query and the fetch, or cannot be read, makes no table; a
// failed lookup of the host name gives no addresses and says so.
TEST(AddrTable, FetchFailuresMakeNoTable) {
    FakeNetInfo fake;
    fake.resolves = false;
    QXTest::TraceCapture capture;
    EXPECT_TRUE(QX::GetLocalAddresses().empty());
    EXPECT_TRUE(capture.Contains(L"gethostbyname() failed"));
    fake.addrRows = {Row(HOST, MASK24)};
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

TEST(AddrTable, ExportedRecordByRangeAndValidateIP) {
    FakeNetInfo fake;
    const std::uint32_t other = FakeNetInfo::Net(10, 0, 0, 5);
    fake.addrRows = {Row(FakeNetInfo::Net(127, 0, 0, 1), MASK8), Row(HOST, MASK24),
                     Row(other, MASK8)};
    const struct {
        std::uint32_t low, high;
        std::vector<std::uint32_t> rows;
    } cases[] = {
        {0, 0, {HOST, other}},
        {0xC0A80100, 0xC0A801FF, {HOST}},
        {0xC0A8010A, 0xC0A8010A, {HOST}},  // both ends are included
        {0xC0A80100, 0, {HOST, other}},    // one end 0: every row
        {0xAC100000, 0xAC1000FF, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << c.low << "-" << c.high);
        MIB_IPADDRTABLE* record = reinterpret_cast<MIB_IPADDRTABLE*>(1);
        ASSERT_EQ(static_cast<int>(c.rows.size()), GetLocalAddrTable(&record, c.low, c.high));
        if (c.rows.empty()) {
            EXPECT_EQ(nullptr, record);
            continue;
        }
        for (std::size_t i = 0; i < c.rows.size(); ++i) {
            EXPECT_EQ(c.rows[i], record->table[i].dwAddr);
            EXPECT_EQ(65535u, record->table[i].dwReasmSize);
        }
        if (c.low != 0) {
            FreeLocalAddrTable(record);
            continue;
        }
        EXPECT_EQ(0, ValidateIP(0xC0A80114, record));
        EXPECT_EQ(INVALID, ValidateIP(0xC0A80100, record));
        EXPECT_EQ(0, ValidateIP(0x0A000014, record));
        record->dwNumEntries = 0;
        EXPECT_EQ(1, ValidateIP(0xC0A80114, record));
        // The record can also be released with the plain array delete.
        delete[] reinterpret_cast<unsigned char*>(record);
    }
    EXPECT_EQ(0, ValidateIP(0x0A000014, nullptr));
    EXPECT_EQ(INVALID, ValidateIP(0xC0A80100, nullptr));
    MIB_IPADDRTABLE table{1, {Row(FakeNetInfo::Net(10, 0, 0, 1), 0xFFFFFFFF)}};
    EXPECT_EQ(0, ValidateIP(0x0A00004D, &table));
    EXPECT_EQ(1, ValidateIP(0x0A00014D, &table));
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

// One Ethernet adapter at 192.168.1.10/24, one at 10.0.0.1/32 and the loopback adapter, listed
// in the adapters' order; printed but not listed: an adapter whose record is beyond the 20 the
// list asks for, and an IPv6 address in a chain.
TEST(InterfaceList, OpenListsWhatHasARecordButNotLoopback) {
    FakeNetInfo fake;
    fake.AddRecord(FakeNetInfo::Net(10, 0, 0, 1), 0, 0xFFFFFFFF);
    fake.AddRecord(FakeNetInfo::Net(127, 0, 0, 1), FakeNetInfo::Net(127, 255, 255, 255), MASK8);
    fake.AddRecord(HOST, FakeNetInfo::Net(192, 168, 1, 255), MASK24);
    for (int i = 0; i < 18; ++i) {  // the 21st record, Wi-Fi's, is beyond the 20
        fake.AddRecord(FakeNetInfo::Net(10, 1, 2, i == 17 ? 4 : 3), 0, MASK8);
    }
    fake.adapters = {{L"Ethernet", L"Fast NIC", {{2, HOST}}},
                     {L"Loopback", L"Software Loopback", {{2, FakeNetInfo::Net(127, 0, 0, 1)}}},
                     {L"Wi-Fi", L"Radio", {{2, FakeNetInfo::Net(10, 1, 2, 4)}}},
                     {L"R\u00e9seau \u4e00", L"Tunnel", {{23, HOST}}},
                     {L"vpn", L"", {{2, FakeNetInfo::Net(10, 0, 0, 1)}}}};
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
    const QX::InterfaceList list(opened);  // the copy stands on its own
    ASSERT_EQ(2, list.GetSize());
    EXPECT_EQ(0x0A01A8C0u, list.GetAddress(0, false));
    EXPECT_EQ(0xC0A8010Au, list.GetAddress(0, true));
    EXPECT_EQ(0xFFFFFF00u, list.GetMask(0, true));
    EXPECT_EQ(0x00FFFFFFu, list.GetMask(0, false));
    EXPECT_EQ(0xC0A801FFu, list.GetBroadcast(0, true));
    EXPECT_EQ(L"Ethernet", list.GetName(0));
    EXPECT_EQ(L"Fast NIC", list.GetDescription(0));
    EXPECT_EQ(L"vpn", list.GetName(1));
    // Opened again, the entries double.
    Open(opened);
    ASSERT_EQ(4, opened.GetSize());
    EXPECT_EQ(opened.GetAddress(0, false), opened.GetAddress(2, false));

    QXTest::TraceCapture capture;
    EXPECT_EQ(0, list.IsValidAddress(0x0501A8C0u, true));
    EXPECT_TRUE(capture.Contains(L"Validating IP: 5.1.168.192 (swap 1)"));
    EXPECT_TRUE(capture.Contains(L"LocalIP: 192.168.1.10"));
    EXPECT_EQ(0, list.IsValidAddress(0xC0A80105u, false));
    EXPECT_EQ(1, list.IsValidAddress(0xC0A80205u, false));
    EXPECT_EQ(0, list.IsValidAddress(0, 0xC0A80105u, false));
    EXPECT_EQ(INVALID, list.IsValidAddress(2, 0xC0A80105u, false));
    // An all-ones mask is tested as a /24.
    EXPECT_EQ(0, list.IsValidAddress(1, 0x0A00004Du, false));
    EXPECT_EQ(1, list.IsValidAddress(1, 0x0A00014Du, false));
    for (std::uint32_t a : {0xC0A801FFu, 0xC6120001u}) {
        EXPECT_EQ(INVALID, list.IsValidAddress(a, false)) << std::hex << a;
        EXPECT_EQ(INVALID, list.IsValidAddress(0, a, false)) << std::hex << a;
        EXPECT_EQ(INVALID, QX::InterfaceList().IsValidAddress(a, false)) << std::hex << a;
    }
}

// Failures leave the list empty and every getter answers for an absent entry.
TEST(InterfaceList, FailuresLeaveTheListEmpty) {
    FakeNetInfo fake;
    fake.AddRecord(HOST, FakeNetInfo::Net(192, 168, 1, 255), MASK24);
    fake.adapters.push_back({L"Ethernet", L"Fast NIC", {{2, HOST}}});
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
