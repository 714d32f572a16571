#include "qxnet/net/QXInterfaceList.h"

#include <gtest/gtest.h>

#include "qxnet/common/QXResult.h"
#include "qxnet/platform/QXUtf8.h"
#include "tests/net/QXFakeNetInfo.h"
#include "tests/support/QXTraceCapture.h"

namespace {

using QXTest::FakeNetInfo;

constexpr int INVALID = static_cast<int>(QX::ResultCode::InvalidArgument);

// One Ethernet adapter at 192.168.1.10/24 and the loopback adapter.
void OneEthernetHost(FakeNetInfo& fake) {
    fake.AddRecord(FakeNetInfo::Net(127, 0, 0, 1), FakeNetInfo::Net(127, 255, 255, 255),
                   FakeNetInfo::Net(255, 0, 0, 0));
    fake.AddRecord(FakeNetInfo::Net(192, 168, 1, 10), FakeNetInfo::Net(192, 168, 1, 255),
                   FakeNetInfo::Net(255, 255, 255, 0));
    fake.adapters.push_back({L"Ethernet", L"Fast NIC", {{2, FakeNetInfo::Net(192, 168, 1, 10)}}});
    fake.adapters.push_back(
        {L"Loopback", L"Software Loopback", {{2, FakeNetInfo::Net(127, 0, 0, 1)}}});
}

TEST(InterfaceList, OpenListsEthernetButNotLoopback) {
    FakeNetInfo fake;
    OneEthernetHost(fake);
    QX::InterfaceList list;
    testing::internal::CaptureStdout();
    EXPECT_EQ(0, list.Open());
    std::string printed = testing::internal::GetCapturedStdout();
    EXPECT_EQ(
        "Friendly Name: Ethernet\nDescription: Fast NIC\n"
        "Friendly Name: Loopback\nDescription: Software Loopback\n",
        printed);
    ASSERT_EQ(1, list.GetSize());
    EXPECT_EQ(0x0A01A8C0u, list.GetAddress(0, false));
    EXPECT_EQ(0xC0A8010Au, list.GetAddress(0, true));
    EXPECT_EQ(0xFFFFFF00u, list.GetMask(0, true));
    EXPECT_EQ(0x00FFFFFFu, list.GetMask(0, false));
    EXPECT_EQ(0xC0A801FFu, list.GetBroadcast(0, true));
    EXPECT_EQ(L"Ethernet", list.GetName(0));
    EXPECT_EQ(L"Fast NIC", list.GetDescription(0));
    // The buffers offered to the platform: 20 records of 76 bytes, 32000 bytes of adapters.
    EXPECT_EQ(1520u, fake.offeredInterfaceBytes);
    EXPECT_EQ(32000u, fake.offeredAdapterBytes);
}

TEST(InterfaceList, OpenTwiceDoublesTheEntries) {
    FakeNetInfo fake;
    OneEthernetHost(fake);
    QX::InterfaceList list;
    testing::internal::CaptureStdout();
    EXPECT_EQ(0, list.Open());
    EXPECT_EQ(0, list.Open());
    testing::internal::GetCapturedStdout();
    ASSERT_EQ(2, list.GetSize());
    EXPECT_EQ(list.GetAddress(0, false), list.GetAddress(1, false));
}

TEST(InterfaceList, AdapterWithoutRecordIsPrintedButNotListed) {
    FakeNetInfo fake;
    OneEthernetHost(fake);
    fake.adapters.push_back({L"Wi-Fi", L"Radio", {{2, FakeNetInfo::Net(10, 1, 2, 3)}}});
    // An IPv6 address in the chain is skipped by its family.
    fake.adapters.push_back({L"Six", L"Tunnel", {{23, FakeNetInfo::Net(192, 168, 1, 10)}}});
    QX::InterfaceList list;
    testing::internal::CaptureStdout();
    EXPECT_EQ(0, list.Open());
    std::string printed = testing::internal::GetCapturedStdout();
    EXPECT_NE(std::string::npos, printed.find("Friendly Name: Wi-Fi\nDescription: Radio\n"));
    EXPECT_NE(std::string::npos, printed.find("Friendly Name: Six\nDescription: Tunnel\n"));
    EXPECT_EQ(1, list.GetSize());
}

TEST(InterfaceList, TwoAddressesOnOneAdapterKeepChainOrder) {
    FakeNetInfo fake;
    fake.AddRecord(FakeNetInfo::Net(10, 0, 0, 2), 0, FakeNetInfo::Net(255, 255, 0, 0));
    fake.AddRecord(FakeNetInfo::Net(10, 0, 0, 1), 0, FakeNetInfo::Net(255, 0, 0, 0));
    fake.adapters.push_back(
        {L"eth0", L"", {{2, FakeNetInfo::Net(10, 0, 0, 1)}, {2, FakeNetInfo::Net(10, 0, 0, 2)}}});
    QX::InterfaceList list;
    testing::internal::CaptureStdout();
    EXPECT_EQ(0, list.Open());
    testing::internal::GetCapturedStdout();
    ASSERT_EQ(2, list.GetSize());
    EXPECT_EQ(0x0A000001u, list.GetAddress(0, true));
    EXPECT_EQ(0xFF000000u, list.GetMask(0, true));
    EXPECT_EQ(0x0A000002u, list.GetAddress(1, true));
    EXPECT_EQ(0xFFFF0000u, list.GetMask(1, true));
}

TEST(InterfaceList, WideNamesArePrintedAsUtf8) {
    FakeNetInfo fake;
    fake.adapters.push_back({L"R\u00e9seau \u4e00", L"d", {}});
    QX::InterfaceList list;
    testing::internal::CaptureStdout();
    EXPECT_EQ(0, list.Open());
    EXPECT_EQ("Friendly Name: R\xc3\xa9seau \xe4\xb8\x80\nDescription: d\n",
              testing::internal::GetCapturedStdout());
}

// The system's names are UTF-8; the decoder is the encoder's inverse and turns each ill-formed
// part into one U+FFFD, never into Latin-1 characters.
TEST(Utf8, DecodesWhatTheEncoderWritesAndReplacesIllFormedParts) {
    const struct {
        const char* bytes;
        const wchar_t* wide;
        bool roundTrip;
    } cases[] = {
        {"B\xc3\xbcro-Kamera", L"B\u00fcro-Kamera", true},
        {"\xe2\x82\xac \xe4\xb8\x80", L"\u20ac \u4e00", true},
        {"\xf0\x9f\x93\xb7", L"\U0001F4F7", true},
        {"", L"", true},
        {"\xc3", L"\ufffd", false},                                // truncated at the end
        {"\xc3(", L"\ufffd(", false},                              // truncated before ASCII
        {"\xe2\x82", L"\ufffd", false},                            // truncated three-byte form
        {"a\x80z", L"a\ufffdz", false},                            // stray continuation byte
        {"\xc0\xaf", L"\ufffd\ufffd", false},                      // overlong
        {"\xed\xa0\x80", L"\ufffd\ufffd\ufffd", false},            // surrogate
        {"\xf4\x90\x80\x80", L"\ufffd\ufffd\ufffd\ufffd", false},  // above U+10FFFF
        {"\xff", L"\ufffd", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.bytes);
        EXPECT_EQ(std::wstring(c.wide), QX::FromUtf8(c.bytes));
        if (c.roundTrip) {
            EXPECT_EQ(std::string(c.bytes), QX::ToUtf8(c.wide));
        }
    }
    EXPECT_EQ(L"", QX::FromUtf8(nullptr));
}

TEST(InterfaceList, OnlyTwentyRecordsAreRead) {
    FakeNetInfo fake;
    for (int i = 1; i <= 25; ++i) {
        fake.AddRecord(FakeNetInfo::Net(10, 0, 0, i), 0, FakeNetInfo::Net(255, 255, 255, 0));
    }
    QX::AdapterAddresses adapter{L"eth0", L"", {}};
    for (int i = 1; i <= 25; ++i) {
        adapter.unicast.push_back({2, FakeNetInfo::Net(10, 0, 0, i)});
    }
    fake.adapters.push_back(adapter);
    QX::InterfaceList list;
    testing::internal::CaptureStdout();
    EXPECT_EQ(0, list.Open());
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(20, list.GetSize());
}

TEST(InterfaceList, FailuresLeaveTheListUnchanged) {
    FakeNetInfo fake;
    OneEthernetHost(fake);
    QX::InterfaceList list;
    testing::internal::CaptureStdout();
    fake.interfaceListWorks = false;
    EXPECT_EQ(static_cast<int>(QX::ResultCode::Unexpected), list.Open());
    fake.interfaceListWorks = true;
    fake.adapterBytesNeeded = 32001;
    EXPECT_EQ(static_cast<int>(QX::ResultCode::BufferTooSmall), list.Open());
    fake.adapterBytesNeeded = 0;
    fake.adapterAnswer = QX::NetInfoError::NoData;
    EXPECT_EQ(static_cast<int>(QX::ResultCode::Unexpected), list.Open());
    EXPECT_EQ("", testing::internal::GetCapturedStdout());
    EXPECT_EQ(0, list.GetSize());
}

TEST(InterfaceList, EmptyListAndBadIndexes) {
    QX::InterfaceList list;
    EXPECT_EQ(0, list.GetSize());
    EXPECT_EQ(0u, list.GetAddress(-1, false));
    EXPECT_EQ(0u, list.GetAddress(0, true));
    EXPECT_EQ(0u, list.GetMask(3, false));
    EXPECT_EQ(L"", list.GetName(5));
    EXPECT_EQ(L"", list.GetDescription(-1));
    EXPECT_EQ(1, list.IsValidAddress(0xC0A80105u, false));
    EXPECT_EQ(INVALID, list.IsValidAddress(0, 0xC0A80105u, false));
    EXPECT_EQ(INVALID, list.IsValidAddress(-1, 0xC0A80105u, false));
}

class OpenedList : public testing::Test {
protected:
    void SetUp() override {
        OneEthernetHost(m_fake);
        testing::internal::CaptureStdout();
        ASSERT_EQ(0, m_list.Open());
        testing::internal::GetCapturedStdout();
    }
    FakeNetInfo m_fake;
    QX::InterfaceList m_list;
};

TEST_F(OpenedList, SubnetTestInBothByteOrders) {
    EXPECT_EQ(0, m_list.IsValidAddress(0xC0A80105u, false));
    EXPECT_EQ(0, m_list.IsValidAddress(0x0501A8C0u, true));
    EXPECT_EQ(1, m_list.IsValidAddress(0xC0A80205u, false));
    EXPECT_EQ(0, m_list.IsValidAddress(0, 0xC0A80105u, false));
    EXPECT_EQ(1, m_list.IsValidAddress(0, 0xC0A80205u, false));
    EXPECT_EQ(INVALID, m_list.IsValidAddress(1, 0xC0A80105u, false));
    EXPECT_EQ(INVALID, m_list.IsValidAddress(-1, 0xC0A80105u, false));
    // The copy is independent of the original.
    QX::InterfaceList copy(m_list);
    EXPECT_EQ(0, copy.IsValidAddress(0xC0A80105u, false));
    EXPECT_EQ(L"Ethernet", copy.GetName(0));
}

TEST_F(OpenedList, ScreenedAddressesAreInvalidInEitherForm) {
    const std::uint32_t screened[] = {0xC0A801FF, 0xC0A80100, 0x00000007, 0x7F000005, 0xC0000209,
                                      0xC0586301, 0xC6120001, 0xE00000FB, 0xEFFFFFFA};
    for (std::uint32_t a : screened) {
        EXPECT_EQ(INVALID, m_list.IsValidAddress(a, false)) << std::hex << a;
        EXPECT_EQ(INVALID, m_list.IsValidAddress(0, a, false)) << std::hex << a;
        QX::InterfaceList empty;
        EXPECT_EQ(INVALID, empty.IsValidAddress(a, false)) << std::hex << a;
    }
    // Outside the one-/24 blocks the screen lets them through to the subnet test.
    EXPECT_EQ(1, m_list.IsValidAddress(0x7F010203u, false));
    EXPECT_EQ(1, m_list.IsValidAddress(0xC6130001u, false));
    EXPECT_EQ(1, m_list.IsValidAddress(0xF8010203u, false));
}

TEST_F(OpenedList, TracesTheAddressAsPassedAndEachLocalAddress) {
    QXTest::TraceCapture capture;
    EXPECT_EQ(0, m_list.IsValidAddress(0x0501A8C0u, true));
    EXPECT_TRUE(capture.Contains(L"Validating IP: 5.1.168.192 (swap 1)"));
    EXPECT_TRUE(capture.Contains(L"LocalIP: 192.168.1.10"));
    capture.Clear();
    EXPECT_EQ(1, m_list.IsValidAddress(0, 0x0A000001u, false));
    EXPECT_TRUE(capture.Contains(L"Validating IP: 10.0.0.1 (swap 0)"));
    EXPECT_TRUE(capture.Contains(L"LocalIP: 192.168.1.10"));
}

TEST(InterfaceList, AllOnesMaskIsTestedAsSlash24) {
    FakeNetInfo fake;
    fake.AddRecord(FakeNetInfo::Net(10, 0, 0, 1), 0, 0xFFFFFFFF);
    fake.adapters.push_back({L"vpn", L"", {{2, FakeNetInfo::Net(10, 0, 0, 1)}}});
    QX::InterfaceList list;
    testing::internal::CaptureStdout();
    ASSERT_EQ(0, list.Open());
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(0, list.IsValidAddress(0x0A00004Du, false));
    EXPECT_EQ(1, list.IsValidAddress(0x0A00014Du, false));
    EXPECT_EQ(0, list.IsValidAddress(0, 0x0A00004Du, false));
    EXPECT_EQ(1, list.IsValidAddress(0, 0x0A00014Du, false));
}

}  // namespace
