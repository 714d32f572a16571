#pragma once

// The one translation of the system's errno into the Winsock numbering that the socket layer and
// ICMP report on every platform.

namespace QX {

// The Winsock number for an errno value. EBADF reads as "not a socket": Winsock answers a handle
// that names no open socket so, and callers test for that one number. An errno without a Winsock
// counterpart is passed on as it is; it stays below 10000, so it is never taken for a Winsock
// number (10000 plus a Linux errno would be, as Linux numbers differ from the BSD ones Winsock
// follows).
int WinsockErrorFromErrno(int value);

}  // namespace QX
