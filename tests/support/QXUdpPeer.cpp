#include "tests/support/QXUdpPeer.h"

#include <stdexcept>

namespace QXTest {

UdpPeer::UdpPeer(std::uint32_t address) : m_socket(QX::SocketCreateUdp()) {
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

bool UdpPeer::Receive(Datagram& datagram, int timeoutMs) {
    if (QX::SocketWaitReadable(m_socket, static_cast<std::uint32_t>(timeoutMs) * 1000) !=
        QX::SocketWait::Readable) {
        return false;
    }
    datagram.bytes.assign(65536, 0);
    const int size = QX::SocketReceiveFrom(m_socket, datagram.bytes.data(),
                                           static_cast<int>(datagram.bytes.size()), &datagram.from);
    datagram.bytes.resize(size < 0 ? 0 : static_cast<std::size_t>(size));
    return size >= 0;
}

// Byte by byte: gcc 12 -O3 warns falsely (-Wstringop-overflow) on inserts into a small vector.
UdpPeer::Bytes UdpPeer::Packet(int opcode, int field, const std::string& rest) {
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

}  // namespace QXTest
