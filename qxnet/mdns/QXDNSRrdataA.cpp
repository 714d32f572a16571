#include "qxnet/mdns/QXDNSRrdataA.h"

#include "qxnet/common/QXByteReader.h"
#include "qxnet/mdns/QXDNSTraceLimit.h"

namespace QXSDK {

bool DNSRrdataA::ParseInit(const std::vector<std::uint8_t>& rdata) {
    m_valid = false;
    if (rdata.size() != 4) {
        DNSTraceLimit::Trace(L"DNSRrdataA::ParseInit: Error 1! Data length != 4!");
        return false;
    }
    QX::ByteReader reader(rdata);
    m_valid = reader.ReadU32(m_address);
    return m_valid;
}

}  // namespace QXSDK
