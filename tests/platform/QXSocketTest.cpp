#include "qxnet/platform/QXSocket.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

#if !defined(_WIN32)
#include <cerrno>

#include "qxnet/platform/QXIcmp.h"
#include "qxnet/platform/posix/QXSystemError.h"
#endif

namespace {

constexpr std::uint32_t kLoopback = 0x7F000001;
constexpr std::uint32_t kSecond = 2000000;

// A UDP socket bound to a free loopback port, closed with the test.
struct Bound {
    explicit Bound(std::uint32_t address = kLoopback) : socket(QX::SocketCreateUdp()) {
        EXPECT_NE(socket, QX::InvalidSocket);
        EXPECT_TRUE(QX::SocketBind(socket, QX::MakeSocketAddress(address, 0)));
        EXPECT_TRUE(QX::SocketLocalAddress(socket, &local));
    }
    ~Bound() { EXPECT_TRUE(QX::SocketClose(socket)); }
    bool Send(const std::vector<std::uint8_t>& bytes, const QX::SocketAddressV4& to) const {
        return QX::SocketSendTo(socket, bytes.data(), static_cast<int>(bytes.size()), to) ==
               static_cast<int>(bytes.size());
    }
    std::uint16_t Port() const { return QX::NetworkToHost16(local.port); }
    QX::SocketHandle socket;
    QX::SocketAddressV4 local{};
};

class SocketLayer : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(QX::SocketLayerStart(), 0); }
    void TearDown() override { QX::SocketLayerEnd(); }
};

// Datagrams come with their sender, one larger than the buffer with its full size; a wait without
// traffic times out. The options the clients set; reception with destination and interface.
TEST_F(SocketLayer, DatagramsOptionsAndReceptionWithTheDestination) {
    Bound sender;
    Bound socket(0);
    for (auto [option, value] : {std::pair{QX::SocketOption::Broadcast, 1},
                                 {QX::SocketOption::ReuseAddress, 1},
                                 {QX::SocketOption::ReceiveBuffer, 65536},
                                 {QX::SocketOption::MulticastTtl, 255},
                                 {QX::SocketOption::MulticastLoop, 1},
                                 {QX::SocketOption::PacketInfo, 1}}) {
        EXPECT_TRUE(QX::SocketSetOption(socket.socket, option, value));
    }
    EXPECT_TRUE(QX::SocketSetMulticastInterface(socket.socket, QX::HostToNetwork32(kLoopback)));
    const QX::SocketAddressV4 to = QX::MakeSocketAddress(kLoopback, socket.Port());
    ASSERT_TRUE(sender.Send(std::vector<std::uint8_t>(100, 7), to));
    ASSERT_TRUE(sender.Send({9, 9}, to));
    ASSERT_TRUE(sender.Send({1}, to));
    std::vector<std::uint8_t> buffer(50, 0);
    QX::SocketAddressV4 from{};
    ASSERT_EQ(QX::SocketWaitReadable(socket.socket, kSecond), QX::SocketWait::Readable);
    EXPECT_GT(QX::SocketReceiveFrom(socket.socket, buffer.data(), 50, &from), 50);
    EXPECT_EQ(buffer[49], 7);
    EXPECT_EQ(QX::NetworkToHost16(from.port), sender.Port());
    EXPECT_EQ(QX::NetworkToHost32(from.address), kLoopback);
    ASSERT_EQ(QX::SocketWaitReadable(socket.socket, kSecond), QX::SocketWait::Readable);
    QX::ReceivedDatagram received{};
    ASSERT_TRUE(QX::SocketReceiveWithInterface(socket.socket, buffer.data(), 50, &received));
    EXPECT_EQ(received.size, 2);
    EXPECT_EQ(QX::NetworkToHost16(received.from.port), sender.Port());
    EXPECT_EQ(QX::NetworkToHost32(received.destination), kLoopback);
    EXPECT_NE(received.interfaceIndex, 0u);
    ASSERT_EQ(QX::SocketWaitReadable(socket.socket, kSecond), QX::SocketWait::Readable);
    EXPECT_EQ(QX::SocketReceiveFrom(socket.socket, buffer.data(), 50, nullptr), 1);
    // A closed port's port-unreachable must fail no later wait or receive (WSAECONNRESET).
    const QX::SocketAddressV4 closed = Bound().local;
    ASSERT_TRUE(socket.Send({1}, closed));
    EXPECT_EQ(QX::SocketWaitReadable(socket.socket, 300000), QX::SocketWait::TimedOut);
    ASSERT_TRUE(socket.Send({1}, closed));
    ASSERT_TRUE(sender.Send({7, 8}, to));
    ASSERT_EQ(QX::SocketWaitReadable(socket.socket, kSecond), QX::SocketWait::Readable);
    EXPECT_EQ(QX::SocketReceiveFrom(socket.socket, buffer.data(), 50, &from), 2)
        << QX::SocketLastError();
    EXPECT_EQ(QX::NetworkToHost16(from.port), sender.Port());
}

TEST_F(SocketLayer, ErrorsUseWinsockNumbersAndArePerThread) {
#if !defined(_WIN32)
    // Wine binds a foreign address instead of refusing it, so this runs on the native backend.
    const QX::SocketHandle socket = QX::SocketCreateUdp();
    // 192.0.2.1 (documentation range) is no address of this host.
    EXPECT_FALSE(QX::SocketBind(socket, QX::MakeSocketAddress(0xC0000201, 0)));
    EXPECT_EQ(QX::SocketLastError(), QX::SocketError::AddressNotAvailable);
    EXPECT_TRUE(QX::SocketClose(socket));
    // The one errno translation; an errno without a Winsock counterpart is passed on.
    const std::pair<int, int> translated[] = {{EINTR, QX::SocketError::Interrupted},
                                              {EBADF, QX::SocketError::NotSocket},
                                              {ENOTSOCK, QX::SocketError::NotSocket},
                                              {EPERM, QX::SocketError::AccessDenied},
                                              {EAGAIN, QX::SocketError::WouldBlock},
                                              {ENOMEM, QX::SocketError::NoBufferSpace},
                                              {EHOSTUNREACH, QX::SocketError::HostUnreachable},
                                              {ENOSPC, ENOSPC}};
    for (const auto& [errnoValue, winsock] : translated) {
        EXPECT_EQ(QX::WinsockErrorFromErrno(errnoValue), winsock) << errnoValue;
    }
    // Socket and ICMP code report a closed descriptor alike (a raw socket never opened has none).
    EXPECT_FALSE(QX::SocketClose(12345678));
    EXPECT_EQ(QX::SocketLastError(), QX::SocketError::NotSocket);
    const unsigned char request[8] = {8};
    auto icmp = QX::IcmpBackend::Current().CreateRawIcmpSocket();
    EXPECT_EQ(icmp->SendTo(request, sizeof request, 0x0100007F), QX::SocketError::NotSocket);
#endif
    Bound taken;
    const QX::SocketHandle second = QX::SocketCreateUdp();
    EXPECT_FALSE(QX::SocketBind(second, taken.local));
    EXPECT_EQ(QX::SocketLastError(), QX::SocketError::AddressInUse);
    EXPECT_TRUE(QX::SocketClose(second));
    const std::uint8_t byte = 1;
    EXPECT_EQ(QX::SocketSendTo(QX::InvalidSocket, &byte, 1, taken.local), -1);
    EXPECT_EQ(QX::SocketLastError(), QX::SocketError::NotSocket);
    EXPECT_FALSE(QX::SocketSetOption(QX::InvalidSocket, QX::SocketOption::Broadcast, 1));
    EXPECT_EQ(QX::SocketLastError(), QX::SocketError::NotSocket);
    EXPECT_EQ(QX::SocketWaitReadable(QX::InvalidSocket, 1000), QX::SocketWait::Failed);
    EXPECT_EQ(QX::SocketLastError(), QX::SocketError::NotSocket);
    // Checked inside the other thread: on Windows joining may set this thread's last error.
    int before = -1;
    int after = -1;
    std::thread other([&] {
        before = QX::SocketLastError();
        QX::SetSocketLastError(QX::SocketError::ConnectionReset);
        after = QX::SocketLastError();
    });
    other.join();
    EXPECT_EQ(before, 0);
    EXPECT_EQ(after, QX::SocketError::ConnectionReset);
}

}  // namespace
