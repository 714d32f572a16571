#pragma once

#include <cstdint>
#include <vector>

#include "qxnet/QXExport.h"
#include "qxnet/platform/QXNetRecords.h"

namespace QX {

// The host's IP address table (127.0.0.1 left out), rows in network order, with the subnet
// test. A snapshot taken when built; no locks, no callbacks; do not assign an object while
// another thread reads it.
class QXNET_API CAddrTable {
public:
    explicit CAddrTable(const MIB_IPADDRTABLE* table);

    // Reads the platform table: a new object that the caller deletes, or null.
    static CAddrTable* GetLocalAddresses();

    // The row's address or mask, bytes reversed (host order) when swap is true; 0 for an index
    // out of range.
    std::uint32_t GetAddress(int index, bool swap) const;
    std::uint32_t GetMask(int index, bool swap) const;
    int GetSize() const;

    // 0 inside one row's subnet, 1 outside all, ResultCode::InvalidArgument for a reserved
    // address.
    int IsValidAddress(std::uint32_t address, bool swap) const;

private:
    std::vector<MIB_IPADDRROW> m_rows;
};

}  // namespace QX

// Fills *table with a new record of the host's addresses (127.0.0.1 left out; cut to the
// host-order range low..high when both are non-zero) and returns its row count; *table is null
// and the result 0 when there is nothing to give. Release the record with
// FreeLocalAddrTable, or with delete[] on it as an array of unsigned char.
QXNET_API int GetLocalAddrTable(MIB_IPADDRTABLE** table, std::uint32_t low, std::uint32_t high);

// Releases a record made by GetLocalAddrTable (for callers that cannot use the C++ delete[]);
// null is allowed.
QXNET_API void FreeLocalAddrTable(MIB_IPADDRTABLE* table);

// The subnet test of a host-order address against a table record: 0 inside (also for a null
// table), 1 outside, ResultCode::InvalidArgument for a reserved address.
QXNET_API int ValidateIP(std::uint32_t address, MIB_IPADDRTABLE* table);
