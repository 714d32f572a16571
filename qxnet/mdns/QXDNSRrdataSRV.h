#pragma once

#include <cstdint>
#include <vector>

#include "qxnet/QXExport.h"
#include "qxnet/mdns/QXDNSName.h"

namespace QXSDK {

// The data of an SRV record: priority, weight, port and target host name.
class QXNET_API DNSRrdataSRV {
public:
    bool m_valid = false;
    // The record's fields in their wire order.
    std::uint16_t m_priority = 0;
    std::uint16_t m_weight = 0;
    std::uint16_t m_port = 0;
    DNSName m_target;

    // Reads the three 16-bit fields and the target at rdata offset 6, resolving pointers in
    // message; valid when the target occupies at least 2 bytes. Returns the value left in m_valid.
    bool ParseInit(const std::vector<std::uint8_t>& message,
                   const std::vector<std::uint8_t>& rdata);
};

}  // namespace QXSDK
