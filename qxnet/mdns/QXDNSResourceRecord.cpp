#include "qxnet/mdns/QXDNSResourceRecord.h"

namespace QXSDK {

DNSResourceRecord::DNSResourceRecord(const DNSName& name, std::uint16_t type, std::uint16_t rrClass,
                                     std::uint32_t ttl, std::uint16_t rdLength,
                                     const std::uint8_t* rdata)
    : m_name(name),
      m_type(type),
      m_class(rrClass),
      m_ttl(ttl),
      m_rdLength(rdLength),
      m_rdata(rdata, rdata + rdLength) {}

}  // namespace QXSDK
