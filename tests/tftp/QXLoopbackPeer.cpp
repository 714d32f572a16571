#include "tests/tftp/QXLoopbackPeer.h"

#include <gtest/gtest.h>

namespace QXTest {

LoopbackPeer::LoopbackPeer() : m_socket(QX::SocketCreateUdp()), m_port(0) {
    EXPECT_NE(m_socket, QX::InvalidSocket) << QX::SocketLastError();
    EXPECT_TRUE(QX::SocketBind(m_socket, QX::MakeSocketAddress(kLoopback, 0)))
        << QX::SocketLastError();
    QX::SocketAddressV4 local{};
    EXPECT_TRUE(QX::SocketLocalAddress(m_socket, &local));
    m_port = QX::NetworkToHost16(local.port);
}

LoopbackPeer::~LoopbackPeer() {
    QX::SocketClose(m_socket);
}

bool LoopbackPeer::SendTo(const std::vector<std::uint8_t>& bytes, const QX::SocketAddressV4& to) {
    return QX::SocketSendTo(m_socket, bytes.data(), static_cast<int>(bytes.size()), to) ==
           static_cast<int>(bytes.size());
}

bool LoopbackPeer::Receive(std::vector<std::uint8_t>* bytes, QX::SocketAddressV4* from,
                           std::uint32_t timeoutUs) {
    if (QX::SocketWaitReadable(m_socket, timeoutUs) != QX::SocketWait::Readable) {
        return false;
    }
    bytes->assign(65536, 0);
    const int size =
        QX::SocketReceiveFrom(m_socket, bytes->data(), static_cast<int>(bytes->size()), from);
    if (size < 0) {
        return false;
    }
    bytes->resize(static_cast<std::size_t>(size));
    return true;
}

}  // namespace QXTest
