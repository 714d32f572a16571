#include "qxnet/net/QXAddrTable.h"

#include <gtest/gtest.h>

#include <memory>

#include "qxnet/common/QXResult.h"
#include "tests/net/QXFakeNetInfo.h"
#include "tests/support/QXTraceCapture.h"

namespace {

using QXTest::FakeNetInfo;

constexpr int INVALID = static_cast<int>(QX::ResultCode::InvalidArgument);

MIB_IPADDRROW Row(std::uint32_t address, std::uint32_t mask, DWORD index = 1) {
    MIB_IPADDRROW row{};
    row.dwAddr = address;
    row.dwIndex = index;
    row.dwMask = mask;
    row.dwBCastAddr = 1;
    row.dwReasmSize = 65535;
    row.wType = MIB_IPADDR_PRIMARY;
    return row;
}

const std::uint32_t LOOPBACK = FakeNetInfo::Net(127, 0, 0, 1);
const std::uint32_t HOST = FakeNetInfo::Net(192, 168, 1, 10);
const std::uint32_t OTHER = FakeNetInfo::Net(10, 0, 0, 5);
const std::uint32_t MASK24 = FakeNetInfo::Net(255, 255, 255, 0);

// The record as the caller gets it, released with the exported function.
struct TableDeleter {
    void operator()(MIB_IPADDRTABLE* table) const { FreeLocalAddrTable(table); }
};
using TablePtr = std::unique_ptr<MIB_IPADDRTABLE, TableDeleter>;

TEST(AddrTable, LoopbackRowIsDroppedOtherLoopbacksKept) {
    FakeNetInfo fake;
    fake.addrRows = {Row(LOOPBACK, FakeNetInfo::Net(255, 0, 0, 0)), Row(HOST, MASK24),
                     Row(FakeNetInfo::Net(127, 0, 0, 2), FakeNetInfo::Net(255, 0, 0, 0))};
    std::unique_ptr<QX::CAddrTable> table(QX::CAddrTable::GetLocalAddresses());
    ASSERT_NE(nullptr, table);
    ASSERT_EQ(2, table->GetSize());
    EXPECT_EQ(HOST, table->GetAddress(0, false));
    EXPECT_EQ(0xC0A8010Au, table->GetAddress(0, true));
    EXPECT_EQ(0xFFFFFF00u, table->GetMask(0, true));
    EXPECT_EQ(0x7F000002u, table->GetAddress(1, true));
    EXPECT_EQ(0u, table->GetAddress(2, false));
    EXPECT_EQ(0u, table->GetMask(-1, false));
    // Two steps, unsorted.
    EXPECT_EQ(2, fake.addrCalls);
    EXPECT_FALSE(fake.sortAsked);
}

TEST(AddrTable, FetchFailures) {
    FakeNetInfo fake;
    fake.addrRows = {Row(HOST, MASK24)};
    fake.addrGrowth = 1;
    EXPECT_EQ(nullptr, QX::CAddrTable::GetLocalAddresses());
    fake.addrGrowth = 0;
    fake.addrTableAnswer = QX::NetInfoError::NotSupported;
    EXPECT_EQ(nullptr, QX::CAddrTable::GetLocalAddresses());
    MIB_IPADDRTABLE* record = reinterpret_cast<MIB_IPADDRTABLE*>(1);
    EXPECT_EQ(0, GetLocalAddrTable(&record, 0, 0));
    EXPECT_EQ(nullptr, record);
}

TEST(AddrTable, IsValidAddressLikeTheInterfaceList) {
    FakeNetInfo fake;
    fake.addrRows = {Row(HOST, MASK24), Row(FakeNetInfo::Net(10, 0, 0, 1), 0xFFFFFFFF)};
    std::unique_ptr<QX::CAddrTable> table(QX::CAddrTable::GetLocalAddresses());
    ASSERT_NE(nullptr, table);
    QXTest::TraceCapture capture;
    EXPECT_EQ(0, table->IsValidAddress(0xC0A80114u, false));
    EXPECT_TRUE(capture.Contains(L"Validating IP: 192.168.1.20 (swap 0)"));
    EXPECT_TRUE(capture.Contains(L"LocalIP: 192.168.1.10"));
    EXPECT_EQ(0, table->IsValidAddress(0x1401A8C0u, true));
    EXPECT_EQ(0, table->IsValidAddress(0x0A00004Du, false));
    EXPECT_EQ(1, table->IsValidAddress(0x0A00014Du, false));
    EXPECT_EQ(INVALID, table->IsValidAddress(0xC0A80100u, false));
    QX::CAddrTable copy = *table;
    EXPECT_EQ(2, copy.GetSize());
    fake.addrRows.clear();
    std::unique_ptr<QX::CAddrTable> empty(QX::CAddrTable::GetLocalAddresses());
    ASSERT_NE(nullptr, empty);
    EXPECT_EQ(0, empty->GetSize());
    EXPECT_EQ(1, empty->IsValidAddress(0xC0A80114u, false));
}

TEST(AddrTable, GetLocalAddrTableWithoutRange) {
    FakeNetInfo fake;
    fake.addrRows = {Row(LOOPBACK, FakeNetInfo::Net(255, 0, 0, 0)), Row(HOST, MASK24)};
    MIB_IPADDRTABLE* raw = nullptr;
    EXPECT_EQ(1, GetLocalAddrTable(&raw, 0, 0));
    TablePtr record(raw);
    ASSERT_NE(nullptr, record);
    ASSERT_EQ(1u, record->dwNumEntries);
    EXPECT_EQ(HOST, record->table[0].dwAddr);
    EXPECT_EQ(MASK24, record->table[0].dwMask);
    EXPECT_EQ(65535u, record->table[0].dwReasmSize);
}

TEST(AddrTable, GetLocalAddrTableWithRange) {
    FakeNetInfo fake;
    fake.addrRows = {Row(HOST, MASK24), Row(OTHER, FakeNetInfo::Net(255, 0, 0, 0))};
    MIB_IPADDRTABLE* raw = nullptr;
    EXPECT_EQ(1, GetLocalAddrTable(&raw, 0xC0A80100, 0xC0A801FF));
    TablePtr inRange(raw);
    ASSERT_NE(nullptr, inRange);
    EXPECT_EQ(HOST, inRange->table[0].dwAddr);
    // Both ends are included.
    EXPECT_EQ(1, GetLocalAddrTable(&raw, 0xC0A8010A, 0xC0A8010A));
    TablePtr exact(raw);
    // One end 0: every row.
    EXPECT_EQ(2, GetLocalAddrTable(&raw, 0xC0A80100, 0));
    TablePtr all(raw);
    ASSERT_NE(nullptr, all);
    const MIB_IPADDRROW* rows = all->table;
    EXPECT_EQ(OTHER, rows[1].dwAddr);
    // Nothing in range: null and 0.
    raw = reinterpret_cast<MIB_IPADDRTABLE*>(1);
    EXPECT_EQ(0, GetLocalAddrTable(&raw, 0xAC100000, 0xAC1000FF));
    EXPECT_EQ(nullptr, raw);
    // The record can also be released with the plain array delete.
    EXPECT_EQ(2, GetLocalAddrTable(&raw, 0, 0));
    delete[] reinterpret_cast<unsigned char*>(raw);
}

TEST(AddrTable, ValidateIP) {
    FakeNetInfo fake;
    fake.addrRows = {Row(HOST, MASK24)};
    MIB_IPADDRTABLE* raw = nullptr;
    ASSERT_EQ(1, GetLocalAddrTable(&raw, 0, 0));
    TablePtr record(raw);
    EXPECT_EQ(0, ValidateIP(0xC0A80114, record.get()));
    EXPECT_EQ(1, ValidateIP(0x0A000014, record.get()));
    EXPECT_EQ(INVALID, ValidateIP(0xC0A80100, record.get()));
    EXPECT_EQ(0, ValidateIP(0x0A000014, nullptr));
    EXPECT_EQ(INVALID, ValidateIP(0xC0A80100, nullptr));
    record->dwNumEntries = 0;
    EXPECT_EQ(1, ValidateIP(0xC0A80114, record.get()));
}

TEST(AddrTable, ValidateIPTakesAllOnesMaskAsSlash24) {
    MIB_IPADDRTABLE table{};
    table.dwNumEntries = 1;
    table.table[0] = Row(FakeNetInfo::Net(10, 0, 0, 1), 0xFFFFFFFF);
    EXPECT_EQ(0, ValidateIP(0x0A00004D, &table));
    EXPECT_EQ(1, ValidateIP(0x0A00014D, &table));
}

}  // namespace
