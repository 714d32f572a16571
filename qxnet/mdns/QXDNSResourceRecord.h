#pragma once

#include <cstdint>
#include <vector>

#include "qxnet/QXExport.h"
#include "qxnet/mdns/QXDNSName.h"

namespace QXSDK {

// One resource record as received: owner name, type, class (top bit kept), TTL and a copy of its
// rdata. A plain copyable value.
class QXNET_API DNSResourceRecord {
public:
    // rdata points at rdLength bytes inside the received message; they are copied.
    DNSResourceRecord(const DNSName& name, std::uint16_t type, std::uint16_t rrClass,
                      std::uint32_t ttl, std::uint16_t rdLength, const std::uint8_t* rdata);

    DNSName m_name;
    std::uint16_t m_type;
    std::uint16_t m_class;
    std::uint32_t m_ttl;
    std::uint16_t m_rdLength;
    std::vector<std::uint8_t> m_rdata;
};

}  // namespace QXSDK
