#include "qxnet/common/QXAddress.h"
#include "qxnet/net/QXPing.h"

#include <gtest/gtest.h>

#include <vector>

#include "qxnet/common/QXResult.h"
#include "qxnet/net/QXReservedAddress.h"
#include "qxnet/platform/QXIcmp.h"
#include "tests/support/QXFakeEcho.h"
#include "tests/support/QXFakeNetInfo.h"
#include "tests/support/QXTraceCapture.h"

#if defined(_WIN32)
#include "qxnet/platform/win/QXIcmpEntries.h"
#endif

namespace {

using QXTest::FakeNetInfo;

constexpr int TIMED_OUT = static_cast<int>(QX::ResultCode::TimedOut);
constexpr int UNEXPECTED = static_cast<int>(QX::ResultCode::Unexpected);
constexpr int UNSUPPORTED = static_cast<int>(QX::ResultCode::UnsupportedOperation);

// Requests go in network order with the caller's time-out. Availability asks three times with
// growing waits: a host that answers the second request is taken, a silent one is free. A
// missing facility makes every address free.
TEST(Echo, RequestsAvailabilityAndAMissingFacility) {
    QXTest::FakeEcho script;
    script.answering = {0xC0A8010A};
    EXPECT_EQ(0, QX::PingICMP(0xC0A8010A, 300));
    ASSERT_EQ(1u, script.networkAddresses.size());
    EXPECT_EQ(FakeNetInfo::Net(192, 168, 1, 10), script.networkAddresses[0]);
    EXPECT_EQ((std::vector<DWORD>{300}), script.timeouts);
    EXPECT_EQ(1, script.creates);
    EXPECT_EQ(1, script.closes);
    EXPECT_EQ(script.binds, script.releases);
    script.timeouts.clear();
    script.silentRequests = 1;
    QXTest::TraceCapture capture;
    EXPECT_FALSE(QX::IsAddrAvailable(0xC0A8010A));
    EXPECT_EQ((std::vector<DWORD>{100, 1500}), script.timeouts);
    ASSERT_EQ(1u, capture.Lines().size());
    EXPECT_TRUE(capture.Contains(
        L"QXNET_API IsAddrAvailable(192.168.1.10). IP not available, responds to ping"));
    script.timeouts.clear();
    EXPECT_TRUE(QX::IsAddrAvailable(0xC0A8010C));
    EXPECT_EQ((std::vector<DWORD>{100, 1500, 1500}), script.timeouts);
    EXPECT_EQ(1u, capture.Lines().size());
    EXPECT_EQ(6, script.closes);
    script.networkAddresses.clear();
    script.creates = script.releases = 0;
    script.available = false;
    script.everyAddressAnswers = true;
    EXPECT_EQ(UNSUPPORTED, QX::PingICMP(0xC0A8010A, 300));
    EXPECT_EQ(0, script.creates);
    EXPECT_EQ(0, script.releases);
    EXPECT_TRUE(QX::IsAddrAvailable(0xC0A8010A));
    EXPECT_EQ(0xC0A8010Au, QX::GetAvailableAddress(0xC0A8010A, 0xC0A8010C));
    EXPECT_TRUE(script.networkAddresses.empty());
}

// The search takes the first address that stays silent and never wraps past the last address;
// with no end given it runs on from the start, past its /24, but not from the top octet.
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

// A raw ICMP socket played from a case, in place of the platform's while it lives; it records
// what was sent and how long each wait was.
struct RawCase {
    int openError, sendError, closeError;
    std::vector<int> waits;  // in turn: 1 readable, 0 time-out, -1 failure; then time-outs
    int receiveError;
    int result;
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

// A silent address times out after five attempts, each a fresh request. Any datagram is the
// answer, even one whose receive fails; a failed send goes on to the wait; a failed wait or
// socket ends the ping.
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
            EXPECT_EQ(attempt, request[4]);
            EXPECT_EQ(0u, QX::InternetChecksum(request.data(), request.size()));
            EXPECT_EQ(0x0A01A8C0u, raw.destinations[attempt]);
            EXPECT_EQ(200, raw.waitMicroseconds[attempt]);
        }
    }
}

#if defined(_WIN32)
// The echo call played in place of the system's: its return value, the error it leaves, and the
// status it writes when it returns a reply.
struct SendScript {
    DWORD returned, lastError;
    ULONG status;
} s_send{};

DWORD WINAPI ScriptedSend(HANDLE, IPAddr, LPVOID, WORD, PIP_OPTION_INFORMATION, LPVOID reply, DWORD,
                          DWORD) {
    if (s_send.returned != 0) {
        static_cast<ICMP_ECHO_REPLY*>(reply)->Status = s_send.status;
    }
    SetLastError(s_send.lastError);
    return s_send.returned;
}

// A failed echo call is a failure or, when its error is an IP status, no answer; never an answer,
// so the search cannot take it for a host that answers.
TEST(WindowsEcho, AFailedEchoCallIsNeverAnAnswer) {
    const std::pair<SendScript, int> cases[] = {
        {{0, ERROR_ACCESS_DENIED, 0}, UNSUPPORTED},
        {{0, 0, 0}, UNSUPPORTED},
        {{0, IP_REQ_TIMED_OUT, 0}, 1},
        {{0, IP_DEST_HOST_UNREACHABLE, 0}, 1},
        {{1, 0, IP_SUCCESS}, 0},
        {{1, 0, IP_DEST_NET_UNREACHABLE}, 1},
    };
    QX::IcmpSendEchoEntry previous = QX::SetIcmpSendEchoEntry(&ScriptedSend);
    QXTest::TraceCapture capture;
    for (const auto& [send, expected] : cases) {
        SCOPED_TRACE(testing::Message() << send.returned << " " << send.lastError);
        s_send = send;
        EXPECT_EQ(expected, QX::PingICMP(0x7F000001, 10));
    }
    s_send = {0, ERROR_ACCESS_DENIED, 0};
    EXPECT_EQ(0x7F000002u, QX::GetAvailableAddress(0x7F000002, 0x7F000003));
    QX::SetIcmpSendEchoEntry(previous);
    EXPECT_TRUE(capture.Contains(L"Ping is not available: IcmpSendEcho failed (error 5)"));
}
#endif

}  // namespace
