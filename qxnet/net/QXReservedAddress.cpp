#include "qxnet/net/QXReservedAddress.h"

#include "qxnet/common/QXAddress.h"
#include "qxnet/common/QXTrace.h"

namespace QX {

bool IsReservedAddress(std::uint32_t a) {
    std::uint32_t last = a & 0xFF;
    if (last == 0 || last == 255) {
        return true;
    }
    switch (a & 0xFFFFFF00u) {
        case 0x00000000u:
        case 0x7F000000u:
        case 0xC0000200u:
        case 0xC0586300u:
        case 0xC6120000u:
            return true;
        default:
            break;
    }
    return a >= 0xE0000000u && a <= 0xF7FFFFFFu;
}

std::uint32_t TestMask(std::uint32_t networkOrderMask) {
    return networkOrderMask == 0xFFFFFFFFu ? 0xFFFFFF00u : SwapAddress(networkOrderMask);
}

bool ScreenAddress(std::uint32_t address, bool swap, std::uint32_t& hostOrderAddress) {
    Trace(L"Validating IP: %s (swap %b)", AddressToText(address).c_str(), swap ? 1 : 0);
    hostOrderAddress = swap ? SwapAddress(address) : address;
    return !IsReservedAddress(hostOrderAddress);
}

bool InLocalSubnet(std::uint32_t localAddress, std::uint32_t localMask,
                   std::uint32_t hostOrderAddress) {
    const std::uint32_t m = TestMask(localMask);
    const std::uint32_t local = SwapAddress(localAddress);
    Trace(L"LocalIP: %s", AddressToText(local).c_str());
    return (local & m) == (hostOrderAddress & m);
}

}  // namespace QX
