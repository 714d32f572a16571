#pragma once

// A UDP socket on the library's socket layer playing a test's other end, with TFTP packet builders.

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "qxnet/platform/QXSocket.h"

namespace QXTest {

constexpr std::uint32_t kLoopback = 0x7F000001;

class UdpPeer {
public:
    using Bytes = std::vector<std::uint8_t>;
    struct Datagram {
        Bytes bytes;
        QX::SocketAddressV4 from{};
    };

    explicit UdpPeer(std::uint32_t address = kLoopback) : m_socket(QX::SocketCreateUdp()) {
        QX::SocketAddressV4 local{};
        if (m_socket == QX::InvalidSocket ||
            !QX::SocketBind(m_socket, QX::MakeSocketAddress(address, 0)) ||
            !QX::SocketLocalAddress(m_socket, &local)) {
            QX::SocketClose(m_socket);
            throw std::runtime_error("UdpPeer: cannot bind, error " +
                                     std::to_string(QX::SocketLastError()));
        }
        m_port = QX::NetworkToHost16(local.port);
    }
    ~UdpPeer() { QX::SocketClose(m_socket); }
    UdpPeer(const UdpPeer&) = delete;
    UdpPeer& operator=(const UdpPeer&) = delete;

    std::uint16_t Port() const { return m_port; }
    // Waits up to timeoutMs for one datagram; false when none came.
    bool Receive(Datagram& datagram, int timeoutMs) {
        if (QX::SocketWaitReadable(m_socket, static_cast<std::uint32_t>(timeoutMs) * 1000) !=
            QX::SocketWait::Readable) {
            return false;
        }
        datagram.bytes.assign(65536, 0);
        const int size =
            QX::SocketReceiveFrom(m_socket, datagram.bytes.data(),
                                  static_cast<int>(datagram.bytes.size()), &datagram.from);
        datagram.bytes.resize(size < 0 ? 0 : static_cast<std::size_t>(size));
        return size >= 0;
    }
    bool SendTo(const Bytes& bytes, const QX::SocketAddressV4& to) {
        const int size = static_cast<int>(bytes.size());
        return QX::SocketSendTo(m_socket, bytes.data(), size, to) == size;
    }
    bool Reply(const Bytes& bytes, const Datagram& to) { return SendTo(bytes, to.from); }

    static Bytes Oack(const std::string& value) {
        return Packet(6, -1, std::string("blksize") + '\0' + value + '\0');
    }
    static Bytes Data(int block, const Bytes& payload) {
        return Packet(3, block & 0xFFFF, std::string(payload.begin(), payload.end()));
    }
    static Bytes Ack(int block) { return Packet(4, block, ""); }
    static Bytes Error(const std::string& text) { return Packet(5, 1, text + '\0'); }
    // Block number of an acknowledgement, or -1 for anything else.
    static int AckBlock(const Datagram& datagram) {
        const Bytes& b = datagram.bytes;
        return b.size() == 4 && b[0] == 0 && b[1] == 4 ? (b[2] << 8) | b[3] : -1;
    }

private:
    // Opcode, then a 16-bit field where the packet has one (field >= 0), then the rest. Byte by
    // byte: gcc 12 -O3 warns falsely (-Wstringop-overflow) on inserts into a small vector.
    static Bytes Packet(int opcode, int field, const std::string& rest) {
        Bytes packet = {0, static_cast<std::uint8_t>(opcode)};
        if (field >= 0) {
            packet.push_back(static_cast<std::uint8_t>(field >> 8));
            packet.push_back(static_cast<std::uint8_t>(field));
        }
        for (char c : rest) {
            packet.push_back(static_cast<std::uint8_t>(c));
        }
        return packet;
    }

    QX::SocketHandle m_socket;
    std::uint16_t m_port = 0;
};

}  // namespace QXTest
