#include "qxnet/net/QXReservedAddress.h"

#include "qxnet/common/QXAddress.h"

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

}  // namespace QX
