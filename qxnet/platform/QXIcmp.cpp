#include "qxnet/platform/QXIcmp.h"

#include <algorithm>
#include <atomic>
#include <cstring>

#include "qxnet/platform/QXSeam.h"
#include "qxnet/platform/QXSocket.h"

namespace QX {

namespace {
// The base backend creates the platform's objects.
IcmpBackend& PlatformIcmpBackend() {
    static IcmpBackend platform;
    return platform;
}

constexpr std::size_t IPV4_HEADER_MIN = 20;
constexpr std::size_t ICMP_HEADER_SIZE = 8;
constexpr unsigned char IPPROTO_ICMP_NUMBER = 1;
constexpr unsigned ICMP_ECHO_REPLY_TYPE = 0;
constexpr unsigned ICMP_DESTINATION_UNREACHABLE = 3;
constexpr unsigned ICMP_ECHO_REQUEST_TYPE = 8;
constexpr unsigned ICMP_TIME_EXCEEDED = 11;
constexpr unsigned ICMP_PARAMETER_PROBLEM = 12;

// The length of the IPv4 header that data starts with, checked against the bytes there.
bool SkipIpv4Header(const unsigned char* data, std::size_t length, std::size_t* header) {
    if (length < IPV4_HEADER_MIN || (data[0] >> 4) != 4) {
        return false;
    }
    *header = static_cast<std::size_t>(data[0] & 0x0F) * 4;
    return *header >= IPV4_HEADER_MIN && *header <= length;
}

// Whether an echo message (request or reply) carries this identifier and sequence.
bool CarriesEcho(const unsigned char* icmp, std::uint16_t identifier, std::uint16_t sequence) {
    std::uint16_t carriedIdentifier;
    std::uint16_t carriedSequence;
    std::memcpy(&carriedIdentifier, icmp + 4, 2);
    std::memcpy(&carriedSequence, icmp + 6, 2);
    return carriedIdentifier == identifier && carriedSequence == sequence;
}

// The raw socket is the platform's own socket, worked by the platform's socket backend (never a
// replacement put in for tests: those script datagram sockets, not this one). Every answer is in
// the Winsock numbering on every platform.
class SystemRawIcmpSocket : public RawIcmpSocket {
public:
    ~SystemRawIcmpSocket() override { Close(); }

    int Open() override {
        Close();
        m_socket = PlatformRawIcmpHandle();
        return m_socket != InvalidSocket ? 0 : SocketLastError();
    }

    int SendTo(const unsigned char* data, int length, std::uint32_t networkAddress) override {
        SocketAddressV4 to{};
        to.family = AddressFamilyInet;
        to.address = networkAddress;
        SocketBackend* backend = Backend();
        return backend != nullptr && backend->SendTo(m_socket, data, length, to) >= 0
                   ? 0
                   : SocketLastError();
    }

    int WaitReadable(long seconds, long microseconds, int* error) override {
        const long long timeoutUs = static_cast<long long>(seconds) * 1000000 + microseconds;
        SocketBackend* backend = Backend();
        const SocketWait wait =
            backend != nullptr
                ? backend->WaitReadable(m_socket, static_cast<std::uint32_t>(
                                                      std::clamp(timeoutUs, 0LL, 0xFFFFFFFFLL)))
                : SocketWait::Failed;
        switch (wait) {
            case SocketWait::TimedOut:
                return 0;
            case SocketWait::Failed:
                *error = SocketLastError();
                return -1;
            default:  // readable, or the exception condition, which the next receive reports
                return 1;
        }
    }

    int ReceiveFrom(unsigned char* buffer, int length, std::uint32_t* networkSource,
                    int* error) override {
        ReceivedDatagram received{};
        SocketBackend* backend = Backend();
        if (backend == nullptr || !backend->ReceiveFrom(m_socket, buffer, length, &received)) {
            *error = SocketLastError();
            return -1;
        }
        *networkSource = received.from.address;
        // A datagram larger than the buffer gives what fitted, as a plain receive does.
        return std::min(received.size, length);
    }

    int Close() override {
        if (m_socket == InvalidSocket) {
            return 0;
        }
        const bool closed = PlatformSocketBackend().Close(m_socket);
        m_socket = InvalidSocket;
        return closed ? 0 : SocketLastError();
    }

private:
    // The platform's backend while the socket is open; else null, with "not a socket" as the
    // thread's last socket error: a backend is handed only handles that name a socket.
    SocketBackend* Backend() const {
        if (m_socket != InvalidSocket) {
            return &PlatformSocketBackend();
        }
        SetSocketLastError(SocketError::NotSocket);
        return nullptr;
    }

    SocketHandle m_socket = InvalidSocket;
};
}  // namespace

EchoFacility::~EchoFacility() = default;

std::wstring EchoFacility::FailureReason() const {
    return std::wstring();
}
RawIcmpSocket::~RawIcmpSocket() = default;

IcmpBackend::~IcmpBackend() = default;

std::unique_ptr<EchoFacility> IcmpBackend::CreateEchoFacility() {
    return PlatformEchoFacility();
}

std::unique_ptr<RawIcmpSocket> IcmpBackend::CreateRawIcmpSocket() {
    return std::make_unique<SystemRawIcmpSocket>();
}

QX_DEFINE_SEAM(IcmpBackend, PlatformIcmpBackend)

std::uint16_t InternetChecksum(const unsigned char* data, std::size_t length) {
    std::uint32_t sum = 0;
    for (std::size_t i = 0; i + 1 < length; i += 2) {
        sum += static_cast<std::uint32_t>(data[i]) | (static_cast<std::uint32_t>(data[i + 1]) << 8);
    }
    if ((length & 1) != 0) {
        sum += data[length - 1];
    }
    sum = (sum >> 16) + (sum & 0xFFFF);
    sum += sum >> 16;
    return static_cast<std::uint16_t>(~sum & 0xFFFF);
}

bool IsEchoNoAnswer(DWORD status) {
    return status > 11000 && status <= ECHO_STATUS_GENERAL_FAILURE;
}

DWORD IcmpErrorStatus(unsigned type, unsigned code) {
    switch (type) {
        case ICMP_DESTINATION_UNREACHABLE:
            switch (code) {
                case 0:
                    return ECHO_STATUS_NET_UNREACHABLE;
                case 2:
                    return ECHO_STATUS_PROTOCOL_UNREACHABLE;
                case 3:
                    return ECHO_STATUS_PORT_UNREACHABLE;
                case 4:
                    return ECHO_STATUS_PACKET_TOO_BIG;
                default:
                    return ECHO_STATUS_HOST_UNREACHABLE;
            }
        case ICMP_TIME_EXCEEDED:
            return ECHO_STATUS_TTL_EXPIRED;
        case ICMP_PARAMETER_PROBLEM:
            return ECHO_STATUS_PARAMETER_PROBLEM;
        default:
            return ECHO_STATUS_GENERAL_FAILURE;
    }
}

bool MatchRawEchoDatagram(const unsigned char* data, std::size_t length,
                          std::uint32_t networkDestination, std::uint16_t identifier,
                          std::uint16_t sequence, DWORD* status) {
    std::size_t header = 0;
    if (!SkipIpv4Header(data, length, &header)) {
        return false;
    }
    const unsigned char* icmp = data + header;
    std::size_t icmpLength = length - header;
    // The kernel hands a raw socket what arrived, corrupt or not; the checksum over the whole
    // message must come out as 0.
    if (icmpLength < ICMP_HEADER_SIZE || InternetChecksum(icmp, icmpLength) != 0) {
        return false;
    }
    unsigned type = icmp[0];
    if (type == ICMP_ECHO_REPLY_TYPE) {
        if (icmp[1] != 0 || !CarriesEcho(icmp, identifier, sequence)) {
            return false;
        }
        *status = ECHO_STATUS_SUCCESS;
        return true;
    }
    if (type != ICMP_DESTINATION_UNREACHABLE && type != ICMP_TIME_EXCEEDED &&
        type != ICMP_PARAMETER_PROBLEM) {
        return false;
    }
    // An error quotes the offending datagram's IP header and at least 8 bytes after it: our
    // request's type, identifier and sequence, sent to our destination.
    const unsigned char* quoted = icmp + ICMP_HEADER_SIZE;
    std::size_t quotedLength = icmpLength - ICMP_HEADER_SIZE;
    std::size_t quotedHeader = 0;
    if (!SkipIpv4Header(quoted, quotedLength, &quotedHeader) ||
        quotedLength - quotedHeader < ICMP_HEADER_SIZE || quoted[9] != IPPROTO_ICMP_NUMBER) {
        return false;
    }
    std::uint32_t quotedDestination = 0;
    std::memcpy(&quotedDestination, quoted + 16, sizeof quotedDestination);
    const unsigned char* request = quoted + quotedHeader;
    if (quotedDestination != networkDestination || request[0] != ICMP_ECHO_REQUEST_TYPE ||
        !CarriesEcho(request, identifier, sequence)) {
        return false;
    }
    *status = IcmpErrorStatus(type, icmp[1]);
    return true;
}

}  // namespace QX
