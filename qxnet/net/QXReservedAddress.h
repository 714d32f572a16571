#pragma once

#include <cstdint>

namespace QX {

// The screen that the subnet tests share: true when a host-order address is no usable host
// address (last octet 0 or 255; the /24 blocks 0.0.0.x, 127.0.0.x, 192.0.2.x, 192.88.99.x and
// 198.18.0.x; 224.0.0.0 to 247.255.255.255).
bool IsReservedAddress(std::uint32_t hostOrderAddress);

// The mask that a subnet test uses for a stored network-order mask, in host order: the stored
// one, except that an all-ones mask is taken as 255.255.255.0.
std::uint32_t TestMask(std::uint32_t networkOrderMask);

// The start of every subnet test: traces the address as given and puts it in host order (bytes
// reversed when swap is true); false for a reserved address.
bool ScreenAddress(std::uint32_t address, bool swap, std::uint32_t& hostOrderAddress);

// The subnet test against one local address and mask in network order, as the tables hold them:
// traces the local address and compares under TestMask.
bool InLocalSubnet(std::uint32_t localAddress, std::uint32_t localMask,
                   std::uint32_t hostOrderAddress);

}  // namespace QX
