#pragma once

// What both socket backends share: the system's sockaddr_in for the library's IPv4 address,
// and the system's level and name for each option.

#ifdef _WIN32
#include <ws2tcpip.h>
#include "qxnet/platform/QXWinTypes.h"
#else
#include <netinet/in.h>
#include <sys/socket.h>
#endif

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

// The level and name of option; false for one that this system does not have.
inline bool SystemOption(SocketOption option, int* level, int* name) {
    switch (option) {
        case SocketOption::Broadcast:
            *level = SOL_SOCKET, *name = SO_BROADCAST;
            return true;
        case SocketOption::ReceiveBuffer:
            *level = SOL_SOCKET, *name = SO_RCVBUF;
            return true;
        case SocketOption::ReuseAddress:
            *level = SOL_SOCKET, *name = SO_REUSEADDR;
            return true;
        case SocketOption::MulticastTtl:
            *level = IPPROTO_IP, *name = IP_MULTICAST_TTL;
            return true;
        case SocketOption::MulticastLoop:
            *level = IPPROTO_IP, *name = IP_MULTICAST_LOOP;
            return true;
        case SocketOption::PacketInfo:
            *level = IPPROTO_IP, *name = IP_PKTINFO;
            return true;
#ifndef _WIN32
        case SocketOption::ReceiveBufferForce:
            *level = SOL_SOCKET, *name = SO_RCVBUFFORCE;
            return true;
        case SocketOption::DropCount:
            *level = SOL_SOCKET, *name = SO_RXQ_OVFL;
            return true;
#endif
        default:
            return false;  // Windows has neither the forced buffer nor the drop count
    }
}

}  // namespace QX
