#include "qxnet/net/QXNetTable.h"

#include "qxnet/common/QXAddress.h"
#include "qxnet/net/QXFetchTable.h"

namespace QX {

CNetTable::CNetTable(const MIB_IPNETTABLE* table) {
    m_rows.reserve(table->dwNumEntries);
    for (DWORD i = 0; i < table->dwNumEntries; ++i) {
        if (table->table[i].dwPhysAddrLen > 0) {
            m_rows.push_back(table->table[i]);
        }
    }
}

CNetTable* CNetTable::GetLocalNetAddresses() {
    return NewFromTable<CNetTable>(&NetInfoSource::GetIpNetTable);
}

std::uint64_t CNetTable::NetworkToHostQWORD(unsigned char* bytes, std::uint32_t length) const {
    // More than 8 bytes cannot be held by the result; such input is refused with 0 rather than
    // cut, so that no two different long addresses compare equal by their last bytes.
    if (length > 8) {
        return 0;
    }
    std::uint64_t value = 0;
    for (std::uint32_t i = 0; i < length; ++i) {
        value = (value << 8) + bytes[i];
    }
    return value;
}

std::vector<std::uint32_t> CNetTable::GetIPAddressesOfMac(std::uint64_t mac) const {
    std::vector<std::uint32_t> result;
    for (const MIB_IPNETROW& row : m_rows) {
        // A row never holds more than its 8 bytes, whatever its length field says.
        std::uint32_t length =
            row.dwPhysAddrLen > MAXLEN_PHYSADDR ? MAXLEN_PHYSADDR : row.dwPhysAddrLen;
        if (NetworkToHostQWORD(const_cast<unsigned char*>(row.bPhysAddr), length) == mac) {
            result.push_back(SwapAddress(row.dwAddr));
        }
    }
    return result;
}

}  // namespace QX
