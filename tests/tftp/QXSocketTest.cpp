#include <gtest/gtest.h>

#include <thread>
#include <vector>

#if !defined(_WIN32)
#include <sys/socket.h>
#include <unistd.h>

#include <fstream>

#include "tests/support/QXCapabilities.h"
#endif

#include "qxnet/platform/QXSocket.h"
#include "tests/support/QXScriptedSockets.h"
#include "tests/tftp/QXLoopbackPeer.h"

using QXTest::kLoopback;
using QXTest::LoopbackPeer;

namespace {

class SocketLayer : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(QX::SocketLayerStart(), 0); }
    void TearDown() override { QX::SocketLayerEnd(); }
};

}  // namespace

TEST(SocketAddress, NetworkOrderLayout) {
    const QX::SocketAddressV4 address = QX::MakeSocketAddress(0xC0A80105, 69);
    const auto* bytes = reinterpret_cast<const unsigned char*>(&address);
    EXPECT_EQ(address.family, QX::AddressFamilyInet);
    EXPECT_EQ(bytes[2], 0);
    EXPECT_EQ(bytes[3], 69);
    EXPECT_EQ(bytes[4], 192);
    EXPECT_EQ(bytes[5], 168);
    EXPECT_EQ(bytes[6], 1);
    EXPECT_EQ(bytes[7], 5);
    for (int i = 8; i < 16; ++i) {
        EXPECT_EQ(bytes[i], 0);
    }
    EXPECT_EQ(QX::NetworkToHost32(address.address), 0xC0A80105u);
    EXPECT_EQ(QX::NetworkToHost16(address.port), 69);
}

TEST_F(SocketLayer, DatagramRoundTripWithSender) {
    LoopbackPeer a;
    LoopbackPeer b;
    ASSERT_TRUE(a.SendTo({1, 2, 3}, b.Address()));
    std::vector<std::uint8_t> bytes;
    QX::SocketAddressV4 from{};
    ASSERT_TRUE(b.Receive(&bytes, &from, 2000000));
    EXPECT_EQ(bytes, (std::vector<std::uint8_t>{1, 2, 3}));
    EXPECT_EQ(QX::NetworkToHost16(from.port), a.Port());
    EXPECT_EQ(QX::NetworkToHost32(from.address), kLoopback);
}

TEST_F(SocketLayer, OversizeDatagramReportsItsFullSize) {
    LoopbackPeer a;
    const QX::SocketHandle socket = QX::SocketCreateUdp();
    ASSERT_NE(socket, QX::InvalidSocket);
    ASSERT_TRUE(QX::SocketBind(socket, QX::MakeSocketAddress(kLoopback, 0)));
    QX::SocketAddressV4 local{};
    ASSERT_TRUE(QX::SocketLocalAddress(socket, &local));
    ASSERT_TRUE(a.SendTo(std::vector<std::uint8_t>(100, 7), local));
    ASSERT_TRUE(a.SendTo(std::vector<std::uint8_t>(50, 8), local));
    std::vector<std::uint8_t> buffer(50, 0);
    ASSERT_EQ(QX::SocketWaitReadable(socket, 2000000), QX::SocketWait::Readable);
    const int size = QX::SocketReceiveFrom(socket, buffer.data(), 50, nullptr);
    EXPECT_GT(size, 50);
    EXPECT_EQ(buffer[0], 7);
    ASSERT_EQ(QX::SocketWaitReadable(socket, 2000000), QX::SocketWait::Readable);
    EXPECT_EQ(QX::SocketReceiveFrom(socket, buffer.data(), 50, nullptr), 50);
    EXPECT_EQ(buffer[49], 8);
    EXPECT_TRUE(QX::SocketClose(socket));
}

TEST_F(SocketLayer, WaitTimesOutWithoutTraffic) {
    LoopbackPeer a;
    const QX::SocketHandle socket = QX::SocketCreateUdp();
    ASSERT_NE(socket, QX::InvalidSocket);
    ASSERT_TRUE(QX::SocketBind(socket, QX::MakeSocketAddress(kLoopback, 0)));
    EXPECT_EQ(QX::SocketWaitReadable(socket, 1000), QX::SocketWait::TimedOut);
    EXPECT_TRUE(QX::SocketClose(socket));
}

// A datagram to a port that nobody listens on brings back an ICMP port-unreachable. It must not
// turn into a failure of the sender's next wait or receive (Windows reports it as
// WSAECONNRESET unless told not to): the wait times out, and the next datagram is received.
TEST_F(SocketLayer, PortUnreachableIsNoFailureOfTheNextReceive) {
    QX::SocketAddressV4 closed{};
    {
        LoopbackPeer gone;
        closed = gone.Address();
    }
    LoopbackPeer other;
    const QX::SocketHandle socket = QX::SocketCreateUdp();
    ASSERT_NE(socket, QX::InvalidSocket);
    ASSERT_TRUE(QX::SocketBind(socket, QX::MakeSocketAddress(kLoopback, 0)));
    QX::SocketAddressV4 local{};
    ASSERT_TRUE(QX::SocketLocalAddress(socket, &local));
    const std::uint8_t byte = 1;
    ASSERT_EQ(QX::SocketSendTo(socket, &byte, 1, closed), 1);
    EXPECT_EQ(QX::SocketWaitReadable(socket, 300000), QX::SocketWait::TimedOut);
    ASSERT_EQ(QX::SocketSendTo(socket, &byte, 1, closed), 1);
    ASSERT_TRUE(other.SendTo({7, 8}, local));
    ASSERT_EQ(QX::SocketWaitReadable(socket, 2000000), QX::SocketWait::Readable);
    std::uint8_t buffer[8] = {};
    QX::SocketAddressV4 from{};
    EXPECT_EQ(QX::SocketReceiveFrom(socket, buffer, sizeof buffer, &from), 2)
        << QX::SocketLastError();
    EXPECT_EQ(buffer[1], 8);
    EXPECT_EQ(QX::NetworkToHost16(from.port), other.Port());
    EXPECT_TRUE(QX::SocketClose(socket));
}

TEST_F(SocketLayer, ErrorsUseWinsockNumbers) {
#if !defined(_WIN32)
    // Wine binds a foreign address instead of refusing it, so this runs on the native backend.
    const QX::SocketHandle socket = QX::SocketCreateUdp();
    ASSERT_NE(socket, QX::InvalidSocket);
    // 192.0.2.1 (documentation range) is no address of this host.
    EXPECT_FALSE(QX::SocketBind(socket, QX::MakeSocketAddress(0xC0000201, 0)));
    EXPECT_EQ(QX::SocketLastError(), QX::SocketError::AddressNotAvailable);
    EXPECT_TRUE(QX::SocketClose(socket));

#endif
    LoopbackPeer taken;
    const QX::SocketHandle second = QX::SocketCreateUdp();
    ASSERT_NE(second, QX::InvalidSocket);
    EXPECT_FALSE(QX::SocketBind(second, taken.Address()));
    EXPECT_EQ(QX::SocketLastError(), QX::SocketError::AddressInUse);
    EXPECT_TRUE(QX::SocketClose(second));

    const std::uint8_t byte = 1;
    EXPECT_EQ(QX::SocketSendTo(QX::InvalidSocket, &byte, 1, taken.Address()), -1);
    EXPECT_EQ(QX::SocketLastError(), QX::SocketError::NotSocket);
    EXPECT_FALSE(QX::SocketSetOption(QX::InvalidSocket, QX::SocketOption::Broadcast, 1));
    EXPECT_EQ(QX::SocketLastError(), QX::SocketError::NotSocket);
    EXPECT_EQ(QX::SocketWaitReadable(QX::InvalidSocket, 1000), QX::SocketWait::Failed);
    EXPECT_EQ(QX::SocketLastError(), QX::SocketError::NotSocket);
}

TEST_F(SocketLayer, LastErrorIsPerThread) {
    QX::SetSocketLastError(QX::SocketError::TimedOut);
    EXPECT_EQ(QX::SocketLastError(), QX::SocketError::TimedOut);
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

TEST_F(SocketLayer, OptionsTheClientsUse) {
    const QX::SocketHandle socket = QX::SocketCreateUdp();
    ASSERT_NE(socket, QX::InvalidSocket);
    EXPECT_TRUE(QX::SocketSetOption(socket, QX::SocketOption::Broadcast, 1));
    EXPECT_TRUE(QX::SocketSetOption(socket, QX::SocketOption::ReuseAddress, 1));
    EXPECT_TRUE(QX::SocketSetOption(socket, QX::SocketOption::ReceiveBuffer, 65536));
    EXPECT_TRUE(QX::SocketSetOption(socket, QX::SocketOption::MulticastTtl, 255));
    EXPECT_TRUE(QX::SocketSetOption(socket, QX::SocketOption::MulticastLoop, 1));
    EXPECT_TRUE(QX::SocketSetOption(socket, QX::SocketOption::PacketInfo, 1));
    EXPECT_TRUE(QX::SocketSetMulticastInterface(socket, QX::HostToNetwork32(kLoopback)));
    EXPECT_TRUE(QX::SocketClose(socket));
}

#if defined(_WIN32)
TEST_F(SocketLayer, BufferForcingAndDropCountAreNotAvailable) {
    const QX::SocketHandle socket = QX::SocketCreateUdp();
    ASSERT_NE(socket, QX::InvalidSocket);
    for (QX::SocketOption option :
         {QX::SocketOption::ReceiveBufferForce, QX::SocketOption::DropCount}) {
        QX::SetSocketLastError(0);
        EXPECT_FALSE(QX::SocketSetOption(socket, option, 1));
        EXPECT_EQ(QX::SocketLastError(), QX::SocketError::ProtocolOption);
    }
    EXPECT_TRUE(QX::SocketClose(socket));
}
#else
namespace {

int GrantedReceiveBuffer(QX::SocketHandle socket) {
    int value = 0;
    socklen_t size = sizeof(value);
    getsockopt(static_cast<int>(socket), SOL_SOCKET, SO_RCVBUF, &value, &size);
    return value;
}

}  // namespace

// A burst larger than the buffer: the system keeps what fits and tells the count of the rest with
// the next datagram that gets in.
TEST_F(SocketLayer, ReceptionTellsTheDropCount) {
    LoopbackPeer sender;
    const QX::SocketHandle socket = QX::SocketCreateUdp();
    ASSERT_NE(socket, QX::InvalidSocket);
    ASSERT_TRUE(QX::SocketSetOption(socket, QX::SocketOption::ReceiveBuffer, 4096));
    ASSERT_TRUE(QX::SocketSetOption(socket, QX::SocketOption::DropCount, 1));
    ASSERT_TRUE(QX::SocketBind(socket, QX::MakeSocketAddress(kLoopback, 0)));
    QX::SocketAddressV4 local{};
    ASSERT_TRUE(QX::SocketLocalAddress(socket, &local));
    constexpr std::uint32_t kBurst = 100;
    for (std::uint32_t i = 0; i < kBurst; ++i) {
        ASSERT_TRUE(sender.SendTo(std::vector<std::uint8_t>(100, 1), local));
    }
    std::uint8_t buffer[200];
    QX::ReceivedDatagram received{};
    std::uint32_t kept = 0;
    while (QX::SocketWaitReadable(socket, 0) == QX::SocketWait::Readable) {
        ASSERT_TRUE(QX::SocketReceiveWithInterface(socket, buffer, sizeof(buffer), &received));
        EXPECT_EQ(received.dropped, 0u);  // all of these got in before the first drop
        ++kept;
    }
    ASSERT_GT(kept, 0u);
    ASSERT_LT(kept, kBurst);
    ASSERT_TRUE(sender.SendTo({2}, local));
    ASSERT_EQ(QX::SocketWaitReadable(socket, 2000000), QX::SocketWait::Readable);
    ASSERT_TRUE(QX::SocketReceiveWithInterface(socket, buffer, sizeof(buffer), &received));
    EXPECT_EQ(received.size, 1);
    EXPECT_EQ(received.dropped, kBurst - kept);
    EXPECT_TRUE(QX::SocketClose(socket));
}

// Forcing passes the system's cap (net.core.rmem_max) with CAP_NET_ADMIN and is refused without.
TEST_F(SocketLayer, ForcedReceiveBufferPassesTheCap) {
    int cap = 0;
    std::ifstream("/proc/sys/net/core/rmem_max") >> cap;
    ASSERT_GT(cap, 0);
    const QX::SocketHandle socket = QX::SocketCreateUdp();
    ASSERT_NE(socket, QX::InvalidSocket);
    ASSERT_TRUE(QX::SocketSetOption(socket, QX::SocketOption::ReceiveBuffer, 2 * cap));
    const int plain = GrantedReceiveBuffer(socket);
    EXPECT_EQ(plain, 2 * cap);  // the system doubles the value it grants
    bool refusedWithout = false;
    int errorWithout = 0;
    std::thread unprivileged([&] {
        ASSERT_TRUE(QXTest::DropNetAdminOnThisThread());
        refusedWithout =
            !QX::SocketSetOption(socket, QX::SocketOption::ReceiveBufferForce, 2 * cap);
        errorWithout = QX::SocketLastError();
    });
    unprivileged.join();
    EXPECT_TRUE(refusedWithout);
    EXPECT_EQ(errorWithout, QX::SocketError::AccessDenied);
    EXPECT_EQ(GrantedReceiveBuffer(socket), plain);
    if (geteuid() == 0) {
        ASSERT_TRUE(QX::SocketSetOption(socket, QX::SocketOption::ReceiveBufferForce, 2 * cap));
        EXPECT_EQ(GrantedReceiveBuffer(socket), 4 * cap);
    }
    EXPECT_TRUE(QX::SocketClose(socket));
}
#endif

TEST_F(SocketLayer, ReceptionTellsTheDestination) {
    LoopbackPeer a;
    const QX::SocketHandle socket = QX::SocketCreateUdp();
    ASSERT_NE(socket, QX::InvalidSocket);
    ASSERT_TRUE(QX::SocketSetOption(socket, QX::SocketOption::PacketInfo, 1));
    ASSERT_TRUE(QX::SocketBind(socket, QX::MakeSocketAddress(0, 0)));
    QX::SocketAddressV4 local{};
    ASSERT_TRUE(QX::SocketLocalAddress(socket, &local));
    ASSERT_TRUE(
        a.SendTo({9, 9}, QX::MakeSocketAddress(kLoopback, QX::NetworkToHost16(local.port))));
    ASSERT_EQ(QX::SocketWaitReadable(socket, 2000000), QX::SocketWait::Readable);
    std::uint8_t buffer[8] = {};
    QX::ReceivedDatagram received{};
    ASSERT_TRUE(QX::SocketReceiveWithInterface(socket, buffer, sizeof(buffer), &received));
    EXPECT_EQ(received.size, 2);
    EXPECT_EQ(QX::NetworkToHost16(received.from.port), a.Port());
    EXPECT_EQ(QX::NetworkToHost32(received.destination), kLoopback);
    EXPECT_NE(received.interfaceIndex, 0u);
    EXPECT_TRUE(QX::SocketClose(socket));
}

TEST(ScriptedSockets, TakesThePlaceOfTheSystem) {
    QX::SocketAddressV4 sender = QX::MakeSocketAddress(0x0A000001, 4000);
    {
        QX::ScriptedSocketBackend script;
        script.Install();
        const QX::SocketHandle socket = QX::SocketCreateUdp();
        ASSERT_NE(socket, QX::InvalidSocket);
        EXPECT_EQ(QX::SocketWaitReadable(socket, 800000), QX::SocketWait::TimedOut);
        script.Push(std::vector<std::uint8_t>{1, 2, 3, 4}, sender);
        EXPECT_EQ(QX::SocketWaitReadable(socket, 800000), QX::SocketWait::Readable);
        std::uint8_t buffer[2];
        QX::SocketAddressV4 from{};
        EXPECT_EQ(QX::SocketReceiveFrom(socket, buffer, 2, &from), 4);
        EXPECT_EQ(from.address, sender.address);
        EXPECT_EQ(QX::SocketSendTo(socket, buffer, 2, sender), 2);
        ASSERT_EQ(script.Sent().size(), 1u);
        EXPECT_EQ(script.Sent()[0].bytes, (std::vector<std::uint8_t>{1, 2}));
        EXPECT_TRUE(QX::SocketClose(socket));
        EXPECT_FALSE(QX::SocketClose(socket));
        EXPECT_EQ(QX::SocketLastError(), QX::SocketError::NotSocket);
    }
    // Uninstalled again: the system refuses a handle that is no socket.
    EXPECT_EQ(QX::SocketWaitReadable(QX::InvalidSocket, 1000), QX::SocketWait::Failed);
}
