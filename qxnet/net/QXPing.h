#pragma once

// Reachability of IPv4 addresses and the search for a free one. Every function blocks the
// calling thread, keeps no state between calls and runs no callbacks but the search's progress
// callback; no lock is taken.

#include <cstdint>
#include <string>

#include "qxnet/QXExport.h"

namespace QX {

// One echo exchange over a raw ICMP socket, up to five attempts of 200 microseconds each.
// address is in network order. 0 when any ICMP datagram came back, ResultCode::TimedOut after
// five silent attempts, ResultCode::Unexpected when the socket cannot be made or the wait fails.
QXNET_API int Ping(std::uint32_t address);

// One echo request through the platform's echo facility, waiting at most timeoutMs. address is
// in host order; a broadcast address is pinged too, and a reply from any host counts. 0 when a
// reply came, 1 when none did (silence, or an ICMP error such as host unreachable), and
// ResultCode::UnsupportedOperation when the echo facility is not available or the echo call
// failed (or anything else failed inside); the first such failure of the process is traced with
// its reason.
QXNET_API int PingICMP(std::uint32_t address, std::uint32_t timeoutMs);

// Why the echo facility cannot be used by this process (the system's error and what would
// enable ICMP), or empty when it can be bound.
QXNET_API std::wstring PingUnavailableReason();

// True when three echo requests in a row (100, 1500 and 1500 ms) go unanswered. Host order.
QXNET_API bool IsAddrAvailable(std::uint32_t address);

// The first free address from start to end (host order, both included), or 0. An end of 0 means
// start with its first octet set to 255. Each free address costs 3.1 s of silence.
QXNET_API std::uint32_t GetAvailableAddress(std::uint32_t start, std::uint32_t end);

// The same search, calling taken(address, context) for each address that answered (host order),
// on the calling thread, before the next address is tried: a caller's progress report. taken
// may be null.
typedef void (*AddressTakenCallback)(std::uint32_t address, void* context);
QXNET_API std::uint32_t GetAvailableAddress(std::uint32_t start, std::uint32_t end,
                                            AddressTakenCallback taken, void* context);

// Empties the neighbour cache of every Ethernet adapter; fails silently.
QXNET_API void FlashARP();

}  // namespace QX
