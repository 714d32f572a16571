#include "qxnet/mdns/QXDNSRrdataA.h"

#include "qxnet/common/QXByteReader.h"
#include "qxnet/mdns/QXDNSTraceLimit.h"

namespace QXSDK {

bool DNSRrdataA::ParseInit(const std::vector<std::uint8_t>& rdata) {
    m_valid = rdata.size() == 4
                  ? QX::ByteReader(rdata).ReadU32(m_address)
                  : DNSTraceLimit::Fail(L"DNSRrdataA::ParseInit: Error 1! Data length != 4!");
    return m_valid;
}

}  // namespace QXSDK
