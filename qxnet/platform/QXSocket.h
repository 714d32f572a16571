#pragma once

// The socket layer: IPv4 datagram sockets in the library's own vocabulary. On Windows each call
// is the Winsock 2 call; on Linux the BSD socket call. Errors are told through the calling
// thread's last socket error, always in Winsock numbering (SocketError below), so messages and
// results read the same on every platform.
//
// Seam: SocketBackend::Set puts another implementation (a scripted source of datagrams, a
// recording sink) in place of the platform's for the whole process; every function below then
// goes to it. Tests and fuzz targets use it to drive the clients without a network. Handles and
// arguments are checked once, before any backend sees them.

#include <cstdint>

#include "qxnet/QXExport.h"

namespace QX {

// A socket handle; a Windows SOCKET on Windows, a descriptor elsewhere. Absent: InvalidSocket.
typedef std::uintptr_t SocketHandle;
constexpr SocketHandle InvalidSocket = ~static_cast<SocketHandle>(0);

constexpr std::uint16_t AddressFamilyInet = 2;

// An IPv4 socket address with the layout of the system's record (16 bytes): family, then port and
// address in network byte order, then 8 zero bytes.
struct SocketAddressV4 {
    std::uint16_t family;
    std::uint16_t port;     // network byte order
    std::uint32_t address;  // network byte order
    std::uint8_t zero[8];
};
static_assert(sizeof(SocketAddressV4) == 16, "SocketAddressV4 keeps the system's layout");

// Byte-order helpers for the two fields above.
QXNET_API std::uint16_t HostToNetwork16(std::uint16_t value);
QXNET_API std::uint32_t HostToNetwork32(std::uint32_t value);
inline std::uint16_t NetworkToHost16(std::uint16_t value) {
    return HostToNetwork16(value);
}
inline std::uint32_t NetworkToHost32(std::uint32_t value) {
    return HostToNetwork32(value);
}

// A zeroed address of family AF_INET from a host-order address and port.
QXNET_API SocketAddressV4 MakeSocketAddress(std::uint32_t hostOrderAddress, std::uint16_t port);

// Winsock error numbers; the Linux backend maps errno to them in one table.
namespace SocketError {
// Calls that cannot go ahead as made.
constexpr int Interrupted = 10004, AccessDenied = 10013, Fault = 10014, InvalidArgument = 10022;
constexpr int TooManyOpen = 10024, WouldBlock = 10035, NotSocket = 10038;
// Requests that the socket or its protocol does not take.
constexpr int DestinationRequired = 10039, MessageTooLong = 10040, ProtocolOption = 10042;
constexpr int ProtocolNotSupported = 10043, OperationNotSupported = 10045;
constexpr int FamilyNotSupported = 10047;
// The addresses and the network.
constexpr int AddressInUse = 10048, AddressNotAvailable = 10049, NetworkDown = 10050;
constexpr int NetworkUnreachable = 10051, ConnectionReset = 10054, NoBufferSpace = 10055;
constexpr int NotConnected = 10057, TimedOut = 10060;
constexpr int ConnectionRefused = 10061, HostUnreachable = 10065;
}  // namespace SocketError

// The calling thread's last socket error (Winsock numbering).
QXNET_API int SocketLastError();
QXNET_API void SetSocketLastError(int error);

// Start and end of the socket layer, counted: each successful start needs one end. The start
// returns 0 or the layer's error number (Windows: WSAStartup asking for version 1.1; elsewhere
// there is nothing to start and it returns 0).
QXNET_API int SocketLayerStart();
QXNET_API void SocketLayerEnd();

// The options that the clients set. Values are ints; the boolean ones take 0 or 1.
enum class SocketOption {
    Broadcast,      // SO_BROADCAST
    ReceiveBuffer,  // SO_RCVBUF, bytes
    ReuseAddress,   // SO_REUSEADDR
    MulticastTtl,   // IP_MULTICAST_TTL
    MulticastLoop,  // IP_MULTICAST_LOOP
    PacketInfo,     // IP_PKTINFO: lets SocketReceiveWithInterface tell the arrival interface
    // SO_RCVBUFFORCE: a receive buffer past the system's cap (net.core.rmem_max); Linux only and
    // only with CAP_NET_ADMIN (refused with AccessDenied without it). Windows has no cap to pass
    // and refuses it with ProtocolOption.
    ReceiveBufferForce,
    // SO_RXQ_OVFL: receptions tell how many datagrams the system dropped on this socket for want
    // of buffer (ReceivedDatagram::dropped). Linux only; Windows refuses it with ProtocolOption.
    DropCount,
};

enum class SocketWait {
    Readable,   // a datagram (or an error report) is waiting
    Exception,  // the exception condition is set on the socket
    TimedOut,
    Failed,  // the wait itself failed; the last socket error says why
};

// What reception reports about one datagram. size is the datagram's full size: above the
// capacity offered means that it did not fit (the bytes that did are in the buffer), so that
// callers can refuse it instead of taking a cut datagram for a whole one.
struct ReceivedDatagram {
    int size;
    SocketAddressV4 from;
    std::uint32_t destination;     // the address it was sent to, network order; 0 unknown
    std::uint32_t interfaceIndex;  // index of the interface it arrived on; 0 unknown
    // With DropCount set: datagrams the system dropped on this socket since it was opened, up to
    // this one's arrival (a drop is told with the next datagram that gets in); else 0.
    std::uint32_t dropped;
};

// The operations of a socket implementation. Failures set the last socket error; SocketHandle
// results are InvalidSocket and int results -1 on failure, bool results false. A backend is
// handed only handles that can name a socket, non-negative lengths and capacities, and a
// ReceivedDatagram to fill.
class QXNET_API SocketBackend {
public:
    // The backend in place: the platform's, unless Set put another there.
    static SocketBackend& Current();
    // Puts backend in place for the whole process and returns the one it replaced (null for the
    // platform's); null restores the platform's. The caller keeps the backend alive while it is
    // in place and swaps it only while no socket is in use.
    static SocketBackend* Set(SocketBackend* backend);

    virtual ~SocketBackend();
    virtual SocketHandle CreateUdp() = 0;
    virtual bool Close(SocketHandle socket) = 0;
    virtual bool Bind(SocketHandle socket, const SocketAddressV4& local) = 0;
    virtual bool LocalAddress(SocketHandle socket, SocketAddressV4* local) = 0;
    virtual bool SetOption(SocketHandle socket, SocketOption option, int value) = 0;
    // Joins a multicast group on the interface with the given address (both network order).
    virtual bool JoinGroup(SocketHandle socket, std::uint32_t group,
                           std::uint32_t interfaceAddress) = 0;
    // Chooses the interface (its address, network order) that multicast datagrams leave by.
    virtual bool SetMulticastInterface(SocketHandle socket, std::uint32_t interfaceAddress) = 0;
    // Waits at most timeoutUs microseconds for the socket to become readable or to show the
    // exception condition.
    virtual SocketWait WaitReadable(SocketHandle socket, std::uint32_t timeoutUs) = 0;
    // Sends one datagram; returns the bytes sent or -1.
    virtual int SendTo(SocketHandle socket, const void* data, int length,
                       const SocketAddressV4& to) = 0;
    // Receives one datagram into at most capacity bytes; returns false on failure. destination
    // and interfaceIndex are filled when PacketInfo is set on the socket, else they are 0.
    virtual bool ReceiveFrom(SocketHandle socket, void* buffer, int capacity,
                             ReceivedDatagram* received) = 0;
};

// The platform's own backend (posix/ or win/).
SocketBackend& PlatformSocketBackend();

// The socket operations, through the backend in place.
QXNET_API SocketHandle SocketCreateUdp();
QXNET_API bool SocketClose(SocketHandle socket);
QXNET_API bool SocketBind(SocketHandle socket, const SocketAddressV4& local);
QXNET_API bool SocketLocalAddress(SocketHandle socket, SocketAddressV4* local);
QXNET_API bool SocketSetOption(SocketHandle socket, SocketOption option, int value);
QXNET_API bool SocketJoinGroup(SocketHandle socket, std::uint32_t group,
                               std::uint32_t interfaceAddress);
QXNET_API bool SocketSetMulticastInterface(SocketHandle socket, std::uint32_t interfaceAddress);
QXNET_API SocketWait SocketWaitReadable(SocketHandle socket, std::uint32_t timeoutUs);
QXNET_API int SocketSendTo(SocketHandle socket, const void* data, int length,
                           const SocketAddressV4& to);
// Receives one datagram; returns its full size (see ReceivedDatagram) or -1, and fills from.
QXNET_API int SocketReceiveFrom(SocketHandle socket, void* buffer, int capacity,
                                SocketAddressV4* from);
QXNET_API bool SocketReceiveWithInterface(SocketHandle socket, void* buffer, int capacity,
                                          ReceivedDatagram* received);

}  // namespace QX
