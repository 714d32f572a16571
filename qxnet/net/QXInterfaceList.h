#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "qxnet/QXExport.h"
#include "qxnet/net/QXNetInterface.h"

namespace QX {

// The host's IPv4 interfaces (127.0.0.1 left out) and the subnet test against them. Open reads
// a snapshot from the platform and prints two lines per adapter on standard output; the object
// never refreshes itself. No locks: Open must not overlap other calls on the same object, the
// const operations may run concurrently. No callbacks.
class QXNET_API InterfaceList {
public:
    InterfaceList() = default;

    // Appends the host's interfaces (a second call adds them again). 0, ResultCode::Unexpected
    // when the socket or the interface query fails, ResultCode::BufferTooSmall when the adapter
    // list does not fit in 32000 bytes.
    int Open();

    int GetSize() const;
    // The entry's address or mask, bytes reversed (host order) when swap is true; 0 for an
    // index out of range.
    std::uint32_t GetAddress(int index, bool swap) const;
    std::uint32_t GetMask(int index, bool swap) const;
    // Read by the qxnet program; 0 for an index out of range.
    std::uint32_t GetBroadcast(int index, bool swap) const;
    // Copies of the entry's strings; empty for an index out of range.
    std::wstring GetName(int index) const;
    std::wstring GetDescription(int index) const;

    // 0 when the address lies in the subnet of an entry (of the entry at index), 1 when it does
    // not, ResultCode::InvalidArgument for a reserved address or an index out of range.
    int IsValidAddress(std::uint32_t address, bool swap) const;
    int IsValidAddress(int index, std::uint32_t address, bool swap) const;

private:
    const NetInterface* At(int index) const;

    std::vector<NetInterface> m_interfaces;
};

}  // namespace QX
