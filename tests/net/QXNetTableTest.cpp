#include "qxnet/net/QXNetTable.h"

#include <gtest/gtest.h>

#include <memory>

#include "qxnet/net/QXLocalAddresses.h"
#include "tests/net/QXFakeNetInfo.h"
#include "tests/support/QXTraceCapture.h"

namespace {

using QXTest::FakeNetInfo;

MIB_IPNETROW Neighbour(std::uint32_t address, std::initializer_list<unsigned char> mac,
                       DWORD index = 2) {
    MIB_IPNETROW row{};
    row.dwIndex = index;
    row.dwPhysAddrLen = static_cast<DWORD>(mac.size());
    int i = 0;
    for (unsigned char byte : mac) {
        row.bPhysAddr[i++] = byte;
    }
    row.dwAddr = address;
    row.dwType = MIB_IPNET_TYPE_DYNAMIC;
    return row;
}

TEST(NetTable, NetworkToHostQWORD) {
    MIB_IPNETTABLE empty{};
    QX::CNetTable table(&empty);
    unsigned char mac[] = {0x02, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88};
    EXPECT_EQ(0x021122334455ull, table.NetworkToHostQWORD(mac, 6));
    EXPECT_EQ(0ull, table.NetworkToHostQWORD(mac, 0));
    EXPECT_EQ(0x0211223344556677ull, table.NetworkToHostQWORD(mac, 8));
    // More than eight bytes cannot fit the result and are refused.
    EXPECT_EQ(0ull, table.NetworkToHostQWORD(mac, 9));
}

TEST(NetTable, AddressesOfMacInTableOrderHostOrder) {
    FakeNetInfo fake;
    fake.netRows = {
        Neighbour(FakeNetInfo::Net(192, 168, 1, 20), {0x02, 0x11, 0x22, 0x33, 0x44, 0x55}),
        Neighbour(FakeNetInfo::Net(192, 168, 1, 21), {0x02, 0x11, 0x22, 0x33, 0x44, 0x66}),
        Neighbour(FakeNetInfo::Net(10, 0, 0, 7), {0x02, 0x11, 0x22, 0x33, 0x44, 0x55}, 3),
        // No physical address: never reaches the table, even though 0 would match mac 0.
        Neighbour(FakeNetInfo::Net(192, 168, 1, 99), {}),
    };
    std::unique_ptr<QX::CNetTable> table(QX::CNetTable::GetLocalNetAddresses());
    ASSERT_NE(nullptr, table);
    EXPECT_EQ((std::vector<std::uint32_t>{0xC0A80114, 0x0A000007}),
              table->GetIPAddressesOfMac(0x021122334455ull));
    EXPECT_EQ((std::vector<std::uint32_t>{0xC0A80115}),
              table->GetIPAddressesOfMac(0x021122334466ull));
    EXPECT_TRUE(table->GetIPAddressesOfMac(0x0A0B0C0D0E0Full).empty());
    EXPECT_TRUE(table->GetIPAddressesOfMac(0).empty());
    EXPECT_EQ(2, fake.netCalls);
    EXPECT_FALSE(fake.sortAsked);
    QX::CNetTable copy(*table);
    EXPECT_EQ(2u, copy.GetIPAddressesOfMac(0x021122334455ull).size());
}

TEST(NetTable, FetchFailures) {
    FakeNetInfo fake;
    fake.netRows = {Neighbour(FakeNetInfo::Net(192, 168, 1, 20), {1, 2, 3, 4, 5, 6})};
    fake.netGrowth = 3;
    EXPECT_EQ(nullptr, QX::CNetTable::GetLocalNetAddresses());
    fake.netGrowth = 0;
    fake.netTableAnswer = QX::NetInfoError::NotSupported;
    EXPECT_EQ(nullptr, QX::CNetTable::GetLocalNetAddresses());
}

TEST(LocalAddresses, FirstTenInHostOrder) {
    FakeNetInfo fake;
    for (int i = 1; i <= 12; ++i) {
        fake.resolved.push_back(FakeNetInfo::Net(10, 1, 2, i));
    }
    std::vector<std::uint32_t> addresses = QX::GetLocalAddresses();
    ASSERT_EQ(10u, addresses.size());
    EXPECT_EQ(0x0A010201u, addresses[0]);
    EXPECT_EQ(0x0A01020Au, addresses[9]);
}

TEST(LocalAddresses, LoopbackKeptAndFailureTraced) {
    FakeNetInfo fake;
    fake.resolved = {FakeNetInfo::Net(127, 0, 1, 1)};
    EXPECT_EQ((std::vector<std::uint32_t>{0x7F000101}), QX::GetLocalAddresses());
    fake.resolves = false;
    QXTest::TraceCapture capture;
    EXPECT_TRUE(QX::GetLocalAddresses().empty());
    EXPECT_TRUE(capture.Contains(L"gethostbyname() failed"));
}

}  // namespace
