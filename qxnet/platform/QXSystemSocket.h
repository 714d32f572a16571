#pragma once

// What both socket backends share: the system's sockaddr_in for the library's IPv4 address, and
// the socket options.

#ifdef _WIN32
#include <ws2tcpip.h>
#include "qxnet/platform/QXWinTypes.h"
#else
#include <netinet/in.h>
#include <sys/socket.h>
#endif

#include <cstring>

#include "qxnet/platform/QXSocket.h"

namespace QX {

inline sockaddr_in ToSystem(const SocketAddressV4& address) {
    sockaddr_in system{};
    system.sin_family = AF_INET;
    system.sin_port = address.port;
    system.sin_addr.s_addr = address.address;
    return system;
}

inline SocketAddressV4 FromSystem(const sockaddr_in& system) {
    SocketAddressV4 address{};
    address.family = AddressFamilyInet;
    address.port = system.sin_port;
    address.address = system.sin_addr.s_addr;
    return address;
}

// The arrival address and interface of a packet-information record (in_pktinfo, IN_PKTINFO),
// read from where it may lie unaligned.
template <class PacketInfo>
void TakePacketInfo(const void* data, ReceivedDatagram* received) {
    PacketInfo info;
    std::memcpy(&info, data, sizeof(info));
    received->destination = info.ipi_addr.s_addr;
    received->interfaceIndex = static_cast<std::uint32_t>(info.ipi_ifindex);
}

// What both system backends do alike: options, group membership and the multicast interface go
// through setsockopt, which each calls in its own way.
class SystemSocketBackend : public SocketBackend {
public:
    bool SetOption(SocketHandle socket, SocketOption option, int value) override {
        struct Row {
            SocketOption option;
            int level;
            int name;
        };
        static constexpr Row kRows[] = {
            {SocketOption::Broadcast, SOL_SOCKET, SO_BROADCAST},
            {SocketOption::ReceiveBuffer, SOL_SOCKET, SO_RCVBUF},
            {SocketOption::ReuseAddress, SOL_SOCKET, SO_REUSEADDR},
            {SocketOption::MulticastTtl, IPPROTO_IP, IP_MULTICAST_TTL},
            {SocketOption::MulticastLoop, IPPROTO_IP, IP_MULTICAST_LOOP},
            {SocketOption::PacketInfo, IPPROTO_IP, IP_PKTINFO},
#ifndef _WIN32
            // Windows has neither (see SocketOption).
            {SocketOption::ReceiveBufferForce, SOL_SOCKET, SO_RCVBUFFORCE},
            {SocketOption::DropCount, SOL_SOCKET, SO_RXQ_OVFL},
#endif
        };
        for (const Row& row : kRows) {
            if (row.option == option) {
                return SetRaw(socket, row.level, row.name, &value, sizeof(value));
            }
        }
        SetSocketLastError(SocketError::ProtocolOption);
        return false;
    }

    bool JoinGroup(SocketHandle socket, std::uint32_t group,
                   std::uint32_t interfaceAddress) override {
        ip_mreq request{};
        request.imr_multiaddr.s_addr = group;
        request.imr_interface.s_addr = interfaceAddress;
        return SetRaw(socket, IPPROTO_IP, IP_ADD_MEMBERSHIP, &request, sizeof(request));
    }

    bool SetMulticastInterface(SocketHandle socket, std::uint32_t interfaceAddress) override {
        in_addr address{};
        address.s_addr = interfaceAddress;
        return SetRaw(socket, IPPROTO_IP, IP_MULTICAST_IF, &address, sizeof(address));
    }

protected:
    // setsockopt; false with the last socket error set.
    virtual bool SetRaw(SocketHandle socket, int level, int name, const void* value, int size) = 0;
};

}  // namespace QX
