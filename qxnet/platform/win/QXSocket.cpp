#include "qxnet/platform/QXSocket.h"

#include "qxnet/platform/QXSystemSocket.h"
#include "qxnet/platform/QXWinTypes.h"

#include <mswsock.h>
#include <ws2tcpip.h>

#include <atomic>
#include <cstring>

namespace QX {

namespace {

SOCKET Native(SocketHandle socket) {
    return static_cast<SOCKET>(socket);
}

// WSARecvMsg is reached through its extension pointer; it is the only receive that reports the
// packet information of IP_PKTINFO. The pointer belongs to the provider, which is the same for
// every IPv4 datagram socket, so it is asked for once, on the first socket that receives; a
// failed look-up is tried again on a later receive (recvfrom serves meanwhile).
LPFN_WSARECVMSG RecvMsgFunction(SOCKET socket) {
    static std::atomic<LPFN_WSARECVMSG> cached{nullptr};
    LPFN_WSARECVMSG function = cached.load(std::memory_order_acquire);
    if (function != nullptr) {
        return function;
    }
    GUID id = WSAID_WSARECVMSG;
    DWORD bytes = 0;
    if (WSAIoctl(socket, SIO_GET_EXTENSION_FUNCTION_POINTER, &id, sizeof(id), &function,
                 sizeof(function), &bytes, nullptr, nullptr) != 0) {
        return nullptr;
    }
    cached.store(function, std::memory_order_release);
    return function;
}

class WinSocketBackend final : public SystemSocketBackend {
public:
    SocketHandle CreateUdp() override {
        const SOCKET socket = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
        if (socket == INVALID_SOCKET) {
            return InvalidSocket;
        }
        // After an ICMP port-unreachable for one of its datagrams, a Windows UDP socket fails
        // its next receive with WSAECONNRESET; Linux reports nothing on an unconnected socket.
        // A camera's stale transfer port, or a broadcast that reaches a host without the
        // service, would then end a read or a collection with a failure where Linux times out
        // and tries again. The report is turned off so that both behave alike; a provider
        // without the control keeps it (the socket is still usable).
        BOOL report = FALSE;
        DWORD bytes = 0;
        WSAIoctl(socket, SIO_UDP_CONNRESET, &report, sizeof(report), nullptr, 0, &bytes, nullptr,
                 nullptr);
        return static_cast<SocketHandle>(socket);
    }

    bool Close(SocketHandle socket) override { return closesocket(Native(socket)) == 0; }

    bool Bind(SocketHandle socket, const SocketAddressV4& local) override {
        const sockaddr_in system = ToSystem(local);
        return ::bind(Native(socket), reinterpret_cast<const sockaddr*>(&system), sizeof(system)) ==
               0;
    }

    bool LocalAddress(SocketHandle socket, SocketAddressV4* local) override {
        sockaddr_in system{};
        int size = sizeof(system);
        if (getsockname(Native(socket), reinterpret_cast<sockaddr*>(&system), &size) != 0) {
            return false;
        }
        *local = FromSystem(system);
        return true;
    }

    SocketWait WaitReadable(SocketHandle socket, std::uint32_t timeoutUs) override {
        fd_set readable;
        fd_set exceptional;
        FD_ZERO(&readable);
        FD_ZERO(&exceptional);
        FD_SET(Native(socket), &readable);
        FD_SET(Native(socket), &exceptional);
        timeval timeout{static_cast<long>(timeoutUs / 1000000),
                        static_cast<long>(timeoutUs % 1000000)};
        const int ready = select(0, &readable, nullptr, &exceptional, &timeout);
        if (ready == SOCKET_ERROR) {
            return SocketWait::Failed;
        }
        if (ready == 0) {
            return SocketWait::TimedOut;
        }
        if (FD_ISSET(Native(socket), &exceptional)) {
            return SocketWait::Exception;
        }
        return SocketWait::Readable;
    }

    int SendTo(SocketHandle socket, const void* data, int length,
               const SocketAddressV4& to) override {
        const sockaddr_in system = ToSystem(to);
        const int sent = sendto(Native(socket), static_cast<const char*>(data), length, 0,
                                reinterpret_cast<const sockaddr*>(&system), sizeof(system));
        return sent == SOCKET_ERROR ? -1 : sent;
    }

    bool ReceiveFrom(SocketHandle socket, void* buffer, int capacity,
                     ReceivedDatagram* received) override {
        *received = ReceivedDatagram{};
        sockaddr_in sender{};
        int size = -1;
        bool cut = false;
        const LPFN_WSARECVMSG recvMsg = RecvMsgFunction(Native(socket));
        if (recvMsg != nullptr) {
            WSABUF vector{static_cast<ULONG>(capacity), static_cast<char*>(buffer)};
            char control[WSA_CMSG_SPACE(sizeof(IN_PKTINFO))] = {};
            WSAMSG message{};
            message.name = reinterpret_cast<sockaddr*>(&sender);
            message.namelen = sizeof(sender);
            message.lpBuffers = &vector;
            message.dwBufferCount = 1;
            message.Control.buf = control;
            message.Control.len = sizeof(control);
            DWORD bytes = 0;
            if (recvMsg(Native(socket), &message, &bytes, nullptr, nullptr) != 0) {
                if (WSAGetLastError() != WSAEMSGSIZE) {
                    return false;
                }
                cut = true;
            }
            size = static_cast<int>(bytes);
            cut = cut || (message.dwFlags & MSG_TRUNC) != 0;
            for (WSACMSGHDR* header = WSA_CMSG_FIRSTHDR(&message); header != nullptr;
                 header = WSA_CMSG_NXTHDR(&message, header)) {
                if (header->cmsg_level == IPPROTO_IP && header->cmsg_type == IP_PKTINFO) {
                    TakePacketInfo<IN_PKTINFO>(WSA_CMSG_DATA(header), received);
                }
            }
        } else {
            int senderSize = sizeof(sender);
            size = recvfrom(Native(socket), static_cast<char*>(buffer), capacity, 0,
                            reinterpret_cast<sockaddr*>(&sender), &senderSize);
            if (size == SOCKET_ERROR) {
                if (WSAGetLastError() != WSAEMSGSIZE) {
                    return false;
                }
                cut = true;
            }
        }
        // Winsock does not tell a cut datagram's real size; one above the capacity says enough.
        received->size = cut ? capacity + 1 : size;
        received->from = FromSystem(sender);
        return true;
    }

protected:
    bool SetRaw(SocketHandle socket, int level, int name, const void* value, int size) override {
        return setsockopt(Native(socket), level, name, static_cast<const char*>(value), size) == 0;
    }
};

}  // namespace

int SocketLastError() {
    return WSAGetLastError();
}
void SetSocketLastError(int error) {
    WSASetLastError(error);
}

// WSAStartup counts its own starts; each one is paired with a WSACleanup.
int SocketLayerStart() {
    WSADATA data;
    return WSAStartup(MAKEWORD(1, 1), &data);
}

void SocketLayerEnd() {
    WSACleanup();
}

SocketBackend& PlatformSocketBackend() {
    static WinSocketBackend backend;
    return backend;
}

}  // namespace QX
