#include "qxnet/mdns/QXDNSRrdataPTR.h"

#include "qxnet/mdns/QXDNSTraceLimit.h"

namespace QXSDK {

bool DNSRrdataPTR::ParseInit(const std::vector<std::uint8_t>& message,
                             const std::vector<std::uint8_t>& rdata) {
    m_valid =
        rdata.size() >= 2
            ? m_target.ParseInit(message, rdata, 0) >= 2
            : DNSTraceLimit::Fail(L"DNSRrdataPTR::ParseInit: Error 1! Data length less than 2!");
    return m_valid;
}

}  // namespace QXSDK
