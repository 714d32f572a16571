#pragma once

// A netlink socket of the calling thread's network namespace, connected to one protocol.

#include <netlink/netlink.h>
#include <netlink/socket.h>

namespace QX {

class NetlinkSocket {
public:
    // Get() is null when the socket cannot be made or connected.
    explicit NetlinkSocket(int protocol) : m_socket(nl_socket_alloc()) {
        if (m_socket != nullptr && nl_connect(m_socket, protocol) != 0) {
            nl_socket_free(m_socket);
            m_socket = nullptr;
        }
    }
    ~NetlinkSocket() {
        if (m_socket != nullptr) {
            nl_socket_free(m_socket);
        }
    }
    NetlinkSocket(const NetlinkSocket&) = delete;
    NetlinkSocket& operator=(const NetlinkSocket&) = delete;
    nl_sock* Get() const { return m_socket; }

private:
    nl_sock* m_socket;
};

}  // namespace QX
