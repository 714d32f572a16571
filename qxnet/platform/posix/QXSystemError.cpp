#include "qxnet/platform/posix/QXSystemError.h"

#include <cerrno>

#include "qxnet/platform/QXSocket.h"
#include "qxnet/platform/QXTranslation.h"

namespace QX {

namespace {

constexpr Translation<int, int> kErrnoTable[] = {
    {EINTR, SocketError::Interrupted},
    {EBADF, SocketError::NotSocket},
    {EACCES, SocketError::AccessDenied},
    {EPERM, SocketError::AccessDenied},
    {EFAULT, SocketError::Fault},
    {EINVAL, SocketError::InvalidArgument},
    {EMFILE, SocketError::TooManyOpen},
    {ENFILE, SocketError::TooManyOpen},
    {EAGAIN, SocketError::WouldBlock},
    {ENOTSOCK, SocketError::NotSocket},
    {EDESTADDRREQ, SocketError::DestinationRequired},
    {EMSGSIZE, SocketError::MessageTooLong},
    {ENOPROTOOPT, SocketError::ProtocolOption},
    {EPROTONOSUPPORT, SocketError::ProtocolNotSupported},
    {EOPNOTSUPP, SocketError::OperationNotSupported},
    {EAFNOSUPPORT, SocketError::FamilyNotSupported},
    {EADDRINUSE, SocketError::AddressInUse},
    {EADDRNOTAVAIL, SocketError::AddressNotAvailable},
    {ENETDOWN, SocketError::NetworkDown},
    {ENETUNREACH, SocketError::NetworkUnreachable},
    {ECONNRESET, SocketError::ConnectionReset},
    {ENOBUFS, SocketError::NoBufferSpace},
    {ENOMEM, SocketError::NoBufferSpace},
    {ENOTCONN, SocketError::NotConnected},
    {ETIMEDOUT, SocketError::TimedOut},
    {ECONNREFUSED, SocketError::ConnectionRefused},
    {EHOSTUNREACH, SocketError::HostUnreachable},
};

}  // namespace

int WinsockErrorFromErrno(int value) {
    return Translate(kErrnoTable, value, value);
}

}  // namespace QX
