// The C interface's host network: interfaces, address and neighbour tables, ping, free address.

#include <cstring>
#include <vector>

#include "qxnet/c/QXCHandle.h"
#include "qxnet/net/QXInterfaceList.h"
#include "qxnet/net/QXPing.h"
#include "qxnet/net/QXReservedAddress.h"
#include "qxnet/platform/QXNetInfo.h"

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

// One of the platform's tables in its two steps (size, then rows), as a DWORD-aligned block.
template <class Table, class Get>
qxnet_result FetchTable(Get get, std::vector<DWORD>& storage) {
    DWORD size = 0;
    DWORD answer = get(nullptr, &size);
    if (answer == QX::NetInfoError::InsufficientBuffer) {
        storage.assign(size / sizeof(DWORD) + 1, 0);
        answer = get(reinterpret_cast<Table*>(storage.data()), &size);
    }
    if (answer == QX::NetInfoError::NoData) {
        storage.assign(1, 0);  // an empty table
        return Code::Success;
    }
    return answer == QX::NetInfoError::Success ? Code::Success : Code::Unexpected;
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
    if (!RowsUsable(rows, capacity, count)) {
        return Code::InvalidArgument;
    }
    return Guard(nullptr, [&] {
        std::vector<DWORD> storage;
        const qxnet_result fetched = FetchTable<MIB_IPADDRTABLE>(
            [](MIB_IPADDRTABLE* table, DWORD* size) {
                return QX::NetInfoSource::Current().GetIpAddrTable(table, size, true);
            },
            storage);
        if (fetched != Code::Success) {
            *count = 0;
            return fetched;
        }
        const auto* table = reinterpret_cast<const MIB_IPADDRTABLE*>(storage.data());
        return StoreRows(rows, capacity, count, table->dwNumEntries,
                         [&](std::uint32_t i, qxnet_address_row& row) {
                             const MIB_IPADDRROW& entry = table->table[i];
                             row.address = QX::SwapAddress(entry.dwAddr);
                             row.mask = QX::SwapAddress(entry.dwMask);
                             row.broadcast = (row.address & row.mask) | ~row.mask;
                             row.interface_index = entry.dwIndex;
                         });
    });
}

qxnet_result qxnet_net_neighbours(qxnet_neighbour_row* rows, uint32_t capacity, uint32_t* count) {
    if (!RowsUsable(rows, capacity, count)) {
        return Code::InvalidArgument;
    }
    return Guard(nullptr, [&] {
        std::vector<DWORD> storage;
        const qxnet_result fetched = FetchTable<MIB_IPNETTABLE>(
            [](MIB_IPNETTABLE* table, DWORD* size) {
                return QX::NetInfoSource::Current().GetIpNetTable(table, size, true);
            },
            storage);
        if (fetched != Code::Success) {
            *count = 0;
            return fetched;
        }
        const auto* table = reinterpret_cast<const MIB_IPNETTABLE*>(storage.data());
        return StoreRows(rows, capacity, count, table->dwNumEntries,
                         [&](std::uint32_t i, qxnet_neighbour_row& row) {
                             const MIB_IPNETROW& entry = table->table[i];
                             row.address = QX::SwapAddress(entry.dwAddr);
                             row.interface_index = entry.dwIndex;
                             row.type = entry.dwType;
                             row.physical_length =
                                 entry.dwPhysAddrLen < sizeof row.physical
                                     ? entry.dwPhysAddrLen
                                     : static_cast<std::uint32_t>(sizeof row.physical);
                             std::memcpy(row.physical, entry.bPhysAddr, row.physical_length);
                         });
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
