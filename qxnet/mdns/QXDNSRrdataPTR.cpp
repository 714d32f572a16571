#include "qxnet/mdns/QXDNSRrdataPTR.h"

#include "qxnet/mdns/QXDNSTraceLimit.h"

namespace QXSDK {

bool DNSRrdataPTR::ParseInit(const std::vector<std::uint8_t>& message,
                             const std::vector<std::uint8_t>& rdata) {
    m_valid = false;
    if (rdata.size() < 2) {
        DNSTraceLimit::Trace(L"DNSRrdataPTR::ParseInit: Error 1! Data length less than 2!");
        return false;
    }
    m_valid = m_target.ParseInit(message, rdata, 0) >= 2;
    return m_valid;
}

}  // namespace QXSDK
