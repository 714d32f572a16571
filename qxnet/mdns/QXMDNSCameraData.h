#pragma once

#include <cstdint>
#include <string>

#include "qxnet/QXExport.h"
#include "qxnet/mdns/QXDNSRrdataTXT.h"

namespace QXSDK {

// A camera found by mDNS: its address (host byte order, from its A record) and the fields of its
// TXT record. The value type of the client's camera maps, keyed by m_mac. A plain value type.
class QXNET_API MDNSCameraData {
public:
    MDNSCameraData() = default;
    // Joins an A record's address with a parsed camera text.
    MDNSCameraData(std::uint32_t ip, const DNSRrdataTXT& txt);

    std::uint32_t m_ip = 0;
    bool m_valid = false;
    std::uint64_t m_mac = 0;
    std::uint32_t m_hex32 = 0;
    std::uint16_t m_hex16 = 0;
    std::int32_t m_fwMajor = 0;
    std::int32_t m_fwMinor = 0;
    std::uint16_t m_pairFirst = 0;
    std::uint16_t m_pairSecond = 0;
    std::string m_model;
};

}  // namespace QXSDK
