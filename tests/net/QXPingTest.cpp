#include "qxnet/net/QXPing.h"

#include <gtest/gtest.h>

#include <functional>
#include <set>
#include <utility>
#include <vector>

#include "qxnet/common/QXAddress.h"
#include "qxnet/common/QXResult.h"
#include "qxnet/net/QXEchoRequest.h"
#include "qxnet/net/QXReservedAddress.h"
#include "qxnet/platform/QXIcmp.h"
#include "tests/net/QXFakeNetInfo.h"
#include "tests/support/QXTraceCapture.h"

#if defined(_WIN32)
#include "qxnet/platform/win/QXIcmpEntries.h"
#endif

namespace {

using QXTest::FakeNetInfo;

// What the fake echo facility does and what it saw; one per test, reached by the factory.
struct EchoScript {
    bool available = true;
    // Host-order addresses that answer, and for how many requests they stay silent first.
    std::set<std::uint32_t> answering;
    int silentRequests = 0;
    bool everyAddressAnswers = false;
    std::vector<std::uint32_t> networkAddresses;
    std::vector<DWORD> timeouts;
    int binds = 0;
    int releases = 0;
    int creates = 0;
    int closes = 0;
};
EchoScript* s_echo = nullptr;

class FakeEcho : public QX::EchoFacility {
public:
    ~FakeEcho() override { Release(); }
    bool Bind() override {
        ++s_echo->binds;
        m_bound = s_echo->available;
        return m_bound;
    }
    HANDLE Create() override {
        ++s_echo->creates;
        return reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(0x1234));
    }
    DWORD SendEcho(HANDLE, std::uint32_t networkAddress, DWORD timeoutMs) override {
        s_echo->networkAddresses.push_back(networkAddress);
        s_echo->timeouts.push_back(timeoutMs);
        std::uint32_t host = QX::SwapAddress(networkAddress);
        bool answers = s_echo->everyAddressAnswers || s_echo->answering.count(host) != 0;
        if (answers && s_echo->silentRequests > 0) {
            --s_echo->silentRequests;
            return QX::ECHO_STATUS_TIMED_OUT;
        }
        return answers ? QX::ECHO_STATUS_SUCCESS : QX::ECHO_STATUS_TIMED_OUT;
    }
    void Close(HANDLE) override { ++s_echo->closes; }
    void Release() override {
        if (m_bound) {
            ++s_echo->releases;
            m_bound = false;
        }
    }

private:
    bool m_bound = false;
};

class EchoFixture : public testing::Test {
protected:
    void SetUp() override {
        s_echo = &m_script;
        m_previous = QX::IcmpBackend::Set(&m_backend);
    }
    void TearDown() override {
        QX::IcmpBackend::Set(m_previous);
        s_echo = nullptr;
    }
    struct : QX::IcmpBackend {
        std::unique_ptr<QX::EchoFacility> CreateEchoFacility() override {
            return std::make_unique<FakeEcho>();
        }
    } m_backend;
    EchoScript m_script;
    QX::IcmpBackend* m_previous = nullptr;
};

TEST_F(EchoFixture, PingICMPSendsInNetworkOrderWithTheCallersTimeout) {
    m_script.answering = {0xC0A8010A};
    EXPECT_EQ(0, QX::PingICMP(0xC0A8010A, 300));
    ASSERT_EQ(1u, m_script.networkAddresses.size());
    EXPECT_EQ(FakeNetInfo::Net(192, 168, 1, 10), m_script.networkAddresses[0]);
    EXPECT_EQ(300u, m_script.timeouts[0]);
    EXPECT_EQ(1, m_script.creates);
    EXPECT_EQ(1, m_script.closes);
    EXPECT_EQ(m_script.binds, m_script.releases);
    EXPECT_EQ(1, QX::PingICMP(0xC0A8010B, 50));
    EXPECT_EQ(2, m_script.closes);
}

TEST_F(EchoFixture, MissingEchoFacilityMakesEveryAddressFree) {
    m_script.available = false;
    m_script.everyAddressAnswers = true;
    EXPECT_EQ(static_cast<int>(QX::ResultCode::UnsupportedOperation),
              QX::PingICMP(0xC0A8010A, 300));
    EXPECT_EQ(0, m_script.creates);
    EXPECT_EQ(0, m_script.releases);
    EXPECT_TRUE(QX::IsAddrAvailable(0xC0A8010A));
    EXPECT_EQ(0xC0A8010Au, QX::GetAvailableAddress(0xC0A8010A, 0xC0A8010C));
    EXPECT_TRUE(m_script.networkAddresses.empty());
}

TEST_F(EchoFixture, AddressAnsweringTheSecondRequestIsTaken) {
    m_script.answering = {0xC0A8010A};
    m_script.silentRequests = 1;
    QXTest::TraceCapture capture;
    EXPECT_FALSE(QX::IsAddrAvailable(0xC0A8010A));
    EXPECT_EQ((std::vector<DWORD>{100, 1500}), m_script.timeouts);
    ASSERT_EQ(1u, capture.Lines().size());
    EXPECT_TRUE(capture.Contains(
        L"QXNET_API IsAddrAvailable(192.168.1.10). IP not available, responds to ping"));
}

TEST_F(EchoFixture, SilentAddressIsFreeAfterThreeRequests) {
    QXTest::TraceCapture capture;
    EXPECT_TRUE(QX::IsAddrAvailable(0xC0A8010C));
    EXPECT_EQ((std::vector<DWORD>{100, 1500, 1500}), m_script.timeouts);
    EXPECT_TRUE(capture.Lines().empty());
}

TEST_F(EchoFixture, SearchReturnsTheFirstSilentAddress) {
    m_script.answering = {0xC0A8010A, 0xC0A8010B};
    QXTest::TraceCapture capture;
    // Each taken address reaches the progress callback before the next one is tried.
    using Taken = std::vector<std::pair<std::uint32_t, std::size_t>>;  // address, requests sent
    Taken taken;
    const auto record = [](std::uint32_t address, void* context) {
        static_cast<Taken*>(context)->emplace_back(address, s_echo->timeouts.size());
    };
    EXPECT_EQ(0xC0A8010Cu, QX::GetAvailableAddress(0xC0A8010A, 0xC0A8010C, record, &taken));
    EXPECT_EQ((Taken{{0xC0A8010A, 1}, {0xC0A8010B, 2}}), taken);
    EXPECT_EQ(2u, capture.Lines().size());
    EXPECT_TRUE(capture.Contains(L"IsAddrAvailable(192.168.1.11). IP not available"));
    EXPECT_EQ(5u, m_script.timeouts.size());  // one each for .10 and .11, three for .12
}

TEST_F(EchoFixture, SearchWithEveryAddressAnsweringGivesZero) {
    m_script.everyAddressAnswers = true;
    EXPECT_EQ(0u, QX::GetAvailableAddress(0xC0A8010A, 0xC0A8010C));
    EXPECT_EQ(3u, m_script.networkAddresses.size());
}

TEST_F(EchoFixture, StartAboveEndSendsNothing) {
    EXPECT_EQ(0u, QX::GetAvailableAddress(0xC0A8010C, 0xC0A8010A));
    EXPECT_TRUE(m_script.networkAddresses.empty());
}

TEST_F(EchoFixture, DefaultEndOfAStartInTheTopOctetIsTheStart) {
    m_script.everyAddressAnswers = true;
    QXTest::TraceCapture capture;
    EXPECT_EQ(0u, QX::GetAvailableAddress(0xFFA8010A, 0));
    EXPECT_EQ((std::vector<std::uint32_t>{0x0A01A8FF}), m_script.networkAddresses);
}

TEST_F(EchoFixture, SearchEndsAtTheLastAddressWithoutWrapping) {
    m_script.everyAddressAnswers = true;
    QXTest::TraceCapture capture;
    EXPECT_EQ(0u, QX::GetAvailableAddress(0xFFFFFFFE, 0xFFFFFFFF));
    EXPECT_EQ((std::vector<std::uint32_t>{0xFEFFFFFF, 0xFFFFFFFF}), m_script.networkAddresses);
}

TEST_F(EchoFixture, DefaultEndRunsBeyondTheStartsSlash24) {
    // Everything answers up to 192.168.2.4: the search goes past 192.168.1.255.
    m_script.everyAddressAnswers = false;
    for (std::uint32_t a = 0xC0A8010A; a < 0xC0A80205; ++a) {
        m_script.answering.insert(a);
    }
    QXTest::TraceCapture capture;
    EXPECT_EQ(0xC0A80205u, QX::GetAvailableAddress(0xC0A8010A, 0));
}

// What the fake raw socket does and what it saw.
struct RawScript {
    int openError = 0;
    int sendError = 0;
    int closeError = 0;
    // Wait results in turn (1 readable, 0 time-out, -1 failure); time-out once they run out.
    std::vector<int> waits;
    int receiveError = 0;
    std::vector<std::vector<unsigned char>> sent;
    std::vector<std::uint32_t> destinations;
    std::vector<long> waitMicroseconds;
    int receives = 0;
};
RawScript* s_raw = nullptr;

class FakeRaw : public QX::RawIcmpSocket {
public:
    int Open() override { return s_raw->openError; }
    int SendTo(const unsigned char* data, int length, std::uint32_t address) override {
        s_raw->sent.emplace_back(data, data + length);
        s_raw->destinations.push_back(address);
        return s_raw->sendError;
    }
    int WaitReadable(long seconds, long microseconds, int* error) override {
        s_raw->waitMicroseconds.push_back(seconds * 1000000 + microseconds);
        std::size_t turn = s_raw->waitMicroseconds.size() - 1;
        int result = turn < s_raw->waits.size() ? s_raw->waits[turn] : 0;
        if (result < 0) {
            *error = 10038;
        }
        return result;
    }
    int ReceiveFrom(unsigned char*, int, std::uint32_t* source, int* error) override {
        ++s_raw->receives;
        *source = 0;
        if (s_raw->receiveError != 0) {
            *error = s_raw->receiveError;
            return -1;
        }
        return 28;
    }
    int Close() override { return s_raw->closeError; }
};

class RawFixture : public testing::Test {
protected:
    void SetUp() override {
        s_raw = &m_script;
        m_previous = QX::IcmpBackend::Set(&m_backend);
    }
    void TearDown() override {
        QX::IcmpBackend::Set(m_previous);
        s_raw = nullptr;
    }
    struct : QX::IcmpBackend {
        std::unique_ptr<QX::RawIcmpSocket> CreateRawIcmpSocket() override {
            return std::make_unique<FakeRaw>();
        }
    } m_backend;
    RawScript m_script;
    QX::IcmpBackend* m_previous = nullptr;
};

// The Internet checksum read the other way: big-endian words, an odd byte in the high half.
// Over a message that carries its checksum the folded sum is all ones.
std::uint32_t BigEndianSum(const std::vector<unsigned char>& data) {
    std::uint32_t sum = 0;
    for (std::size_t i = 0; i < data.size(); i += 2) {
        sum += (static_cast<std::uint32_t>(data[i]) << 8) | (i + 1 < data.size() ? data[i + 1] : 0);
    }
    while ((sum >> 16) != 0) {
        sum = (sum & 0xFFFF) + (sum >> 16);
    }
    return sum;
}

TEST(EchoRequest, LayoutAndChecksum) {
    unsigned char request[QX::ECHO_REQUEST_SIZE];
    QX::BuildEchoRequest(request, 3, 0xA1B2C3D4);
    EXPECT_EQ(8, request[0]);
    EXPECT_EQ(0, request[1]);
    EXPECT_EQ(3, request[4]);
    EXPECT_EQ(0, request[5]);
    EXPECT_EQ(3, request[6]);
    EXPECT_EQ(0, request[7]);
    EXPECT_EQ(0, request[8]);
    EXPECT_EQ(0xD4, request[9]);
    EXPECT_EQ(0xC3, request[10]);
    EXPECT_EQ(0xB2, request[11]);
    EXPECT_EQ(0xA1, request[12]);
    for (int i = 0; i < 32; ++i) {
        EXPECT_EQ(0x20 + i, request[13 + i]);
    }
    std::vector<unsigned char> bytes(request, request + sizeof request);
    EXPECT_EQ(0xFFFFu, BigEndianSum(bytes));
    // Recomputing over the message with the field cleared gives the stored value.
    std::uint16_t stored = static_cast<std::uint16_t>(request[2] | (request[3] << 8));
    request[2] = request[3] = 0;
    EXPECT_EQ(stored, QX::InternetChecksum(request, sizeof request));
}

TEST(EchoRequest, ChecksumOfOddLengths) {
    const unsigned char one[] = {0x01};
    EXPECT_EQ(0xFFFEu, QX::InternetChecksum(one, 1));
    const unsigned char three[] = {0x00, 0x01, 0xF2};
    // Words 0x0100 and 0x00F2: sum 0x01F2, complement 0xFE0D.
    EXPECT_EQ(0xFE0Du, QX::InternetChecksum(three, 3));
    // A carry out of 16 bits is folded back in.
    const unsigned char carry[] = {0xFF, 0xFF, 0x02};
    EXPECT_EQ(0xFFFDu, QX::InternetChecksum(carry, 3));
}

TEST_F(RawFixture, SilentAddressTimesOutAfterFiveAttempts) {
    QXTest::TraceCapture capture;
    EXPECT_EQ(static_cast<int>(QX::ResultCode::TimedOut), QX::Ping(0x0A01A8C0));
    ASSERT_EQ(5u, m_script.sent.size());
    for (std::size_t attempt = 0; attempt < 5; ++attempt) {
        const std::vector<unsigned char>& request = m_script.sent[attempt];
        ASSERT_EQ(45u, request.size());
        EXPECT_EQ(attempt, request[4]);
        EXPECT_EQ(attempt, request[6]);
        EXPECT_EQ(0xFFFFu, BigEndianSum(request));
        EXPECT_EQ(0x0A01A8C0u, m_script.destinations[attempt]);
        EXPECT_EQ(200, m_script.waitMicroseconds[attempt]);
    }
    EXPECT_TRUE(capture.Contains(L"Pinging 192.168.1.10"));
}

TEST_F(RawFixture, AnyDatagramIsTheAnswer) {
    m_script.waits = {0, 1};
    m_script.receiveError = 10054;
    QXTest::TraceCapture capture;
    EXPECT_EQ(0, QX::Ping(0x0A01A8C0));
    EXPECT_EQ(2u, m_script.sent.size());
    EXPECT_EQ(1, m_script.receives);
    EXPECT_TRUE(capture.Contains(L"recvfrom(): WSAError: 10054"));
}

TEST_F(RawFixture, FailedSendGoesOnToTheWait) {
    m_script.sendError = 10065;
    m_script.closeError = 10038;
    QXTest::TraceCapture capture;
    EXPECT_EQ(static_cast<int>(QX::ResultCode::TimedOut), QX::Ping(0x0A01A8C0));
    EXPECT_EQ(5u, m_script.waitMicroseconds.size());
    EXPECT_TRUE(capture.Contains(L"sendto(): WSAError: 10065"));
    EXPECT_TRUE(capture.Contains(L"closesocket(): WSAError: 10038"));
}

TEST_F(RawFixture, FailedWaitEndsThePing) {
    m_script.waits = {0, -1};
    EXPECT_EQ(static_cast<int>(QX::ResultCode::Unexpected), QX::Ping(0x0A01A8C0));
    EXPECT_EQ(2u, m_script.sent.size());
}

TEST_F(RawFixture, SocketFailure) {
    m_script.openError = 10013;
    QXTest::TraceCapture capture;
    EXPECT_EQ(static_cast<int>(QX::ResultCode::Unexpected), QX::Ping(0x0A01A8C0));
    EXPECT_TRUE(capture.Contains(L"socket(): WSAError: 10013"));
    EXPECT_TRUE(m_script.sent.empty());
}

TEST(FlashARP, SingleEthernetAdapterFitsTheFirstBuffer) {
    FakeNetInfo fake;
    fake.adapterInfos = {{7, QX::NETINFO_TYPE_ETHERNET}};
    QX::FlashARP();
    EXPECT_EQ((std::vector<DWORD>{648}), fake.adapterInfoSizes);
    EXPECT_EQ((std::vector<DWORD>{7}), fake.flushed);
}

TEST(FlashARP, LongerChainIsFetchedAgainAndOnlyEthernetFlushed) {
    FakeNetInfo fake;
    fake.adapterInfos = {{2, QX::NETINFO_TYPE_ETHERNET},
                         {3, QX::NETINFO_TYPE_IEEE80211},
                         {4, QX::NETINFO_TYPE_PPP},
                         {5, QX::NETINFO_TYPE_ETHERNET}};
    QX::FlashARP();
    EXPECT_EQ((std::vector<DWORD>{648, 4 * 648}), fake.adapterInfoSizes);
    EXPECT_EQ((std::vector<DWORD>{2, 5}), fake.flushed);
}

TEST(FlashARP, WirelessOnlyOrFailureFlushesNothing) {
    FakeNetInfo fake;
    fake.adapterInfos = {{3, QX::NETINFO_TYPE_IEEE80211}};
    QX::FlashARP();
    EXPECT_TRUE(fake.flushed.empty());
    fake.adapterInfos = {{2, QX::NETINFO_TYPE_ETHERNET}};
    fake.adapterInfoAnswer = QX::NetInfoError::NoData;
    QX::FlashARP();
    EXPECT_TRUE(fake.flushed.empty());
}

#if defined(_WIN32)
// What the echo call does in place of the system's: its return value, the error it leaves, and
// the status it writes when it returns a reply.
struct SendScript {
    DWORD returned;
    DWORD lastError;
    ULONG status;
};
SendScript s_send{};

DWORD WINAPI ScriptedSend(HANDLE, IPAddr, LPVOID, WORD, PIP_OPTION_INFORMATION, LPVOID reply, DWORD,
                          DWORD) {
    if (s_send.returned != 0) {
        static_cast<ICMP_ECHO_REPLY*>(reply)->Status = s_send.status;
    }
    SetLastError(s_send.lastError);
    return s_send.returned;
}

// The Windows facility with the echo call played: a failed call is a failure or, when its
// error is an IP status, no answer; never an answer.
TEST(WindowsEcho, AFailedEchoCallIsNeverAnAnswer) {
    const struct {
        SendScript send;
        int expected;
    } cases[] = {
        {{0, ERROR_ACCESS_DENIED, 0}, static_cast<int>(QX::ResultCode::UnsupportedOperation)},
        {{0, 0, 0}, static_cast<int>(QX::ResultCode::UnsupportedOperation)},
        {{0, IP_REQ_TIMED_OUT, 0}, 1},
        {{0, IP_DEST_HOST_UNREACHABLE, 0}, 1},
        {{1, 0, IP_SUCCESS}, 0},
        {{1, 0, IP_DEST_NET_UNREACHABLE}, 1},
    };
    QX::IcmpSendEchoEntry previous = QX::SetIcmpSendEchoEntry(&ScriptedSend);
    QXTest::TraceCapture capture;
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.send.returned << " " << c.send.lastError);
        s_send = c.send;
        EXPECT_EQ(c.expected, QX::PingICMP(0x7F000001, 10));
    }
    // The search cannot take a failing call for a host that answers.
    s_send = {0, ERROR_ACCESS_DENIED, 0};
    EXPECT_EQ(0x7F000002u, QX::GetAvailableAddress(0x7F000002, 0x7F000003));
    QX::SetIcmpSendEchoEntry(previous);
    EXPECT_TRUE(capture.Contains(L"Ping is not available: IcmpSendEcho failed (error 5)"));
}
#endif

}  // namespace
