#include "qxnet/common/QXAddress.h"

#include "qxnet/common/QXFormat.h"

namespace QX {

std::wstring AddressToText(std::uint32_t address) {
    wchar_t text[16];
    std::size_t count = Format(text, 15, L"%d.%d.%d.%d", (address >> 24) & 0xFF,
                               (address >> 16) & 0xFF, (address >> 8) & 0xFF, address & 0xFF);
    return std::wstring(text, count);
}

}  // namespace QX
