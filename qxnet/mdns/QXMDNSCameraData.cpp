#include "qxnet/mdns/QXMDNSCameraData.h"

namespace QXSDK {

MDNSCameraData::MDNSCameraData(std::uint32_t ip, const DNSRrdataTXT& txt)
    : m_ip(ip),
      m_valid(txt.m_valid),
      m_mac(txt.m_mac),
      m_hex32(txt.m_hex32),
      m_hex16(txt.m_hex16),
      m_fwMajor(txt.m_fwMajor),
      m_fwMinor(txt.m_fwMinor),
      m_pairFirst(txt.m_pairFirst),
      m_pairSecond(txt.m_pairSecond),
      m_model(txt.m_model) {}

}  // namespace QXSDK
