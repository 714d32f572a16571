#pragma once

#include <cstdint>

namespace QX {

// Reverses the four bytes of an IPv4 value: network order to host order and back.
constexpr std::uint32_t SwapAddress(std::uint32_t value) {
    return ((value & 0xFFu) << 24) | ((value & 0xFF00u) << 8) | ((value >> 8) & 0xFF00u) |
           (value >> 24);
}

// The screen that the subnet tests share: true when a host-order address is no usable host
// address (last octet 0 or 255; the /24 blocks 0.0.0.x, 127.0.0.x, 192.0.2.x, 192.88.99.x and
// 198.18.0.x; 224.0.0.0 to 247.255.255.255).
bool IsReservedAddress(std::uint32_t hostOrderAddress);

// The mask that a subnet test uses for a stored network-order mask, in host order: the stored
// one, except that an all-ones mask is taken as 255.255.255.0.
std::uint32_t TestMask(std::uint32_t networkOrderMask);

}  // namespace QX
