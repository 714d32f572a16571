#pragma once

#include <cstdint>
#include <vector>

#include "qxnet/QXExport.h"
#include "qxnet/mdns/QXDNSName.h"

namespace QXSDK {

// The data of a PTR record: the target name.
class QXNET_API DNSRrdataPTR {
public:
    // Parses the target at rdata offset 0, resolving pointers in message; valid when the name
    // occupies at least 2 bytes. Returns the value left in m_valid.
    bool ParseInit(const std::vector<std::uint8_t>& message,
                   const std::vector<std::uint8_t>& rdata);

    bool m_valid = false;
    DNSName m_target;
};

}  // namespace QXSDK
