#pragma once

#include <cstdint>
#include <vector>

#include "qxnet/QXExport.h"

namespace QX {

// The IPv4 addresses that the host's own name resolves to, host order, at most ten, loopback
// included. An empty list (after a trace) when the name does not resolve. Runs on the calling
// thread; no locks, no callbacks.
QXNET_API std::vector<std::uint32_t> GetLocalAddresses();

}  // namespace QX
