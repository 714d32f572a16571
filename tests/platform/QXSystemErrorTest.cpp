// The Linux backend's one errno-to-Winsock translation, and the socket and ICMP code reporting
// the same number for the same system error.
#include <gtest/gtest.h>

#include <cerrno>

#include "qxnet/platform/QXIcmp.h"
#include "qxnet/platform/QXSocket.h"
#include "qxnet/platform/posix/QXSystemError.h"

namespace {

TEST(SystemError, ErrnoTranslatesToWinsock) {
    const struct {
        int errnoValue;
        int winsock;
    } rows[] = {
        {EINTR, QX::SocketError::Interrupted},
        {EBADF, QX::SocketError::NotSocket},
        {ENOTSOCK, QX::SocketError::NotSocket},
        {EPERM, QX::SocketError::AccessDenied},
        {EAGAIN, QX::SocketError::WouldBlock},
        {ENOMEM, QX::SocketError::NoBufferSpace},
        {EHOSTUNREACH, QX::SocketError::HostUnreachable},
        {ENOSPC, ENOSPC},  // no Winsock counterpart: passed on, below the Winsock range
    };
    for (const auto& row : rows) {
        EXPECT_EQ(QX::WinsockErrorFromErrno(row.errnoValue), row.winsock) << row.errnoValue;
    }
}

TEST(SystemError, SocketsAndIcmpReportAClosedHandleAlike) {
    ASSERT_FALSE(QX::SocketClose(12345678));
    EXPECT_EQ(QX::SocketLastError(), QX::SocketError::NotSocket);

    // An ICMP socket that was never opened has no descriptor: the system says EBADF.
    const unsigned char request[8] = {8};
    auto icmp = QX::IcmpBackend::Current().CreateRawIcmpSocket();
    EXPECT_EQ(icmp->SendTo(request, sizeof request, 0x0100007F), QX::SocketError::NotSocket);
}

}  // namespace
