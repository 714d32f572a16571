#pragma once

// ICMP echo for the reachability functions: the echo facility (bind, create, send one echo
// with a time-out, close), which may be missing, and a raw ICMP socket for the raw ping. Both
// run on the calling thread, run no callbacks and take no lock; an object serves one call of
// one thread. Error numbers are Winsock's on every platform (10013 access denied, ...).

#include <cstddef>
#include <cstdint>
#include <memory>

#include "qxnet/QXExport.h"
#include "qxnet/platform/QXWinTypes.h"

namespace QX {

// The reply status of a successful echo, and of one that timed out.
constexpr DWORD ECHO_STATUS_SUCCESS = 0;
constexpr DWORD ECHO_STATUS_TIMED_OUT = 11010;

class QXNET_API EchoFacility {
public:
    virtual ~EchoFacility();
    // Makes the facility usable; false when it is not available on this host.
    virtual bool Bind() = 0;
    // An echo handle, or INVALID_HANDLE_VALUE.
    virtual HANDLE Create() = 0;
    // Sends one echo request without data, time-to-live 255, to a network-order address and
    // waits at most timeoutMs for the reply; returns the reply's status (ECHO_STATUS_SUCCESS
    // when the host answered).
    virtual DWORD SendEcho(HANDLE echo, std::uint32_t networkAddress, DWORD timeoutMs) = 0;
    virtual void Close(HANDLE echo) = 0;
    // Gives the facility back; also when Bind failed, and more than once.
    virtual void Release() = 0;
};

// A raw ICMP socket over IPv4; one open at a time per object.
class QXNET_API RawIcmpSocket {
public:
    virtual ~RawIcmpSocket();
    // 0, or the error number when the socket cannot be made.
    virtual int Open() = 0;
    // 0 when the datagram went out, else the error number.
    virtual int SendTo(const unsigned char* data, int length, std::uint32_t networkAddress) = 0;
    // 1 readable, 0 time-out, -1 failure (the error number in *error).
    virtual int WaitReadable(long seconds, long microseconds, int* error) = 0;
    // The datagram's length, or -1 with the error number in *error.
    virtual int ReceiveFrom(unsigned char* buffer, int length, std::uint32_t* networkSource,
                            int* error) = 0;
    // 0, or the error number when closing fails.
    virtual int Close() = 0;
};

// Factories of the platform's objects; a test puts its own in place (null restores them).
// The Internet checksum (RFC 1071) of data: little-endian 16-bit words, an odd last byte in the
// low half of its word, the sum folded twice and complemented.
std::uint16_t InternetChecksum(const unsigned char* data, std::size_t length);

typedef std::unique_ptr<EchoFacility> (*EchoFacilityFactory)();
typedef std::unique_ptr<RawIcmpSocket> (*RawIcmpSocketFactory)();
QXNET_API std::unique_ptr<EchoFacility> CreateEchoFacility();
QXNET_API std::unique_ptr<RawIcmpSocket> CreateRawIcmpSocket();
QXNET_API EchoFacilityFactory SetEchoFacilityFactory(EchoFacilityFactory factory);
QXNET_API RawIcmpSocketFactory SetRawIcmpSocketFactory(RawIcmpSocketFactory factory);

// The platform's own objects (posix/ or win/).
std::unique_ptr<EchoFacility> PlatformEchoFacility();
std::unique_ptr<RawIcmpSocket> PlatformRawIcmpSocket();

}  // namespace QX
