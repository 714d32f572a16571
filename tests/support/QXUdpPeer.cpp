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

UdpPeer::~UdpPeer() {
    QX::SocketClose(m_socket);
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

bool UdpPeer::SendTo(const std::vector<std::uint8_t>& bytes, const QX::SocketAddressV4& to) {
    return QX::SocketSendTo(m_socket, bytes.data(), static_cast<int>(bytes.size()), to) ==
           static_cast<int>(bytes.size());
}

namespace {

// Opcode, then a 16-bit field where the packet has one, then the rest; appended byte by byte,
// as gcc 12 at -O3 warns falsely (-Wstringop-overflow) on inserting into a small vector.
std::vector<std::uint8_t> Packet(int opcode, int field, const std::string& rest) {
    std::vector<std::uint8_t> packet = {0, static_cast<std::uint8_t>(opcode)};
    if (field >= 0) {
        packet.push_back(static_cast<std::uint8_t>(field >> 8));
        packet.push_back(static_cast<std::uint8_t>(field));
    }
    for (char c : rest) {
        packet.push_back(static_cast<std::uint8_t>(c));
    }
    return packet;
}

}  // namespace

std::vector<std::uint8_t> UdpPeer::Oack(const std::string& value) {
    return Packet(6, -1, std::string("blksize") + '\0' + value + '\0');
}

std::vector<std::uint8_t> UdpPeer::Data(int block, const std::vector<std::uint8_t>& payload) {
    return Packet(3, block & 0xFFFF, std::string(payload.begin(), payload.end()));
}

std::vector<std::uint8_t> UdpPeer::Ack(int block) {
    return Packet(4, block, "");
}

std::vector<std::uint8_t> UdpPeer::Error(const std::string& text) {
    return Packet(5, 1, text + '\0');
}

int UdpPeer::AckBlock(const Datagram& datagram) {
    const std::vector<std::uint8_t>& b = datagram.bytes;
    return b.size() == 4 && b[0] == 0 && b[1] == 4 ? (b[2] << 8) | b[3] : -1;
}

}  // namespace QXTest
