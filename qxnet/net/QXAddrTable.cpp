#include "qxnet/net/QXAddrTable.h"

#include <cstring>

#include "qxnet/common/QXAddress.h"
#include "qxnet/common/QXResult.h"
#include "qxnet/common/QXTrace.h"
#include "qxnet/net/QXFetchTable.h"
#include "qxnet/net/QXReservedAddress.h"
#include "qxnet/platform/QXNetInfo.h"

namespace QX {

CAddrTable::CAddrTable(const MIB_IPADDRTABLE* table) {
    for (DWORD i = 0; i < table->dwNumEntries; ++i) {
        if (SwapAddress(table->table[i].dwAddr) != LOOPBACK_ADDRESS) {
            m_rows.push_back(table->table[i]);
        }
    }
}

CAddrTable* CAddrTable::GetLocalAddresses() {
    return NewFromTable<CAddrTable>(&NetInfoSource::GetIpAddrTable);
}

std::uint32_t CAddrTable::GetAddress(int index, bool swap) const {
    if (index < 0 || static_cast<std::size_t>(index) >= m_rows.size()) {
        return 0;
    }
    std::uint32_t value = m_rows[static_cast<std::size_t>(index)].dwAddr;
    return swap ? SwapAddress(value) : value;
}

std::uint32_t CAddrTable::GetMask(int index, bool swap) const {
    if (index < 0 || static_cast<std::size_t>(index) >= m_rows.size()) {
        return 0;
    }
    std::uint32_t value = m_rows[static_cast<std::size_t>(index)].dwMask;
    return swap ? SwapAddress(value) : value;
}

int CAddrTable::GetSize() const {
    return static_cast<int>(m_rows.size());
}

int CAddrTable::IsValidAddress(std::uint32_t address, bool swap) const {
    std::uint32_t a = 0;
    if (!ScreenAddress(address, swap, a)) {
        return static_cast<int>(ResultCode::InvalidArgument);
    }
    for (const MIB_IPADDRROW& row : m_rows) {
        if (InLocalSubnet(row.dwAddr, row.dwMask, a)) {
            return 0;
        }
    }
    return 1;
}

}  // namespace QX

int GetLocalAddrTable(MIB_IPADDRTABLE** table, std::uint32_t low, std::uint32_t high) {
    *table = nullptr;
    QX::TableBlock<MIB_IPADDRTABLE> fetched;
    if (QX::FetchTable(&QX::NetInfoSource::GetIpAddrTable, false, fetched) !=
        QX::NetInfoError::Success) {
        return 0;
    }
    std::vector<MIB_IPADDRROW> kept;
    for (DWORD i = 0; i < fetched->dwNumEntries; ++i) {
        const MIB_IPADDRROW& row = fetched->table[i];
        if (QX::SwapAddress(row.dwAddr) == QX::LOOPBACK_ADDRESS) {
            continue;
        }
        std::uint32_t host = QX::SwapAddress(row.dwAddr);
        if (low != 0 && high != 0 && (host < low || host > high)) {
            continue;
        }
        kept.push_back(row);
    }
    if (kept.empty()) {
        return 0;
    }
    // The record is exactly the count and its rows: 4 + 24 per row.
    std::size_t bytes = sizeof(DWORD) + kept.size() * sizeof(MIB_IPADDRROW);
    QX::TableBlock<MIB_IPADDRTABLE> result = QX::NewTableBlock<MIB_IPADDRTABLE>(bytes);
    result->dwNumEntries = static_cast<DWORD>(kept.size());
    std::memcpy(result->table, kept.data(), kept.size() * sizeof(MIB_IPADDRROW));
    *table = result.release();
    return static_cast<int>(kept.size());
}

void FreeLocalAddrTable(MIB_IPADDRTABLE* table) {
    QX::TableBlock<MIB_IPADDRTABLE> released(table);
}

int ValidateIP(std::uint32_t address, MIB_IPADDRTABLE* table) {
    if (QX::IsReservedAddress(address)) {
        return static_cast<int>(QX::ResultCode::InvalidArgument);
    }
    if (table == nullptr) {
        return 0;
    }
    std::uint32_t n = QX::SwapAddress(address);
    for (DWORD i = 0; i < table->dwNumEntries; ++i) {
        const MIB_IPADDRROW& row = table->table[i];
        std::uint32_t m = row.dwMask == 0xFFFFFFFFu ? QX::SwapAddress(0xFFFFFF00u) : row.dwMask;
        if ((row.dwAddr & m) == (n & m)) {
            return 0;
        }
    }
    return 1;
}
