#include "qxnet/platform/QXSocket.h"

#include <atomic>
#include <cstring>

#include "qxnet/platform/QXSeam.h"

namespace QX {

namespace {

// A handle that cannot name a socket is refused before any backend sees it, as Winsock refuses a
// handle that is no socket. Descriptors and Windows socket handles alike fit in 31 bits.
bool Refused(SocketHandle socket) {
    if (socket != InvalidSocket && socket <= static_cast<SocketHandle>(0x7FFFFFFF)) {
        return false;
    }
    SetSocketLastError(SocketError::NotSocket);
    return true;
}

bool RefusedArgument(bool refused) {
    if (refused) {
        SetSocketLastError(SocketError::InvalidArgument);
    }
    return refused;
}
}  // namespace

QX_DEFINE_SEAM(SocketBackend, PlatformSocketBackend)

SocketBackend::~SocketBackend() = default;

std::uint16_t HostToNetwork16(std::uint16_t value) {
    const std::uint8_t bytes[2] = {static_cast<std::uint8_t>(value >> 8),
                                   static_cast<std::uint8_t>(value)};
    std::uint16_t result;
    std::memcpy(&result, bytes, sizeof(result));
    return result;
}

std::uint32_t HostToNetwork32(std::uint32_t value) {
    const std::uint8_t bytes[4] = {
        static_cast<std::uint8_t>(value >> 24), static_cast<std::uint8_t>(value >> 16),
        static_cast<std::uint8_t>(value >> 8), static_cast<std::uint8_t>(value)};
    std::uint32_t result;
    std::memcpy(&result, bytes, sizeof(result));
    return result;
}

SocketAddressV4 MakeSocketAddress(std::uint32_t hostOrderAddress, std::uint16_t port) {
    SocketAddressV4 address{};
    address.family = AddressFamilyInet;
    address.port = HostToNetwork16(port);
    address.address = HostToNetwork32(hostOrderAddress);
    return address;
}

SocketHandle SocketCreateUdp() {
    return SocketBackend::Current().CreateUdp();
}
bool SocketClose(SocketHandle socket) {
    return !Refused(socket) && SocketBackend::Current().Close(socket);
}
bool SocketBind(SocketHandle socket, const SocketAddressV4& local) {
    return !Refused(socket) && SocketBackend::Current().Bind(socket, local);
}
bool SocketLocalAddress(SocketHandle socket, SocketAddressV4* local) {
    return !Refused(socket) && SocketBackend::Current().LocalAddress(socket, local);
}
bool SocketSetOption(SocketHandle socket, SocketOption option, int value) {
    return !Refused(socket) && SocketBackend::Current().SetOption(socket, option, value);
}
bool SocketJoinGroup(SocketHandle socket, std::uint32_t group, std::uint32_t interfaceAddress) {
    return !Refused(socket) && SocketBackend::Current().JoinGroup(socket, group, interfaceAddress);
}
bool SocketSetMulticastInterface(SocketHandle socket, std::uint32_t interfaceAddress) {
    return !Refused(socket) &&
           SocketBackend::Current().SetMulticastInterface(socket, interfaceAddress);
}
SocketWait SocketWaitReadable(SocketHandle socket, std::uint32_t timeoutUs) {
    return Refused(socket) ? SocketWait::Failed
                           : SocketBackend::Current().WaitReadable(socket, timeoutUs);
}
int SocketSendTo(SocketHandle socket, const void* data, int length, const SocketAddressV4& to) {
    if (Refused(socket) || RefusedArgument(length < 0)) {
        return -1;
    }
    return SocketBackend::Current().SendTo(socket, data, length, to);
}
int SocketReceiveFrom(SocketHandle socket, void* buffer, int capacity, SocketAddressV4* from) {
    ReceivedDatagram received{};
    if (!SocketReceiveWithInterface(socket, buffer, capacity, &received)) {
        return -1;
    }
    if (from != nullptr) {
        *from = received.from;
    }
    return received.size;
}
bool SocketReceiveWithInterface(SocketHandle socket, void* buffer, int capacity,
                                ReceivedDatagram* received) {
    return !Refused(socket) && !RefusedArgument(capacity < 0 || received == nullptr) &&
           SocketBackend::Current().ReceiveFrom(socket, buffer, capacity, received);
}

}  // namespace QX
