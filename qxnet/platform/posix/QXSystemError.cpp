#include "qxnet/platform/posix/QXSystemError.h"

#include <cerrno>

#include "qxnet/platform/QXSocket.h"
#include "qxnet/platform/QXTranslation.h"

namespace QX {

namespace {

// The whole table is in the Winsock numbering: its names stand alone.
using namespace SocketError;

constexpr Translation<int, int> kErrnoTable[] = {
    {EINTR, Interrupted},
    {EBADF, NotSocket},
    {EACCES, AccessDenied},
    {EPERM, AccessDenied},
    {EFAULT, Fault},
    {EINVAL, InvalidArgument},
    {EMFILE, TooManyOpen},
    {ENFILE, TooManyOpen},
    {EAGAIN, WouldBlock},
    {ENOTSOCK, NotSocket},
    {EDESTADDRREQ, DestinationRequired},
    {EMSGSIZE, MessageTooLong},
    {ENOPROTOOPT, ProtocolOption},
    {EPROTONOSUPPORT, ProtocolNotSupported},
    {EOPNOTSUPP, OperationNotSupported},
    {EAFNOSUPPORT, FamilyNotSupported},
    {EADDRINUSE, AddressInUse},
    {EADDRNOTAVAIL, AddressNotAvailable},
    {ENETDOWN, NetworkDown},
    {ENETUNREACH, NetworkUnreachable},
    {ECONNRESET, ConnectionReset},
    {ENOBUFS, NoBufferSpace},
    {ENOMEM, NoBufferSpace},
    {ENOTCONN, NotConnected},
    {ETIMEDOUT, TimedOut},
    {ECONNREFUSED, ConnectionRefused},
    {EHOSTUNREACH, HostUnreachable},
};

}  // namespace

int WinsockErrorFromErrno(int value) {
    return Translate(kErrnoTable, value, value);
}

}  // namespace QX
