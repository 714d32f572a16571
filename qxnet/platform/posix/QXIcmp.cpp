// ICMP on Linux. The echo facility uses an ICMP datagram socket, which the kernel grants to the
// groups in net.ipv4.ping_group_range, and falls back to a raw ICMP socket (root or
// CAP_NET_RAW); with neither the facility is not available. The raw ping needs the raw socket.

#include "qxnet/platform/QXIcmp.h"

#include <arpa/inet.h>
#include <linux/errqueue.h>
#include <netinet/in.h>
#include <netinet/ip.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>
#include <cerrno>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>

#include "qxnet/platform/QXUtf8.h"
#include "qxnet/platform/posix/QXSystemError.h"

namespace QX {

namespace {

std::atomic<std::uint16_t> s_sequence{0};

// Waits until fd has one of events or the deadline passes; an interrupted wait resumes for the
// time left. ppoll keeps the microseconds of short waits. 1 with *revents set, 0 time-out, -1
// failure (errno set).
int WaitUntil(int fd, short events, std::chrono::steady_clock::time_point deadline,
              short* revents) {
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() < 0) {
            left = std::chrono::nanoseconds(0);
        }
        timespec timeout{static_cast<time_t>(left.count() / 1000000000),
                         static_cast<long>(left.count() % 1000000000)};
        pollfd wait{fd, events, 0};
        int ready = ppoll(&wait, 1, &timeout, nullptr);
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready > 0) {
            *revents = wait.revents;
        }
        return ready;
    }
}

std::string ErrorText(int error) {
    char buffer[128];
    // The GNU strerror_r returns its text, which need not be in the buffer.
    return std::to_string(error) + ", " + strerror_r(error, buffer, sizeof buffer);
}

// The reply status that a failed send means: routing errors say the host cannot be reached,
// as the Windows echo call reports them; anything else is a general failure of the request.
DWORD SendFailureStatus(int error) {
    switch (error) {
        case ENETUNREACH:
        case ENETDOWN:
            return ECHO_STATUS_NET_UNREACHABLE;
        case EHOSTUNREACH:
        case EHOSTDOWN:
            return ECHO_STATUS_HOST_UNREACHABLE;
        default:
            return ECHO_STATUS_GENERAL_FAILURE;
    }
}

class LinuxEchoFacility : public EchoFacility {
public:
    ~LinuxEchoFacility() override { Release(); }

    bool Bind() override {
        Release();
        m_raw = false;
        m_socket = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_ICMP);
        int datagramError = errno;
        if (m_socket < 0) {
            m_raw = true;
            m_socket = socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP);
        }
        if (m_socket < 0) {
            std::string rawError = ErrorText(errno);
            m_failure =
                L"ICMP is not available to this process: an ICMP datagram socket was "
                L"refused (errno " +
                FromUtf8(ErrorText(datagramError).c_str()) +
                L") and a raw ICMP socket too (errno " + FromUtf8(rawError.c_str()) +
                L"); a group of the process in net.ipv4.ping_group_range, or "
                L"CAP_NET_RAW, would enable it";
            return false;
        }
        int ttl = 255;
        int on = 1;
        setsockopt(m_socket, IPPROTO_IP, IP_TTL, &ttl, sizeof ttl);
        // Broadcast destinations send: every host of the subnet may answer.
        setsockopt(m_socket, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
        if (!m_raw) {
            // The kernel reports the ICMP errors that answer a datagram socket's requests
            // through the error queue only.
            setsockopt(m_socket, IPPROTO_IP, IP_RECVERR, &on, sizeof on);
        }
        return true;
    }

    HANDLE Create() override {
        // The bound socket is the echo handle; the facility owns it until Release.
        return m_socket >= 0 ? reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(m_socket))
                             : INVALID_HANDLE_VALUE;
    }

    DWORD SendEcho(HANDLE echo, std::uint32_t networkAddress, DWORD timeoutMs) override {
        int fd = static_cast<int>(reinterpret_cast<std::intptr_t>(echo));
        if (echo == INVALID_HANDLE_VALUE || fd != m_socket) {
            return ECHO_STATUS_GENERAL_FAILURE;
        }
        // The kernel puts its own identifier on a datagram socket's requests and hands it only
        // its own replies; on a raw socket every ICMP datagram arrives and the identifier must
        // be matched here. Replies are matched by identifier and sequence, not by sender.
        std::uint16_t identifier = static_cast<std::uint16_t>(getpid() & 0xFFFF);
        std::uint16_t sequence = ++s_sequence;
        unsigned char request[8] = {8, 0, 0, 0};
        std::memcpy(request + 4, &identifier, 2);
        std::memcpy(request + 6, &sequence, 2);
        std::uint16_t sum = InternetChecksum(request, sizeof request);
        std::memcpy(request + 2, &sum, 2);

        sockaddr_in destination{};
        destination.sin_family = AF_INET;
        destination.sin_addr.s_addr = networkAddress;
        if (sendto(m_socket, request, sizeof request, 0, reinterpret_cast<sockaddr*>(&destination),
                   sizeof destination) < 0) {
            return SendFailureStatus(errno);
        }
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        for (;;) {
            short revents = 0;
            if (WaitUntil(m_socket, POLLIN, deadline, &revents) <= 0) {
                return ECHO_STATUS_TIMED_OUT;
            }
            DWORD status = ECHO_STATUS_TIMED_OUT;
            if ((revents & POLLERR) != 0 && QueuedError(sequence, &status)) {
                return status;
            }
            if ((revents & POLLIN) != 0 &&
                ReceivedAnswer(networkAddress, identifier, sequence, &status)) {
                return status;
            }
        }
    }

    void Close(HANDLE) override {}

    void Release() override {
        if (m_socket >= 0) {
            close(m_socket);
            m_socket = -1;
        }
    }

    std::wstring FailureReason() const override { return m_failure; }

private:
    // Reads one datagram; true when it answers the request (a reply, or on the raw socket an
    // ICMP error quoting the request).
    bool ReceivedAnswer(std::uint32_t destination, std::uint16_t identifier, std::uint16_t sequence,
                        DWORD* status) const {
        unsigned char reply[1500];
        ssize_t length = recv(m_socket, reply, sizeof reply, MSG_DONTWAIT);
        if (length < 0) {
            return false;
        }
        if (m_raw) {
            return MatchRawEchoDatagram(reply, static_cast<std::size_t>(length), destination,
                                        identifier, sequence, status);
        }
        // The kernel checked the checksum and the identifier of what a datagram socket gets.
        std::uint16_t replySequence;
        if (length < 8 || reply[0] != 0 || reply[1] != 0) {
            return false;
        }
        std::memcpy(&replySequence, reply + 6, 2);
        if (replySequence != sequence) {
            return false;
        }
        *status = ECHO_STATUS_SUCCESS;
        return true;
    }

    // Reads one entry of the error queue, where a datagram socket gets its ICMP errors; true
    // when it is an ICMP error that quotes the request.
    bool QueuedError(std::uint16_t sequence, DWORD* status) const {
        unsigned char quoted[64];
        alignas(cmsghdr) unsigned char control[256];
        iovec data{quoted, sizeof quoted};
        msghdr message{};
        message.msg_iov = &data;
        message.msg_iovlen = 1;
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        ssize_t length = recvmsg(m_socket, &message, MSG_ERRQUEUE | MSG_DONTWAIT);
        if (length < 0) {
            // A pending error without a queued report (a raw socket's hard error) would keep
            // the wait waking; reading it clears it.
            int pending = 0;
            socklen_t size = sizeof pending;
            getsockopt(m_socket, SOL_SOCKET, SO_ERROR, &pending, &size);
            return false;
        }
        if (length < 8 || quoted[0] != 8) {
            return false;
        }
        std::uint16_t quotedSequence;
        std::memcpy(&quotedSequence, quoted + 6, 2);
        for (cmsghdr* item = CMSG_FIRSTHDR(&message); item != nullptr;
             item = CMSG_NXTHDR(&message, item)) {
            if (item->cmsg_level != IPPROTO_IP || item->cmsg_type != IP_RECVERR) {
                continue;
            }
            sock_extended_err error;
            std::memcpy(&error, CMSG_DATA(item), sizeof error);
            if (error.ee_origin == SO_EE_ORIGIN_ICMP && quotedSequence == sequence) {
                *status = IcmpErrorStatus(error.ee_type, error.ee_code);
                return true;
            }
        }
        return false;
    }

    int m_socket = -1;
    bool m_raw = false;
    std::wstring m_failure;
};

}  // namespace

std::unique_ptr<EchoFacility> PlatformEchoFacility() {
    return std::make_unique<LinuxEchoFacility>();
}

SocketHandle PlatformRawIcmpHandle() {
    const int fd = socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP);
    if (fd < 0) {
        SetSocketLastError(WinsockErrorFromErrno(errno));
        return InvalidSocket;
    }
    return static_cast<SocketHandle>(fd);
}

}  // namespace QX
