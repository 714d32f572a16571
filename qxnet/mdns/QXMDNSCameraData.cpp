#include "qxnet/mdns/QXMDNSCameraData.h"

namespace QXSDK {

MDNSCameraData::MDNSCameraData(std::uint32_t ip, const DNSRrdataTXT& txt)
    : CameraTextFields(CameraAddressHead{ip}, txt) {}

}  // namespace QXSDK
