// The C interface's host network: interfaces, address and neighbour tables, ping, free address.

#include <cstring>

#include "qxnet/c/QXCHandle.h"
#include "qxnet/common/QXAddress.h"
#include "qxnet/net/QXFetchTable.h"
#include "qxnet/net/QXInterfaceList.h"
#include "qxnet/net/QXPing.h"

using QX::C::Guard;
namespace Code = QX::ResultCode;

namespace {

// Checks a caller's row array: rows[0].size gives the stride, so that a caller built against a
// later, longer struct is served too. Null rows are allowed only with capacity 0.
template <class Row>
bool RowsUsable(const Row* rows, std::uint32_t capacity, std::uint32_t* count) {
    if (count == nullptr || (rows == nullptr && capacity != 0)) {
        return false;
    }
    return capacity == 0 || rows->size >= sizeof(Row);
}

// Stores rows made by fill(index, row) into the caller's array, or tells how many are needed.
template <class Row, class Fill>
qxnet_result StoreRows(Row* rows, std::uint32_t capacity, std::uint32_t* count,
                       std::uint32_t available, Fill fill) {
    *count = available;
    if (available > capacity) {
        return Code::BufferTooSmall;
    }
    const std::uint32_t stride = capacity != 0 ? rows->size : 0;
    auto* bytes = reinterpret_cast<unsigned char*>(rows);
    for (std::uint32_t i = 0; i < available; ++i) {
        Row row;
        std::memset(&row, 0, sizeof row);
        fill(i, row);
        row.size = stride;
        std::memcpy(bytes + static_cast<std::size_t>(i) * stride, &row, sizeof row);
    }
    return Code::Success;
}

// Fetches one of the platform's tables and stores a row made by fill(entry, row) for each of its
// entries, or tells how many are needed; an empty table (NoData) stores none.
template <class Table, class Row, class Fill>
qxnet_result StoreTable(DWORD (QX::NetInfoSource::*get)(Table*, DWORD*, bool), Row* rows,
                        std::uint32_t capacity, std::uint32_t* count, Fill fill) {
    if (!RowsUsable(rows, capacity, count)) {
        return Code::InvalidArgument;
    }
    return Guard(nullptr, [&] {
        QX::TableBlock<Table> table;
        const DWORD answer = QX::FetchTable(get, true, table);
        if (answer != QX::NetInfoError::Success) {
            *count = 0;
            return answer == QX::NetInfoError::NoData ? Code::Success : Code::Unexpected;
        }
        return StoreRows(rows, capacity, count, table->dwNumEntries,
                         [&](std::uint32_t i, Row& row) { fill(table->table[i], row); });
    });
}

}  // namespace

extern "C" {

qxnet_result qxnet_net_interfaces(qxnet_interface* rows, uint32_t capacity, uint32_t* count) {
    if (!RowsUsable(rows, capacity, count)) {
        return Code::InvalidArgument;
    }
    return Guard(nullptr, [&] {
        QX::InterfaceList list;
        const int result = list.Open();
        if (result != 0) {
            *count = 0;
            return static_cast<qxnet_result>(result);
        }
        return StoreRows(rows, capacity, count, static_cast<std::uint32_t>(list.GetSize()),
                         [&](std::uint32_t i, qxnet_interface& row) {
                             const int index = static_cast<int>(i);
                             row.address = list.GetAddress(index, true);
                             row.mask = list.GetMask(index, true);
                             row.broadcast = list.GetBroadcast(index, true);
                             QX::C::CopyCut(QX::ToUtf8(list.GetName(index).c_str()), row.name,
                                            sizeof row.name);
                             QX::C::CopyCut(QX::ToUtf8(list.GetDescription(index).c_str()),
                                            row.description, sizeof row.description);
                         });
    });
}

qxnet_result qxnet_net_addresses(qxnet_address_row* rows, uint32_t capacity, uint32_t* count) {
    return StoreTable(&QX::NetInfoSource::GetIpAddrTable, rows, capacity, count,
                      [](const MIB_IPADDRROW& entry, qxnet_address_row& row) {
                          row.address = QX::SwapAddress(entry.dwAddr);
                          row.mask = QX::SwapAddress(entry.dwMask);
                          row.broadcast = (row.address & row.mask) | ~row.mask;
                          row.interface_index = entry.dwIndex;
                      });
}

qxnet_result qxnet_net_neighbours(qxnet_neighbour_row* rows, uint32_t capacity, uint32_t* count) {
    return StoreTable(&QX::NetInfoSource::GetIpNetTable, rows, capacity, count,
                      [](const MIB_IPNETROW& entry, qxnet_neighbour_row& row) {
                          row.address = QX::SwapAddress(entry.dwAddr);
                          row.interface_index = entry.dwIndex;
                          row.type = entry.dwType;
                          row.physical_length =
                              entry.dwPhysAddrLen < sizeof row.physical
                                  ? entry.dwPhysAddrLen
                                  : static_cast<std::uint32_t>(sizeof row.physical);
                          std::memcpy(row.physical, entry.bPhysAddr, row.physical_length);
                      });
}

qxnet_result qxnet_net_ping(uint32_t address, uint32_t timeout_ms, int32_t* replied) {
    if (replied == nullptr) {
        return Code::InvalidArgument;
    }
    *replied = 0;
    return Guard(nullptr, [&] {
        const int result = QX::PingICMP(address, timeout_ms);
        if (result == 0 || result == 1) {
            *replied = result == 0 ? 1 : 0;
            return Code::Success;
        }
        return static_cast<qxnet_result>(result);
    });
}

qxnet_result qxnet_net_free_address(uint32_t start, uint32_t end, uint32_t* address) {
    // An end of 0 would reach to start's first octet set to 255, far beyond what a caller
    // usually means to probe: the range is always spelt out here.
    if (address == nullptr || end == 0 || end < start) {
        return Code::InvalidArgument;
    }
    *address = 0;
    return Guard(nullptr, [&] {
        *address = QX::GetAvailableAddress(start, end);
        return *address != 0 ? Code::Success : Code::ObjectNotFound;
    });
}

}  // extern "C"
