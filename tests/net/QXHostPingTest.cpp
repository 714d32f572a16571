// Ping and the free-address search on the real ICMP sockets, against a peer namespace that
// answers as each case needs: the kernel's own echo, or replies crafted by a raw-socket
// responder (from another address, with a corrupt checksum, or an ICMP error).

#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "qxnet/common/QXResult.h"
#include "qxnet/net/QXPing.h"
#include "qxnet/platform/QXIcmp.h"
#include "tests/support/QXNetNamespace.h"
#include "tests/support/QXTraceCapture.h"

namespace {

using QXTest::NetNamespace;

constexpr std::uint32_t PEER = 0x0A4E0102;       // 10.78.1.2, the peer's address
constexpr std::uint32_t ELSEWHERE = 0x0A4E0103;  // 10.78.1.3, an address the peer forges
constexpr std::uint32_t BROADCAST = 0x0A4E01FF;  // 10.78.1.255
constexpr std::uint32_t SILENT = 0x0A4E0163;     // 10.78.1.99: nobody
constexpr int UNSUPPORTED = static_cast<int>(QX::ResultCode::UnsupportedOperation);

std::uint32_t Net(std::uint32_t host) {
    return htonl(host);
}

// How the responder answers each echo request that reaches the peer.
enum class Answer { FromElsewhere, CorruptChecksum, HostUnreachable };

// A raw-socket responder in the peer namespace; the peer's kernel is told to stay silent.
class Responder {
public:
    Responder(const NetNamespace& peer, Answer answer) : m_answer(answer) {
        std::promise<bool> ready;
        std::future<bool> opened = ready.get_future();
        m_thread =
            std::thread([this, &peer, &ready] { peer.Run([this, &ready] { Serve(ready); }); });
        m_valid = opened.get();
    }
    ~Responder() {
        m_stop = true;
        m_thread.join();
    }
    bool Valid() const { return m_valid; }
    int Answered() const { return m_answered; }

private:
    void Serve(std::promise<bool>& ready) {
        int in = socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP);
        int out = socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_RAW);
        ready.set_value(in >= 0 && out >= 0);
        while (in >= 0 && out >= 0 && !m_stop) {
            pollfd wait{in, POLLIN, 0};
            if (poll(&wait, 1, 20) <= 0) {
                continue;
            }
            unsigned char request[1500];
            ssize_t length = recv(in, request, sizeof request, 0);
            std::size_t header = static_cast<std::size_t>(request[0] & 0x0F) * 4;
            if (length < static_cast<ssize_t>(header + 8) || request[header] != 8) {
                continue;
            }
            std::vector<unsigned char> reply =
                Build(request, static_cast<std::size_t>(length), header);
            sockaddr_in to{};
            to.sin_family = AF_INET;
            std::memcpy(&to.sin_addr.s_addr, request + 12, 4);
            // Counted before the answer goes, so that whoever gets the answer sees the count.
            ++m_answered;
            sendto(out, reply.data(), reply.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
        }
        for (int fd : {in, out}) {
            if (fd >= 0) {
                close(fd);
            }
        }
    }

    // The IPv4 datagram that answers request, whose IPv4 header is header bytes long.
    std::vector<unsigned char> Build(const unsigned char* request, std::size_t length,
                                     std::size_t header) const {
        std::vector<unsigned char> icmp;
        if (m_answer == Answer::HostUnreachable) {
            // Type 3 code 1, then the request's header and the start of its ICMP message.
            icmp = {3, 1, 0, 0, 0, 0, 0, 0};
            icmp.insert(icmp.end(), request, request + std::min(length, header + 8));
        } else {
            icmp.assign(request + header, request + length);
            icmp[0] = 0;
        }
        icmp[2] = 0;
        icmp[3] = 0;
        std::uint16_t sum = QX::InternetChecksum(icmp.data(), icmp.size());
        if (m_answer == Answer::CorruptChecksum) {
            sum ^= 0x0101;
        }
        std::memcpy(&icmp[2], &sum, 2);
        // IPv4 header: the kernel fills in the length, identification and checksum.
        std::vector<unsigned char> datagram = {0x45, 0, 0, 0, 0, 0, 0, 0, 64, 1, 0, 0};
        std::uint32_t source = m_answer == Answer::FromElsewhere ? Net(ELSEWHERE) : Net(PEER);
        datagram.resize(20);
        std::memcpy(&datagram[12], &source, 4);
        std::memcpy(&datagram[16], request + 12, 4);
        datagram.insert(datagram.end(), icmp.begin(), icmp.end());
        return datagram;
    }

    Answer m_answer;
    std::thread m_thread;
    std::atomic<bool> m_stop{false};
    std::atomic<int> m_answered{0};
    bool m_valid = false;
};

class HostPing : public testing::Test {
protected:
    void SetUp() override {
        if (!NetNamespace::Available()) {
            GTEST_SKIP() << "network namespaces need root and the ip tool";
        }
        m_host = std::make_unique<NetNamespace>("qxping-host");
        m_peer = std::make_unique<NetNamespace>("qxping-peer");
        ASSERT_TRUE(m_host->Valid() && m_peer->Valid());
        ASSERT_TRUE(NetNamespace::Link(*m_host, "veth0", "10.78.1.1/24 brd 10.78.1.255", *m_peer,
                                       "veth1", "10.78.1.2/24 brd 10.78.1.255"));
        // Resolve the peer's link address once, so that every wait is about ICMP only.
        ASSERT_EQ(0, m_host->Exec("ping -c 1 -W 2 10.78.1.2 >/dev/null"));
    }

    // The two Linux paths of the echo facility: a raw socket where no group may use ICMP
    // datagram sockets (a new namespace's default), the datagram socket where all may.
    void UsePath(bool datagram) {
        ASSERT_EQ(0, m_host->Exec(std::string("sysctl -q -w net.ipv4.ping_group_range=\"") +
                                  (datagram ? "0 2147483647" : "1 0") + "\""));
    }

    int PingFromHost(std::uint32_t address, std::uint32_t timeoutMs) {
        int result = -1;
        m_host->Run([&] { result = QX::PingICMP(address, timeoutMs); });
        return result;
    }

    std::unique_ptr<NetNamespace> m_host;
    std::unique_ptr<NetNamespace> m_peer;
};

// Replies are matched by identifier and sequence, checksums checked on both paths, and an ICMP
// error that quotes the request ends the wait with the result of a time-out.
TEST_F(HostPing, CraftedAnswersGiveTheSameResultOnBothPaths) {
    ASSERT_EQ(0, m_peer->Exec("sysctl -q -w net.ipv4.icmp_echo_ignore_all=1"));
    struct Case {
        Answer answer;
        int expected;
    };
    const Case cases[] = {
        {Answer::FromElsewhere, 0},
        {Answer::CorruptChecksum, 1},
        {Answer::HostUnreachable, 1},
    };
    // Long enough that an error waited out cannot pass for one that ended the wait.
    constexpr std::uint32_t TIMEOUT_MS = 20000;
    for (bool datagram : {false, true}) {
        UsePath(datagram);
        for (const Case& c : cases) {
            SCOPED_TRACE(testing::Message() << "answer " << static_cast<int>(c.answer)
                                            << (datagram ? ", datagram path" : ", raw path"));
            Responder responder(*m_peer, c.answer);
            ASSERT_TRUE(responder.Valid());
            std::uint32_t timeout =
                c.expected == 0 || c.answer == Answer::HostUnreachable ? TIMEOUT_MS : 2000;
            auto start = std::chrono::steady_clock::now();
            EXPECT_EQ(c.expected, PingFromHost(PEER, timeout));
            auto took = std::chrono::steady_clock::now() - start;
            EXPECT_GE(responder.Answered(), 1);
            if (timeout == TIMEOUT_MS) {
                EXPECT_LT(took, std::chrono::milliseconds(TIMEOUT_MS / 2));
            }
        }
    }
}

// A broadcast address is pinged, and answered from the hosts' own addresses; the search then
// does not take it for free.
TEST_F(HostPing, BroadcastAddressAnswersWhenHostsAnswerBroadcasts) {
    for (bool datagram : {false, true}) {
        SCOPED_TRACE(datagram ? "datagram path" : "raw path");
        UsePath(datagram);
        ASSERT_EQ(0, m_peer->Exec("sysctl -q -w net.ipv4.icmp_echo_ignore_broadcasts=1"));
        EXPECT_EQ(1, PingFromHost(BROADCAST, 300));
        ASSERT_EQ(0, m_peer->Exec("sysctl -q -w net.ipv4.icmp_echo_ignore_broadcasts=0"));
        EXPECT_EQ(0, PingFromHost(BROADCAST, 2000));
        std::uint32_t found = 1;
        m_host->Run([&] { found = QX::GetAvailableAddress(BROADCAST, BROADCAST); });
        EXPECT_EQ(0u, found);
    }
}

// Select cannot wait for a descriptor at or above FD_SETSIZE; the raw ping must still work in
// a process that holds that many.
TEST_F(HostPing, RawPingWorksWithManyDescriptorsOpen) {
    rlimit limit{};
    ASSERT_EQ(0, getrlimit(RLIMIT_NOFILE, &limit));
    rlimit saved = limit;
    constexpr rlim_t WANTED = 1200;
    if (limit.rlim_max < WANTED) {
        GTEST_SKIP() << "the hard descriptor limit is below " << WANTED;
    }
    limit.rlim_cur = WANTED;
    ASSERT_EQ(0, setrlimit(RLIMIT_NOFILE, &limit));
    std::vector<int> held;
    for (int fd = open("/dev/null", O_RDONLY | O_CLOEXEC); fd >= 0 && fd < 1100;
         fd = open("/dev/null", O_RDONLY | O_CLOEXEC)) {
        held.push_back(fd);
    }
    int answered = -1;
    int silent = -1;
    m_host->Run([&] {
        answered = QX::Ping(Net(PEER));
        silent = QX::Ping(Net(SILENT));
    });
    for (int fd : held) {
        close(fd);
    }
    setrlimit(RLIMIT_NOFILE, &saved);
    EXPECT_GE(held.size(), 1000u);
    EXPECT_EQ(0, answered);
    EXPECT_EQ(static_cast<int>(QX::ResultCode::TimedOut), silent);
}

// As nobody, with no group allowed ICMP datagram sockets, ping is not available: the first
// failure of the process says why, once.
TEST_F(HostPing, UnprivilegedUserIsToldWhyPingIsMissing) {
    UsePath(false);
    std::vector<int> results;
    QXTest::TraceCapture capture;
    m_host->Run([&] {
        // The thread alone becomes nobody: raw system calls change one thread's credentials,
        // and leaving root's user drops its capabilities.
        ASSERT_EQ(0, syscall(SYS_setgroups, 0, nullptr));
        ASSERT_EQ(0, syscall(SYS_setresgid, 65534, 65534, 65534));
        ASSERT_EQ(0, syscall(SYS_setresuid, 65534, 65534, 65534));
        results.push_back(QX::PingICMP(PEER, 300));
        results.push_back(QX::PingICMP(PEER, 300));
    });
    EXPECT_EQ((std::vector<int>{UNSUPPORTED, UNSUPPORTED}), results);
    int reasons = 0;
    for (const std::wstring& line : capture.Lines()) {
        if (line.find(L"Ping is not available") != std::wstring::npos) {
            ++reasons;
            EXPECT_NE(std::wstring::npos, line.find(L"net.ipv4.ping_group_range")) << line.size();
            EXPECT_NE(std::wstring::npos, line.find(L"CAP_NET_RAW"));
            EXPECT_NE(std::wstring::npos, line.find(L"errno 13"));
        }
    }
    EXPECT_EQ(1, reasons);
}

}  // namespace
