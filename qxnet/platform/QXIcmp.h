#pragma once

// ICMP echo for the reachability functions: the echo facility (bind, create, send one echo
// with a time-out, close), which may be missing, and a raw ICMP socket for the raw ping. Both
// run on the calling thread, run no callbacks and take no lock; an object serves one call of
// one thread. Error numbers are Winsock's on every platform (10013 access denied, ...).

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "qxnet/QXExport.h"
#include "qxnet/platform/QXSocket.h"
#include "qxnet/platform/QXWinTypes.h"

namespace QX {

// Reply statuses, the IP status numbers of the Windows echo call: success, the ICMP errors
// that can answer an echo request, and the time-out.
constexpr DWORD ECHO_STATUS_SUCCESS = 0, ECHO_STATUS_TIMED_OUT = 11010;
// Destination unreachable, by its codes: network, host, protocol, port, fragmentation needed.
constexpr DWORD ECHO_STATUS_NET_UNREACHABLE = 11002, ECHO_STATUS_HOST_UNREACHABLE = 11003;
constexpr DWORD ECHO_STATUS_PROTOCOL_UNREACHABLE = 11004, ECHO_STATUS_PORT_UNREACHABLE = 11005;
constexpr DWORD ECHO_STATUS_PACKET_TOO_BIG = 11009;
// Time exceeded, parameter problem, and every other failure of the echo itself.
constexpr DWORD ECHO_STATUS_TTL_EXPIRED = 11013, ECHO_STATUS_PARAMETER_PROBLEM = 11015;
constexpr DWORD ECHO_STATUS_GENERAL_FAILURE = 11050;

// True for a status of the IP status range (11001 to 11050): the host did not answer. Any
// other status but success means that the echo call itself failed.
bool IsEchoNoAnswer(DWORD status);

// The reply status of an ICMP error of this type and code (destination unreachable, time
// exceeded, parameter problem).
DWORD IcmpErrorStatus(unsigned type, unsigned code);

// Reads one datagram of a raw ICMP socket (IPv4 header first) against the echo request with
// this identifier and sequence (as the request carries them) sent to a network-order
// destination. True when it concerns that request: an echo reply with a valid checksum, from
// any source (a broadcast is answered from the hosts' own addresses), sets *status to
// ECHO_STATUS_SUCCESS; an ICMP error quoting the request sets the error's status. False for
// anything else: other traffic, corrupt or truncated datagrams.
bool MatchRawEchoDatagram(const unsigned char* data, std::size_t length,
                          std::uint32_t networkDestination, std::uint16_t identifier,
                          std::uint16_t sequence, DWORD* status);

class QXNET_API EchoFacility {
public:
    virtual ~EchoFacility();
    // Makes the facility usable; false when it is not available on this host.
    virtual bool Bind() = 0;
    // An echo handle, or INVALID_HANDLE_VALUE.
    virtual HANDLE Create() = 0;
    // Sends one echo request without data, time-to-live 255, to a network-order address
    // (broadcast addresses too) and waits at most timeoutMs for the reply; returns the reply's
    // status (ECHO_STATUS_SUCCESS when the host answered, a status of the IP status range when
    // it did not, any other number when the call itself failed).
    virtual DWORD SendEcho(HANDLE echo, std::uint32_t networkAddress, DWORD timeoutMs) = 0;
    virtual void Close(HANDLE echo) = 0;
    // Gives the facility back; also when Bind failed, and more than once.
    virtual void Release() = 0;
    // Why the last Bind or SendEcho failed, for a person: the system's error and what would
    // enable ICMP. Empty when nothing failed or nothing is known.
    virtual std::wstring FailureReason() const;
};

// A raw ICMP socket over IPv4; one open at a time per object.
class QXNET_API RawIcmpSocket {
public:
    virtual ~RawIcmpSocket();
    // 0, or the error number when the socket cannot be made.
    virtual int Open() = 0;
    // 0 when the datagram went out, else the error number.
    virtual int SendTo(const unsigned char* data, int length, std::uint32_t networkAddress) = 0;
    // 1 readable, 0 time-out, -1 failure (the error number in *error). An interrupted wait
    // resumes for the time left.
    virtual int WaitReadable(long seconds, long microseconds, int* error) = 0;
    // The datagram's length, or -1 with the error number in *error.
    virtual int ReceiveFrom(unsigned char* buffer, int length, std::uint32_t* networkSource,
                            int* error) = 0;
    // 0, or the error number when closing fails.
    virtual int Close() = 0;
};

// The Internet checksum (RFC 1071) of data: little-endian 16-bit words, an odd last byte in the
// low half of its word, the sum folded twice and complemented.
std::uint16_t InternetChecksum(const unsigned char* data, std::size_t length);

// Where the echo facility and the raw socket come from: the platform's objects, unless a test
// put a backend in place that overrides one or both.
class QXNET_API IcmpBackend {
public:
    // The backend in place: the platform's, unless Set put another there.
    static IcmpBackend& Current();
    // Puts backend in place and returns the one it replaced (null for the platform's); null
    // restores the platform's.
    static IcmpBackend* Set(IcmpBackend* backend);

    virtual ~IcmpBackend();
    virtual std::unique_ptr<EchoFacility> CreateEchoFacility();
    virtual std::unique_ptr<RawIcmpSocket> CreateRawIcmpSocket();
};

// The platform's own objects (posix/ or win/).
std::unique_ptr<EchoFacility> PlatformEchoFacility();
// A raw ICMP socket opened the platform's way, or InvalidSocket with the thread's last socket
// error set; the platform's socket backend works it from there.
SocketHandle PlatformRawIcmpHandle();

}  // namespace QX
