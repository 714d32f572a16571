#include "qxnet/mdns/QXDNSRrdataSRV.h"

#include "qxnet/common/QXByteReader.h"
#include "qxnet/mdns/QXDNSTraceLimit.h"

namespace QXSDK {

bool DNSRrdataSRV::ParseInit(const std::vector<std::uint8_t>& message,
                             const std::vector<std::uint8_t>& rdata) {
    m_valid = false;
    if (rdata.size() < 8) {
        return DNSTraceLimit::Fail(L"DNSRrdataSRV::ParseInit: Error 1! Data length less than 8!");
    }
    QX::ByteReader reader(rdata);
    reader.ReadU16(m_priority);
    reader.ReadU16(m_weight);
    reader.ReadU16(m_port);
    m_valid = m_target.ParseInit(message, rdata, 6) >= 2;
    return m_valid;
}

}  // namespace QXSDK
