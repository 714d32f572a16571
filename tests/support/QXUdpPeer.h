#pragma once

// A UDP socket on a loopback address that plays the other end of a test datagram by datagram
// (a camera, a foreign host, a responder), with builders for the TFTP dialect's packets. Built on
// the library's socket layer so that it runs wherever the library does.

#include <cstdint>
#include <string>
#include <vector>

#include "qxnet/platform/QXSocket.h"

namespace QXTest {

constexpr std::uint32_t kLoopback = 0x7F000001;

class UdpPeer {
public:
    struct Datagram {
        std::vector<std::uint8_t> bytes;
        QX::SocketAddressV4 from{};
    };

    explicit UdpPeer(std::uint32_t address = kLoopback);
    ~UdpPeer();
    UdpPeer(const UdpPeer&) = delete;
    UdpPeer& operator=(const UdpPeer&) = delete;

    std::uint16_t Port() const { return m_port; }
    // Waits up to timeoutMs for one datagram; false when none came.
    bool Receive(Datagram& datagram, int timeoutMs);
    bool SendTo(const std::vector<std::uint8_t>& bytes, const QX::SocketAddressV4& to);
    bool Reply(const std::vector<std::uint8_t>& bytes, const Datagram& to) {
        return SendTo(bytes, to.from);
    }

    static std::vector<std::uint8_t> Oack(const std::string& value);
    static std::vector<std::uint8_t> Data(int block, const std::vector<std::uint8_t>& payload);
    static std::vector<std::uint8_t> Ack(int block);
    static std::vector<std::uint8_t> Error(const std::string& text);
    // Block number of an acknowledgement, or -1 for anything else.
    static int AckBlock(const Datagram& datagram);

private:
    QX::SocketHandle m_socket;
    std::uint16_t m_port = 0;
};

}  // namespace QXTest
