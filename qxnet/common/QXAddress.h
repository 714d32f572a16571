#pragma once

#include <cstdint>
#include <string>

#include "qxnet/QXExport.h"

namespace QX {

// A host-order IPv4 address (first octet most significant) as "a.b.c.d".
QXNET_API std::wstring AddressToText(std::uint32_t hostOrderAddress);

}  // namespace QX
