#pragma once

// The echo call that the Windows echo facility binds at run time. A test may put its own in
// place of the library's (null restores it) to play answers that the system does not give on
// demand, such as a failed call; the library is still loaded and released as always.

#include <winsock2.h>
#include <ws2tcpip.h>

// The echo functions' declarations use IP Helper's address and option types.
#include <iphlpapi.h>

#include <icmpapi.h>

namespace QX {

typedef DWORD(WINAPI* IcmpSendEchoEntry)(HANDLE, IPAddr, LPVOID, WORD, PIP_OPTION_INFORMATION,
                                         LPVOID, DWORD, DWORD);

// Returns the entry that was in place (null for the library's own).
IcmpSendEchoEntry SetIcmpSendEchoEntry(IcmpSendEchoEntry entry);

}  // namespace QX
