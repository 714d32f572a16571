#pragma once

// A UDP socket on 127.0.0.1 that plays the other end for the client tests; built on the library's
// socket layer so that it runs wherever the library does.

#include <cstdint>
#include <vector>

#include "qxnet/platform/QXSocket.h"

namespace QXTest {

constexpr std::uint32_t kLoopback = 0x7F000001;

class LoopbackPeer {
public:
    LoopbackPeer();
    ~LoopbackPeer();
    LoopbackPeer(const LoopbackPeer&) = delete;
    LoopbackPeer& operator=(const LoopbackPeer&) = delete;

    std::uint16_t Port() const { return m_port; }
    QX::SocketAddressV4 Address() const { return QX::MakeSocketAddress(kLoopback, m_port); }
    bool SendTo(const std::vector<std::uint8_t>& bytes, const QX::SocketAddressV4& to);
    // Waits up to timeoutUs for one datagram; false when none came.
    bool Receive(std::vector<std::uint8_t>* bytes, QX::SocketAddressV4* from,
                 std::uint32_t timeoutUs);

private:
    QX::SocketHandle m_socket;
    std::uint16_t m_port;
};

}  // namespace QXTest
