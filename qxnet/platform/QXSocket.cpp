#include "qxnet/platform/QXSocket.h"

#include <atomic>
#include <cstring>

namespace QX {

namespace {
std::atomic<SocketBackend*> g_backend{nullptr};

SocketBackend& Current() {
    SocketBackend* backend = g_backend.load(std::memory_order_acquire);
    return backend != nullptr ? *backend : SystemSocketBackend();
}
}  // namespace

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

SocketBackend* SetSocketBackend(SocketBackend* backend) {
    return g_backend.exchange(backend, std::memory_order_acq_rel);
}

SocketHandle SocketCreateUdp() {
    return Current().CreateUdp();
}
bool SocketClose(SocketHandle socket) {
    return Current().Close(socket);
}
bool SocketBind(SocketHandle socket, const SocketAddressV4& local) {
    return Current().Bind(socket, local);
}
bool SocketLocalAddress(SocketHandle socket, SocketAddressV4* local) {
    return Current().LocalAddress(socket, local);
}
bool SocketSetOption(SocketHandle socket, SocketOption option, int value) {
    return Current().SetOption(socket, option, value);
}
bool SocketJoinGroup(SocketHandle socket, std::uint32_t group, std::uint32_t interfaceAddress) {
    return Current().JoinGroup(socket, group, interfaceAddress);
}
bool SocketSetMulticastInterface(SocketHandle socket, std::uint32_t interfaceAddress) {
    return Current().SetMulticastInterface(socket, interfaceAddress);
}
SocketWait SocketWaitReadable(SocketHandle socket, std::uint32_t timeoutUs) {
    return Current().WaitReadable(socket, timeoutUs);
}
int SocketSendTo(SocketHandle socket, const void* data, int length, const SocketAddressV4& to) {
    return Current().SendTo(socket, data, length, to);
}
int SocketReceiveFrom(SocketHandle socket, void* buffer, int capacity, SocketAddressV4* from) {
    ReceivedDatagram received{};
    if (!Current().ReceiveFrom(socket, buffer, capacity, &received)) {
        return -1;
    }
    if (from != nullptr) {
        *from = received.from;
    }
    return received.size;
}
bool SocketReceiveWithInterface(SocketHandle socket, void* buffer, int capacity,
                                ReceivedDatagram* received) {
    return Current().ReceiveFrom(socket, buffer, capacity, received);
}

}  // namespace QX
