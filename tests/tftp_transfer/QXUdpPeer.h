#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace QXTest {

// A UDP socket on a loopback address that plays the camera's side of a test, datagram by
// datagram.
class UdpPeer {
public:
    struct Datagram {
        std::vector<std::uint8_t> bytes;
        std::uint32_t address = 0;  // host order
        int port = 0;
    };

    explicit UdpPeer(std::uint32_t address = 0x7F000001, int port = 0);
    ~UdpPeer();
    UdpPeer(const UdpPeer&) = delete;
    UdpPeer& operator=(const UdpPeer&) = delete;

    int Port() const { return m_port; }
    std::uint32_t Address() const { return m_address; }
    // Waits up to timeoutMs for one datagram.
    bool Receive(Datagram& datagram, int timeoutMs);
    void SendTo(const std::vector<std::uint8_t>& bytes, std::uint32_t address, int port);
    void Reply(const std::vector<std::uint8_t>& bytes, const Datagram& to) {
        SendTo(bytes, to.address, to.port);
    }

    // Packets of the dialect.
    static std::vector<std::uint8_t> Oack(const std::string& value);
    static std::vector<std::uint8_t> Data(int block, const std::vector<std::uint8_t>& payload);
    static std::vector<std::uint8_t> Data(int block, std::size_t size, std::uint8_t fill);
    static std::vector<std::uint8_t> Ack(int block);
    static std::vector<std::uint8_t> Error(const std::string& text);
    // Block number of an acknowledgement, or -1 for anything else.
    static int AckBlock(const Datagram& datagram);

private:
    int m_socket = -1;
    int m_port = 0;
    std::uint32_t m_address = 0;
};

}  // namespace QXTest
