#pragma once

#include <cstdint>

#include "qxnet/QXExport.h"
#include "qxnet/mdns/QXDNSRrdataTXT.h"

namespace QXSDK {

// A camera found by mDNS: its address (host byte order, from its A record) and the fields of its
// TXT record. The value type of the client's camera maps, keyed by m_mac. A plain value type.
class QXNET_API MDNSCameraData : public CameraTextFields<CameraAddressHead> {
public:
    MDNSCameraData() = default;
    // Joins an A record's address with a parsed camera text.
    MDNSCameraData(std::uint32_t ip, const DNSRrdataTXT& txt);
};

}  // namespace QXSDK
