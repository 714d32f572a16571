#pragma once

#include <cstdint>
#include <vector>

#include "qxnet/QXExport.h"

namespace QXSDK {

// The data of an A record: one IPv4 address, host byte order (192.168.1.10 is 0xC0A8010A).
class QXNET_API DNSRrdataA {
public:
    // rdata must be exactly 4 bytes; returns the value left in m_valid.
    bool ParseInit(const std::vector<std::uint8_t>& rdata);

    bool m_valid = false;
    std::uint32_t m_address = 0;
};

}  // namespace QXSDK
