#include "tests/tftp_transfer/QXUdpPeer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>

namespace QXTest {

UdpPeer::UdpPeer(std::uint32_t address, int port) : m_address(address) {
    m_socket = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(address);
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    if (m_socket < 0 || ::bind(m_socket, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        throw std::runtime_error("UdpPeer: cannot bind");
    }
    socklen_t len = sizeof a;
    ::getsockname(m_socket, reinterpret_cast<sockaddr*>(&a), &len);
    m_port = ntohs(a.sin_port);
}

UdpPeer::~UdpPeer() {
    if (m_socket >= 0) {
        ::close(m_socket);
    }
}

bool UdpPeer::Receive(Datagram& datagram, int timeoutMs) {
    pollfd p{m_socket, POLLIN, 0};
    if (::poll(&p, 1, timeoutMs) <= 0) {
        return false;
    }
    std::uint8_t buffer[65536];
    sockaddr_in from{};
    socklen_t len = sizeof from;
    ssize_t n =
        ::recvfrom(m_socket, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &len);
    if (n < 0) {
        return false;
    }
    datagram.bytes.assign(buffer, buffer + n);
    datagram.address = ntohl(from.sin_addr.s_addr);
    datagram.port = ntohs(from.sin_port);
    return true;
}

void UdpPeer::SendTo(const std::vector<std::uint8_t>& bytes, std::uint32_t address, int port) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(address);
    to.sin_port = htons(static_cast<std::uint16_t>(port));
    ::sendto(m_socket, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
}

namespace {

// Opcode and a 16-bit field, then the rest; built by appending so that the vector grows once.
std::vector<std::uint8_t> Packet(int opcode, int field, const std::uint8_t* rest, std::size_t size,
                                 bool withField) {
    std::vector<std::uint8_t> p;
    p.reserve(size + 4);
    p.push_back(0);
    p.push_back(static_cast<std::uint8_t>(opcode));
    if (withField) {
        p.push_back(static_cast<std::uint8_t>((field >> 8) & 0xFF));
        p.push_back(static_cast<std::uint8_t>(field & 0xFF));
    }
    for (std::size_t i = 0; i < size; ++i) {
        p.push_back(rest[i]);
    }
    return p;
}

}  // namespace

std::vector<std::uint8_t> UdpPeer::Oack(const std::string& value) {
    std::string body = std::string("blksize") + '\0' + value + '\0';
    return Packet(6, 0, reinterpret_cast<const std::uint8_t*>(body.data()), body.size(), false);
}

std::vector<std::uint8_t> UdpPeer::Data(int block, const std::vector<std::uint8_t>& payload) {
    return Packet(3, block, payload.data(), payload.size(), true);
}

std::vector<std::uint8_t> UdpPeer::Data(int block, std::size_t size, std::uint8_t fill) {
    return Data(block, std::vector<std::uint8_t>(size, fill));
}

std::vector<std::uint8_t> UdpPeer::Ack(int block) {
    return {0, 4, static_cast<std::uint8_t>((block >> 8) & 0xFF),
            static_cast<std::uint8_t>(block & 0xFF)};
}

std::vector<std::uint8_t> UdpPeer::Error(const std::string& text) {
    return Packet(5, 1, reinterpret_cast<const std::uint8_t*>(text.c_str()), text.size() + 1, true);
}

int UdpPeer::AckBlock(const Datagram& datagram) {
    const auto& b = datagram.bytes;
    if (b.size() != 4 || b[0] != 0 || b[1] != 4) {
        return -1;
    }
    return (b[2] << 8) | b[3];
}

}  // namespace QXTest
