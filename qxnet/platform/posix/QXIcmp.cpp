// ICMP on Linux. The echo facility uses an ICMP datagram socket, which the kernel grants to the
// groups in net.ipv4.ping_group_range, and falls back to a raw ICMP socket (root or
// CAP_NET_RAW); with neither the facility is not available. The raw ping needs the raw socket.

#include "qxnet/platform/QXIcmp.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/ip.h>
#include <poll.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>
#include <cerrno>

#include <atomic>
#include <chrono>
#include <cstring>

namespace QX {

namespace {

// Winsock's numbers for the errors that ICMP sockets meet.
int WinsockError(int error) {
    switch (error) {
        case EINTR:
            return 10004;
        case EBADF:
            return 10009;
        case EACCES:
        case EPERM:
            return 10013;
        case EFAULT:
            return 10014;
        case EINVAL:
            return 10022;
        case EMFILE:
        case ENFILE:
            return 10024;
        case EAGAIN:
            return 10035;
        case EMSGSIZE:
            return 10040;
        case EPROTONOSUPPORT:
            return 10043;
        case EAFNOSUPPORT:
            return 10047;
        case EADDRNOTAVAIL:
            return 10049;
        case ENETDOWN:
            return 10050;
        case ENETUNREACH:
            return 10051;
        case ENOBUFS:
        case ENOMEM:
            return 10055;
        case ETIMEDOUT:
            return 10060;
        case EHOSTUNREACH:
            return 10065;
        default:
            return 10000 + error;
    }
}

std::atomic<std::uint16_t> s_sequence{0};

class LinuxEchoFacility : public EchoFacility {
public:
    ~LinuxEchoFacility() override { Release(); }

    bool Bind() override {
        Release();
        m_raw = false;
        m_socket = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_ICMP);
        if (m_socket < 0) {
            m_raw = true;
            m_socket = socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP);
        }
        if (m_socket < 0) {
            return false;
        }
        int ttl = 255;
        setsockopt(m_socket, IPPROTO_IP, IP_TTL, &ttl, sizeof ttl);
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
            return ECHO_STATUS_TIMED_OUT;
        }
        // The kernel puts its own identifier on a datagram socket's requests and hands it only
        // its own replies; on a raw socket every ICMP datagram arrives and the identifier and
        // sender must be matched here.
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
            return ECHO_STATUS_TIMED_OUT;
        }
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        for (;;) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() < 0) {
                return ECHO_STATUS_TIMED_OUT;
            }
            pollfd wait{m_socket, POLLIN, 0};
            int ready = poll(&wait, 1, static_cast<int>(left.count()));
            if (ready < 0 && errno == EINTR) {
                continue;
            }
            if (ready <= 0) {
                return ECHO_STATUS_TIMED_OUT;
            }
            unsigned char reply[1500];
            sockaddr_in source{};
            socklen_t sourceLength = sizeof source;
            ssize_t length = recvfrom(m_socket, reply, sizeof reply, MSG_DONTWAIT,
                                      reinterpret_cast<sockaddr*>(&source), &sourceLength);
            if (length < 0) {
                continue;
            }
            if (IsReply(reply, static_cast<std::size_t>(length), identifier, sequence) &&
                source.sin_addr.s_addr == networkAddress) {
                return ECHO_STATUS_SUCCESS;
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

private:
    bool IsReply(const unsigned char* data, std::size_t length, std::uint16_t identifier,
                 std::uint16_t sequence) const {
        if (m_raw) {
            if (length < 20) {
                return false;
            }
            std::size_t header = static_cast<std::size_t>(data[0] & 0x0F) * 4;
            if (header < 20 || length < header) {
                return false;
            }
            data += header;
            length -= header;
        }
        if (length < 8 || data[0] != 0 || data[1] != 0) {
            return false;
        }
        std::uint16_t replyIdentifier;
        std::uint16_t replySequence;
        std::memcpy(&replyIdentifier, data + 4, 2);
        std::memcpy(&replySequence, data + 6, 2);
        return replySequence == sequence && (!m_raw || replyIdentifier == identifier);
    }

    int m_socket = -1;
    bool m_raw = false;
};

class LinuxRawIcmpSocket : public RawIcmpSocket {
public:
    ~LinuxRawIcmpSocket() override { Close(); }

    int Open() override {
        Close();
        m_socket = socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP);
        return m_socket >= 0 ? 0 : WinsockError(errno);
    }

    int SendTo(const unsigned char* data, int length, std::uint32_t networkAddress) override {
        sockaddr_in destination{};
        destination.sin_family = AF_INET;
        destination.sin_addr.s_addr = networkAddress;
        ssize_t sent = sendto(m_socket, data, static_cast<std::size_t>(length), 0,
                              reinterpret_cast<sockaddr*>(&destination), sizeof destination);
        return sent < 0 ? WinsockError(errno) : 0;
    }

    int WaitReadable(long seconds, long microseconds, int* error) override {
        if (m_socket < 0 || m_socket >= FD_SETSIZE) {
            *error = WinsockError(EBADF);
            return -1;
        }
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(m_socket, &readable);
        timeval timeout{seconds, microseconds};
        int ready = select(m_socket + 1, &readable, nullptr, nullptr, &timeout);
        if (ready < 0) {
            *error = WinsockError(errno);
            return -1;
        }
        return ready > 0 ? 1 : 0;
    }

    int ReceiveFrom(unsigned char* buffer, int length, std::uint32_t* networkSource,
                    int* error) override {
        sockaddr_in source{};
        socklen_t sourceLength = sizeof source;
        ssize_t received = recvfrom(m_socket, buffer, static_cast<std::size_t>(length), 0,
                                    reinterpret_cast<sockaddr*>(&source), &sourceLength);
        if (received < 0) {
            *error = WinsockError(errno);
            return -1;
        }
        *networkSource = source.sin_addr.s_addr;
        return static_cast<int>(received);
    }

    int Close() override {
        if (m_socket < 0) {
            return 0;
        }
        int result = close(m_socket) == 0 ? 0 : WinsockError(errno);
        m_socket = -1;
        return result;
    }

private:
    int m_socket = -1;
};

}  // namespace

std::unique_ptr<EchoFacility> PlatformEchoFacility() {
    return std::make_unique<LinuxEchoFacility>();
}

std::unique_ptr<RawIcmpSocket> PlatformRawIcmpSocket() {
    return std::make_unique<LinuxRawIcmpSocket>();
}

}  // namespace QX
