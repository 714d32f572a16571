#pragma once

#include <cstddef>
#include <memory>
#include <utility>

#include "qxnet/platform/QXNetInfo.h"

namespace QX {

// A table record in a block of bytes, as the platform's table calls fill it.
struct TableBlockRelease {
    template <class Table>
    void operator()(Table* table) const {
        delete[] reinterpret_cast<unsigned char*>(table);
    }
};
template <class Table>
using TableBlock = std::unique_ptr<Table, TableBlockRelease>;

// A zero-filled block of bytes, never smaller than the table record itself, so that its count
// is always there to read.
template <class Table>
TableBlock<Table> NewTableBlock(std::size_t bytes) {
    return TableBlock<Table>(reinterpret_cast<Table*>(
        new unsigned char[bytes < sizeof(Table) ? sizeof(Table) : bytes]()));
}

// Fetches one of the platform's tables in its two steps: the size it needs, then the rows. Gives
// the platform's answer; table holds the rows only on Success. A table that grew in between does
// not fit and fails the fetch. A first step that asks for no room answers NoData.
template <class Table>
DWORD FetchTable(DWORD (NetInfoSource::*get)(Table*, DWORD*, bool), bool sort,
                 TableBlock<Table>& table) {
    table.reset();
    NetInfoSource& source = NetInfoSource::Current();
    DWORD size = 0;
    const DWORD asked = (source.*get)(nullptr, &size, sort);
    if (asked != NetInfoError::InsufficientBuffer) {
        return asked == NetInfoError::Success ? NetInfoError::NoData : asked;
    }
    TableBlock<Table> fetched = NewTableBlock<Table>(size);
    const DWORD answer = (source.*get)(fetched.get(), &size, sort);
    if (answer == NetInfoError::Success) {
        table = std::move(fetched);
    }
    return answer;
}

// A new Object built from a fetched table, which the caller deletes; null when the fetch fails.
template <class Object, class Table>
Object* NewFromTable(DWORD (NetInfoSource::*get)(Table*, DWORD*, bool)) {
    TableBlock<Table> table;
    return FetchTable(get, false, table) == NetInfoError::Success ? new Object(table.get())
                                                                  : nullptr;
}

}  // namespace QX
