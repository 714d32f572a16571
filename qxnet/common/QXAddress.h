#pragma once

#include <cstdint>
#include <string>

#include "qxnet/QXExport.h"

namespace QX {

// 127.0.0.1, host order.
constexpr std::uint32_t LOOPBACK_ADDRESS = 0x7F000001;

// True for a host-order address of the loopback network 127/8.
constexpr bool IsLoopbackAddress(std::uint32_t hostOrderAddress) {
    return (hostOrderAddress >> 24) == 127;
}

// Reverses the four bytes of an IPv4 value. The hosts this library is built for (x86 and ARM,
// Linux and Windows) are little-endian, where that is the step from network order to host order
// and back.
constexpr std::uint32_t SwapAddress(std::uint32_t value) {
    return ((value & 0xFFu) << 24) | ((value & 0xFF00u) << 8) | ((value >> 8) & 0xFF00u) |
           (value >> 24);
}

// A host-order IPv4 address (first octet most significant) as "a.b.c.d".
QXNET_API std::wstring AddressToText(std::uint32_t hostOrderAddress);

}  // namespace QX
