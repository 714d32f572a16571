#pragma once

#include <cstdint>
#include <vector>

#include "qxnet/QXExport.h"
#include "qxnet/platform/QXNetRecords.h"

namespace QX {

// The host's neighbour (IP-to-physical-address) table, rows without a physical address left
// out, and the lookup of the addresses that one MAC has. A snapshot taken when built; no locks,
// no callbacks; do not assign an object while another thread reads it.
class QXNET_API CNetTable {
public:
    explicit CNetTable(const MIB_IPNETTABLE* table);

    // Reads the platform table: a new object that the caller deletes, or null.
    static CNetTable* GetLocalNetAddresses();

    // The physical address as a number, first byte most significant. Only the last 8 bytes of
    // a longer input can fit the result; bytes beyond the eighth are refused and give 0.
    std::uint64_t NetworkToHostQWORD(unsigned char* bytes, std::uint32_t length) const;

    // The host-order addresses of every row whose physical address is mac, in table order.
    std::vector<std::uint32_t> GetIPAddressesOfMac(std::uint64_t mac) const;

private:
    std::vector<MIB_IPNETROW> m_rows;
};

}  // namespace QX
